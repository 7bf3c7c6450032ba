// WConf settings and errors, WBase's WConf lookup, the annotation layout, and
// the two annotation-setting elements.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/annotations.hh"
#include "common/wbase.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "common/wsetdirection.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

struct LevelGuard {
    int saved = WLogger::log_level;
    ~LevelGuard() { WLogger::log_level = saved; }
};

bool fails_with(const std::string& conf, const std::string& message) {
    TestRouter r;
    if (r.build(conf))
        return false;
    if (r.errors().find(message) == std::string::npos) {
        ADD_FAILURE() << "expected \"" << message << "\" in:\n" << r.errors();
        return false;
    }
    return true;
}

}  // namespace

TEST(WConf, DefaultsAndSettings) {
    LevelGuard g;
    TestRouter r;
    ASSERT_TRUE(r.build("c :: WConf(MAX_PEERS 3)")) << r.errors();
    auto* c = r.get<WConf>("c");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->max_peers(), 3);
    EXPECT_EQ(c->ipproto(), 108);
    EXPECT_EQ(c->mss(), 1320);
    EXPECT_EQ(c->max_flows(), 2147483647);
    EXPECT_EQ(c->hostname(), "");
    EXPECT_FALSE(c->udp_shim());
    EXPECT_EQ(c->udp_shim_sport(), 4050);
    EXPECT_EQ(c->udp_shim_dport_net(), htons(4050));
    EXPECT_EQ(WLogger::log_level, 1);
    EXPECT_EQ(c->configure_phase(), Element::CONFIGURE_PHASE_INFO);

    TestRouter s;
    ASSERT_TRUE(s.build("c :: WConf(MAX_PEERS 255, IPPROTO 99, MSS 1400, MAX_FLOWS 10, HOSTNAME east, UDP_SHIM true, "
                        "UDP_SHIM_DPORT 5000, LOG_LEVEL 4)"))
        << s.errors();
    c = s.get<WConf>("c");
    EXPECT_EQ(c->hostname(), "east");
    EXPECT_TRUE(c->shim_config().udp_shim);
    EXPECT_EQ(c->shim_config().ipproto, 99);
    EXPECT_EQ(c->shim_config().sport_net, htons(4050));  // UDP_SHIM with one port given
    EXPECT_EQ(c->shim_config().dport_net, htons(5000));
    EXPECT_EQ(WLogger::log_level, 4);
}

TEST(WConf, ConfigurationErrors) {
    LevelGuard g;
    WLogger::log_level = 2;
    EXPECT_TRUE(fails_with("WConf(MAX_PEERS 2, LOG_LEVEL 5)", "invalid LOG_LEVEL"));
    EXPECT_EQ(WLogger::log_level, 2);  // the previous level stays in force
    EXPECT_TRUE(fails_with("WConf(MAX_PEERS 256)", "MAX_PEERS must be between 0 and 255"));
    EXPECT_TRUE(fails_with("WConf(MAX_PEERS -1)", "MAX_PEERS must be between 0 and 255"));
    EXPECT_TRUE(fails_with("WConf(LOG_LEVEL 1)", "MAX_PEERS"));  // mandatory
    EXPECT_TRUE(fails_with("WConf(MAX_PEERS 1, IPPROTO 300)", "IPPROTO"));
    EXPECT_TRUE(fails_with("WConf(MAX_PEERS 1, BOGUS 1)", "BOGUS"));
    EXPECT_TRUE(fails_with("WConf(4)", ""));  // keywords only
    EXPECT_EQ(WLogger::log_level, 2);
}

TEST(WBase, FindsTheFirstWConfAnywhere) {
    LevelGuard g;
    // SessionManager is a WBase; WConf stands after it in the text.
    TestRouter r;
    ASSERT_TRUE(r.build("Idle -> sm :: SessionManager -> Discard; Idle -> [1]sm[1] -> Discard;"
                        "first :: WConf(MAX_PEERS 1); second :: WConf(MAX_PEERS 2, LOG_LEVEL 3);"))
        << r.errors();
    auto* sm = dynamic_cast<WBase*>(r.find("sm"));
    ASSERT_TRUE(sm);
    EXPECT_EQ(sm->wconf(), r.find("first"));
    EXPECT_EQ(WLogger::log_level, 3);  // each WConf sets the process-wide level as it is configured
    EXPECT_TRUE(fails_with("Idle -> sm :: SessionManager -> Discard; Idle -> [1]sm[1] -> Discard;", "WConf not found"));
}

TEST(Annotations, LayoutIsDisjointAndInsideTheArea) {
    std::vector<anno::Field> f(std::begin(anno::all_fields), std::end(anno::all_fields));
    std::sort(f.begin(), f.end(), [](auto a, auto b) { return a.offset < b.offset; });
    for (size_t i = 0; i < f.size(); ++i) {
        EXPECT_LE(f[i].offset + f[i].width, anno::AREA_SIZE);
        if (i) {
            EXPECT_LE(f[i - 1].offset + f[i - 1].width, f[i].offset) << "overlap at " << f[i].offset;
        }
    }
    EXPECT_EQ(Packet::anno_size, anno::AREA_SIZE);
    EXPECT_TRUE(anno::valid_u16_offset(94));
    EXPECT_FALSE(anno::valid_u16_offset(95));
    EXPECT_EQ(anno::SESSION_ID.offset, 62);
    EXPECT_EQ(anno::RX_LEN.offset, 57);
    EXPECT_EQ(anno::VLAN_TCI.offset, VLAN_TCI_ANNO_OFFSET);

    // Unaligned neighbours do not disturb each other.
    Packet* p = Packet::make(60);
    p->clear_annotations();
    set_rx_len_anno(p, 0xBEEF);
    set_session_id_anno(p, 0x01020304);
    set_session_direction_anno(p, WAN_OUT);
    set_rsp_own_packet_anno(p, 1);
    set_rsp_rx_retransmit_anno(p, 1);
    set_direction_anno(p, LANRX);
    set_mtcomp_seq_anno(p, 0xFFFF);
    EXPECT_EQ(rx_len_anno(p), 0xBEEF);
    EXPECT_EQ(session_id_anno(p), 0x01020304u);
    EXPECT_EQ(session_direction_anno(p), WAN_OUT);
    EXPECT_EQ(direction_anno(p), LANRX);
    EXPECT_EQ(path_anno(p), 0);
    EXPECT_EQ(p->anno_u8(62), 0x04);  // host order at exactly offset 62 (little-endian host)
    p->kill();
}

TEST(WSetDirectionAndRXLen, SetAnnotations) {
    TestRouter r;
    ASSERT_TRUE(r.build("a :: WSetDirection(LANRX); b :: WSetDirection(DIRECTION WANTX); x :: WSetRXLen(STRIP 14);"
                        "y :: WSetRXLen; s :: QuiloTestSink; Idle -> a -> b -> x -> s; Idle -> y -> [1]s;"))
        << r.errors();
    Packet* p = Packet::make(60);
    p->clear_annotations();
    r.find("a")->push(0, p);
    Sink* s = r.get<Sink>("s");
    ASSERT_EQ(s->last(), p);
    EXPECT_EQ(direction_anno(p), LANRX | WANTX);  // 9
    EXPECT_EQ(rx_len_anno(p), 46);

    Packet* p2 = Packet::make(60);
    r.find("y")->push(0, p2);
    EXPECT_EQ(rx_len_anno(s->last()), 60);  // STRIP defaults to 0

    Packet* q = Packet::make(10);
    r.find("x")->push(0, q);
    EXPECT_EQ(rx_len_anno(s->last()), uint16_t(10 - 14));  // wraps modulo 65536

    for (const char* bad : {"lanrx", "LANRXX", "LAN", "WAN_IN"})
        EXPECT_TRUE(fails_with(std::string("Idle -> WSetDirection(") + bad + ") -> Discard", "Invalid DIRECTION specified.")) << bad;
    EXPECT_TRUE(fails_with("Idle -> WSetDirection -> Discard", "DIRECTION"));
    EXPECT_TRUE(fails_with("Idle -> WSetRXLen(STRIP 70000) -> Discard", "STRIP"));
}
