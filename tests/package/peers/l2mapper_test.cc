// L2Mapper: restoring the Ethernet header of a packet's session in each
// direction, static headers, FORCE over plain and VLAN-tagged headers, STRIP,
// delete events of older sessions, hot reconfiguration, and random input.
#include <random>

// g++ 12 at -O2 misreads Frame::bytes() inlined here as writing past an empty
// vector (the vector is sized right above the copy).
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"

#include "peerstest.hh"
#include "sessions/l2mapper.hh"

using namespace peers_test;

namespace {

class L2MapperTest : public ::testing::Test {
  protected:
    bool build(const std::string& args) {
        tr.reset(new TestRouter(1));
        if (!tr->build("WConf(MAX_PEERS 2, LOG_LEVEL 4); sm :: SessionManager; m :: L2Mapper(NOTIFIER sm, " + args +
                       "); s :: QuiloTestSink; Idle -> [0]sm[0] -> Discard; Idle -> [1]sm[1] -> Discard;"
                       "Idle -> m; m[0] -> [0]s; m[1] -> [1]s;"))
            return false;
        sm = tr->get<SessionManager>("sm");
        m = tr->get<L2Mapper>("m");
        s = tr->get<Sink>("s");
        return true;
    }
    // Creates the session of `f` as seen entering input `input`.
    uint32_t open(const Frame& f, int input) {
        Packet* p = make_packet(f);
        sm->push(input, p);
        return session_id_anno(p);
    }
    // Pushes `b` into the mapper, `l2` bytes of link header in front of the IP header
    // (0: none, the packet has no MAC header).
    int map(const std::vector<uint8_t>& b, size_t l2, std::vector<uint8_t>* out) {
        WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
        if (l2)
            p->set_mac_header(p->data(), uint32_t(l2));
        else
            p->set_network_header(p->data(), 20);
        size_t before = s->packets.size();
        m->push(0, p);
        if (s->packets.size() != before + 1)
            return -1;
        *out = packet_bytes(s->packets.back());
        last = s->packets.back();
        return s->ports.back();
    }
    static std::vector<uint8_t> ip_only(const Frame& f) {
        std::vector<uint8_t> b = f.bytes();
        return std::vector<uint8_t>(b.begin() + 14, b.end());
    }

    std::unique_ptr<TestRouter> tr;
    SessionManager* sm = nullptr;
    L2Mapper* m = nullptr;
    Sink* s = nullptr;
    Packet* last = nullptr;
};

const uint8_t kLocalHost[6] = {0x02, 0, 0, 0, 0, 0x51};
const uint8_t kWanRouter[6] = {0x02, 0, 0, 0, 0, 0xd1};

}  // namespace

TEST_F(L2MapperTest, RestoresTheSessionHeaderInEachDirection) {
    ASSERT_TRUE(build("DIRECTION WAN_OUT")) << tr->errors();
    Frame lan;  // from the local host (src 02..51) to the wide-area router (dst 02..d1)
    lan.proto = 17;
    uint32_t id = open(lan, 0);
    EXPECT_EQ(tr->read("m.map_size"), "1");
    std::vector<uint8_t> out;
    ASSERT_EQ(map(ip_only(lan), 0, &out), 0);
    ASSERT_EQ(out.size(), lan.bytes().size());
    EXPECT_EQ(0, std::memcmp(&out[0], kWanRouter, 6));
    EXPECT_EQ(0, std::memcmp(&out[6], kLocalHost, 6));
    EXPECT_EQ(out[12], 0x08);
    EXPECT_EQ(session_id_anno(last), id);
    EXPECT_EQ(session_direction_anno(last), WAN_OUT);
    EXPECT_EQ(last->mac_header(), last->data());
    EXPECT_EQ(last->network_header(), last->data() + 14);

    // The reply direction is not this mapper's key: unknown, unchanged, output 1.
    std::vector<uint8_t> rev = ip_only(lan.reversed());
    ASSERT_EQ(map(rev, 0, &out), 1);
    EXPECT_EQ(out, rev);

    ASSERT_TRUE(build("DIRECTION ANY")) << tr->errors();
    open(lan, 0);
    ASSERT_EQ(map(rev, 0, &out), 0);  // tried as WAN_IN: to the local host
    EXPECT_EQ(0, std::memcmp(&out[0], kLocalHost, 6));
    EXPECT_EQ(0, std::memcmp(&out[6], kWanRouter, 6));
    EXPECT_EQ(session_direction_anno(last), WAN_IN);

    // A tunnel packet is keyed by the inner ports behind the shim and RSP header.
    ASSERT_TRUE(build("DIRECTION WAN_IN")) << tr->errors();
    Frame t = lan;
    t.proto = 6;
    open(t, 0);
    std::vector<uint8_t> tb = tunnel(t.reversed().bytes(), 0x01);
    ASSERT_EQ(map(std::vector<uint8_t>(tb.begin() + 14, tb.end()), 0, &out), 0);
    EXPECT_EQ(0, std::memcmp(&out[0], kLocalHost, 6));
}

TEST_F(L2MapperTest, StaticForceAndStrip) {
    EXPECT_FALSE(build("DIRECTION WAN_IN, SRC 02:00:00:00:00:01"));
    EXPECT_NE(tr->errors().find("you must specify both SRC and DST"), std::string::npos);

    ASSERT_TRUE(build("DIRECTION WAN_IN, SRC 02:00:00:00:00:01, DST 02:00:00:00:00:02")) << tr->errors();
    Frame base;
    Frame wan = base.reversed();
    wan.proto = 17;
    std::vector<uint8_t> out;
    ASSERT_EQ(map(ip_only(wan), 0, &out), 1);  // session still required
    open(wan, 1);
    ASSERT_EQ(map(ip_only(wan), 0, &out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 14),
              (std::vector<uint8_t>{2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 8, 0}));

    // Packets with a header pass untouched unless FORCE.
    std::vector<uint8_t> framed = wan.bytes();
    framed[0] = 0xee;
    ASSERT_EQ(map(framed, 14, &out), 0);
    EXPECT_EQ(out, framed);

    ASSERT_TRUE(build("DIRECTION WAN_IN, FORCE true")) << tr->errors();
    open(wan, 1);
    ASSERT_EQ(map(framed, 14, &out), 0);
    EXPECT_EQ(out.size(), framed.size());
    EXPECT_EQ(0, std::memcmp(&out[0], kLocalHost, 6));
    // A VLAN-tagged header is replaced whole by the 14-byte one.
    std::vector<uint8_t> tagged = framed;
    uint8_t tag[4] = {0x81, 0x00, 0x00, 0x05};
    tagged.insert(tagged.begin() + 12, tag, tag + 4);
    ASSERT_EQ(map(tagged, 18, &out), 0);
    EXPECT_EQ(out.size(), framed.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.end()),
              std::vector<uint8_t>(framed.begin() + 12, framed.end()));

    ASSERT_TRUE(build("DIRECTION WAN_IN, STRIP 14")) << tr->errors();
    open(wan, 1);
    ASSERT_EQ(map(ip_only(wan), 0, &out), 0);
    EXPECT_EQ(out, ip_only(wan));
    ASSERT_TRUE(build("DIRECTION WAN_IN, STRIP 5000")) << tr->errors();
    open(wan, 1);
    ASSERT_EQ(map(ip_only(wan), 0, &out), 0);
    EXPECT_TRUE(out.empty());
}

TEST_F(L2MapperTest, DeleteEventsOnlyRemoveTheirOwnSession) {
    ASSERT_TRUE(build("DIRECTION WAN_OUT")) << tr->errors();
    Frame lan;
    uint32_t id = open(lan, 0);
    IPFlowID key(IPAddress(htonl(lan.dst)), htons(lan.dport), IPAddress(htonl(lan.src)), htons(lan.sport));
    L2Mapper::L2Info info;
    ASSERT_TRUE(m->lookup(key, &info));
    EXPECT_EQ(info.session_id, id);
    m->session_notify(id + 100, SessionListener::MASK_TCP, SessionListener::SESSION_DELETED, &key, nullptr);
    EXPECT_TRUE(m->lookup(key, &info));  // a stale delete for an older session of the key
    m->session_notify(id, SessionListener::MASK_TCP, SessionListener::SESSION_DELETED, &key, nullptr);
    EXPECT_FALSE(m->lookup(key, &info));

    // Hot reconfiguration carries the table over.
    lan.sport++;
    open(lan, 0);
    std::unique_ptr<TestRouter> old = std::move(tr);
    L2Mapper* old_m = m;
    ASSERT_TRUE(build("DIRECTION WAN_OUT")) << tr->errors();
    StringErrorHandler errh;
    m->take_state(old_m, &errh);
    EXPECT_EQ(tr->read("m.map_size"), "1");
    m->take_state(sm, &errh);
    EXPECT_NE(errh.text().find("is not a L2Mapper element"), std::string::npos);
}

TEST_F(L2MapperTest, RandomPacketsNeverCrash) {
    ASSERT_TRUE(build("DIRECTION ANY, FORCE true")) << tr->errors();
    Frame lan;
    open(lan, 0);
    std::mt19937 rng(5);
    std::vector<uint8_t> base = tunnel(lan.bytes(), 0x01);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> b = rng() % 2 ? base : lan.bytes();
        b.erase(b.begin(), b.begin() + 14);
        b.resize(rng() % (b.size() + 1));
        for (int k = rng() % 4; k > 0 && !b.empty(); --k)
            b[rng() % b.size()] = uint8_t(rng());
        std::vector<uint8_t> out;
        map(b, 0, &out);
        s->clear();
    }
}
