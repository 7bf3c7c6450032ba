// WDeComp in a router with the RSP element of its tunnel.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "compression/wcomp.hh"
#include "compression/wdecomp.hh"
#include "corpus.hh"
#include "rsp/rsp.hh"
#include "sessions/peernotifiers.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

class TestPeers : public Element, public PeerDiscoveryNotifier {
  public:
    const char* class_name() const override { return "CompTestPeers"; }
    void* cast(const char* n) override {
        if (std::strcmp(n, "PeerDiscoveryNotifier") == 0)
            return static_cast<PeerDiscoveryNotifier*>(this);
        return Element::cast(n);
    }
};

std::string tunnel_config(const std::string& comp_args, const std::string& dec_args) {
    return "conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4); peers :: CompTestPeers;"
           "c :: WComp(" + comp_args + "); dec :: WDeComp(" + dec_args + ");"
           "wrtt :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
           "rsp :: RSP(MODE client, LOCAL_IP 10.0.0.1, WRTT wrtt, WCOMP c, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
           "Idle -> c -> out :: QuiloTestSink; Idle -> [0]rsp; Idle -> [1]rsp; rsp[0] -> Discard; rsp[1] -> Discard;"
           "rsp[2] -> Discard; Idle -> wrtt; wrtt[0] -> Discard; wrtt[1] -> Discard; wrtt[2] -> Discard;"
           "wrtt[3] -> Discard; Idle -> dec; dec[0] -> s0 :: QuiloTestSink; dec[1] -> s1 :: QuiloTestSink;";
}

std::vector<uint8_t> udp_frame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b(14 + 28 + payload.size(), 0);
    b[12] = 0x08;
    uint8_t* ip = &b[14];
    ip[0] = 0x45;
    ip[8] = 64;
    ip[9] = 17;
    uint8_t a[8] = {10, 0, 0, 1, 10, 0, 0, 2};
    std::memcpy(ip + 12, a, 8);
    ip[20] = 0x30;
    ip[22] = 0x31;
    std::memcpy(ip + 28, payload.data(), payload.size());
    set_ip_total(ip, uint32_t(28 + payload.size()));
    return b;
}

struct Loader {
    Loader() { click_add_element_type<TestPeers>("CompTestPeers"); }
};

TEST(WDeComp, Configuration) {
    static Loader loader;
    {
        TestRouter r;
        EXPECT_FALSE(r.build(tunnel_config("", "RSP nothere")));
        EXPECT_NE(r.errors().find("does not name an element"), std::string::npos) << r.errors();
    }
    {
        TestRouter r;
        EXPECT_FALSE(r.build(tunnel_config("", "RSP c")));
        EXPECT_NE(r.errors().find("is not a RSP element"), std::string::npos) << r.errors();
    }
    {
        TestRouter r;
        EXPECT_FALSE(r.build(tunnel_config("", "")));
    }
}

// WComp's output restored by WDeComp; a corrupt stream packet is dropped and
// reported to RSP (which resets only a connection in progress or open).
TEST(WDeComp, RestoresAndDropsCorrupt) {
    static Loader loader;
    TestRouter r;
    ASSERT_TRUE(r.build(tunnel_config("COMPRESSOR 4, LEVEL 3, METHOD streaming, FORCE_STATELESS false", "RSP rsp")))
        << r.errors();
    WComp* c = r.get<WComp>("c");
    WDeComp* dec = r.get<WDeComp>("dec");
    Sink* out = r.get<Sink>("out");
    Sink* s0 = r.get<Sink>("s0");
    // RSP forces stateless until its connection opens.
    EXPECT_EQ(r.read("c.active_method"), "Stateless");
    c->unforce_stateless();
    auto text = corpus::load(64 * 1024)[0].data;
    auto pkts = corpus::packets(text, 1300, 20);
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& p : pkts) {
        frames.push_back(udp_frame(p));
        c->push(0, make_packet(frames.back()));
    }
    ASSERT_EQ(out->packets.size(), pkts.size());
    for (size_t i = 0; i < out->packets.size(); ++i) {
        Packet* p = out->packets[i]->clone();
        dec->push(0, p);
        ASSERT_EQ(s0->packets.size(), i + 1);
        EXPECT_EQ(std::vector<uint8_t>(s0->packets[i]->data(), s0->packets[i]->end_data()), frames[i]) << i;
    }
    EXPECT_EQ(r.read("dec.decompressed"), std::to_string(pkts.size()));

    int saved = WLogger::log_level;
    WLogger::log_level = 5;
    WritablePacket* bad = out->packets[3]->clone()->uniqueify();
    bad->data()[bad->length() - 5] ^= 0x20;
    dec->push(0, bad);
    WLogger::log_level = saved;
    EXPECT_EQ(s0->packets.size(), pkts.size());
    EXPECT_EQ(r.read("dec.errors"), "1");
}

}  // namespace
