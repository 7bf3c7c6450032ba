// PeerProbe: adding and reading the probe option, the cases that leave a SYN
// alone, ProbeHandler switching probes on, the two-appliance binding of a
// session through real handshakes, and fuzzed SYNs.
#include <random>

#include <host/handlercall.hh>

#include "peerstest.hh"
#include "sessions/peerprobe.hh"
#include "sessions/probehandler.hh"

using namespace peers_test;

namespace {

const char* kKey = "10.9.9.1";
const char* kMac = "02-00-00-00-09-01";

class PeerProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("peers");
        ASSERT_TRUE(r.build(path, "MAX_PEERS 2", "",
                            std::string("p1 :: PeerProbe(1, 0, true, ") + kKey + ", " + kMac + ");"
                            "p0 :: PeerProbe(0, 1, true, " + kKey + ", " + kMac + ", true);"
                            "bad :: PeerProbe(1, 1, true, " + kKey + ", " + kMac + ");"
                            "ps :: QuiloTestSink; Idle -> p1; p1[0] -> [0]ps; p1[1] -> [1]ps;"
                            "Idle -> p0; p0[0] -> [2]ps; p0[1] -> [3]ps; Idle -> bad -> [4]ps;"))
            << r.tr->errors();
        p1 = r.tr->get<PeerProbe>("p1");
        p0 = r.tr->get<PeerProbe>("p0");
        bad = r.tr->get<PeerProbe>("bad");
        ps = r.tr->get<Sink>("ps");
    }
    // Pushes `b` into `e`; returns the sink port reached (-1: none) and the bytes.
    int through(PeerProbe* e, const std::vector<uint8_t>& b, std::vector<uint8_t>* out = nullptr,
                uint32_t session = 0) {
        Packet* p = make_packet(b);
        if (session)
            set_session_id_anno(p, session);
        size_t before = ps->packets.size();
        e->push(0, p);
        if (ps->packets.size() == before)
            return -1;
        if (out)
            *out = packet_bytes(ps->packets[before]);
        return ps->ports[before];
    }

    TempDir dir;
    std::string path;
    SteeringRouter r;
    PeerProbe *p1 = nullptr, *p0 = nullptr, *bad = nullptr;
    Sink* ps = nullptr;
};

}  // namespace

TEST_F(PeerProbeTest, AddsTheOptionAfterTurningEndOfOptionsIntoNops) {
    Syn s;
    s.opts = {2, 4, 0x05, 0xb4, 0, 9, 9, 9};  // MSS, end of options, junk after it
    s.payload = 10;
    s.eth_padding = 6;
    std::vector<uint8_t> in = s.bytes(), out;
    ASSERT_EQ(through(p1, in, &out), 1);
    ASSERT_EQ(out.size(), in.size() - 6 + 16);
    EXPECT_TRUE(valid_tcp(out));
    const uint8_t* th = &out[34];
    EXPECT_EQ(th[12] >> 4, 5 + 2 + 4);
    EXPECT_EQ(std::vector<uint8_t>(th + 20, th + 28), (std::vector<uint8_t>{2, 4, 0x05, 0xb4, 1, 1, 1, 1}));
    std::vector<uint8_t> opt(th + 28, th + 44);
    EXPECT_EQ(opt, probe_option(kKey, kMac, false));
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(th[44 + i], uint8_t(i * 7));  // the payload moved behind the option
    EXPECT_EQ(r.tr->read("p1.probed_count"), "1");

    // The flow table's "no free ports" answer goes into the last byte.
    spit(path, "10.1.1.2, 1\n10.1.1.3, 2\n");
    ASSERT_TRUE(r.build(path, "MAX_PEERS 2", "",
                        std::string("q :: PeerProbe(1, 0, true, ") + kKey + ", " + kMac + "); ps :: QuiloTestSink;"
                        "Idle -> q; q[0] -> [0]ps; q[1] -> [1]ps;"));
    ps = r.tr->get<Sink>("ps");
    ASSERT_EQ(through(r.tr->get<PeerProbe>("q"), Syn().bytes(), &out), 1);
    EXPECT_EQ(out[34 + 20 + 15], 1);
}

TEST_F(PeerProbeTest, RewritesAnExistingOptionInPlace) {
    Syn s;
    s.opts = probe_option("10.5.5.5", "02-00-00-00-05-05");
    s.opts.insert(s.opts.begin(), {1, 1, 1, 1});
    std::vector<uint8_t> in = s.bytes(), out;
    ASSERT_EQ(through(p1, in, &out), 1);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_TRUE(valid_tcp(out));
    EXPECT_EQ(std::vector<uint8_t>(&out[34 + 24], &out[34 + 40]), probe_option(kKey, kMac));
}

TEST_F(PeerProbeTest, LeavesAloneWhatItCannotOrNeedNotProbe) {
    std::vector<uint8_t> out;
    auto unchanged = [&](const std::vector<uint8_t>& in, PeerProbe* e, const char* what) {
        EXPECT_EQ(through(e, in, &out), e == p0 ? 2 : 0) << what;
        EXPECT_EQ(out, in) << what;
    };
    Syn big;
    big.payload = 1321 - 40;
    unchanged(big.bytes(), p1, "1321-byte SYN");
    big.payload = 1320 - 40;
    EXPECT_EQ(through(p1, big.bytes()), 1);

    Syn ack;
    ack.flags = TH_ACK;
    unchanged(ack.bytes(), p1, "not a SYN");
    Syn full;  // data offset 12: 48 bytes, no room for 16 more
    full.opts.assign(28, 1);
    unchanged(full.bytes(), p1, "data offset 12");
    full.opts.assign(24, 1);  // data offset 11 still grows
    ASSERT_EQ(through(p1, full.bytes(), &out), 1);
    EXPECT_EQ(out[34 + 12] >> 4, 15);
    EXPECT_TRUE(valid_tcp(out));

    Syn zero;
    zero.opts = {1, 8, 0, 1, 1};
    unchanged(zero.bytes(), p1, "zero option length");
    unchanged(zero.bytes(), p0, "zero option length, reading");
    Syn small;
    small.raw_doff = 4;
    unchanged(small.bytes(), p1, "data offset 4");
    Frame udp;
    udp.proto = 17;
    unchanged(udp.bytes(), p1, "UDP");
    Syn frag;
    std::vector<uint8_t> fb = frag.bytes();
    fb[14 + 6] = 0x20;  // more fragments
    unchanged(fb, p1, "fragment");

    // Another MODE/INT pairing discards SYNs but passes the rest.
    EXPECT_EQ(through(bad, Syn().bytes()), -1);
    EXPECT_EQ(through(bad, ack.bytes()), 4);

    // Switched off, nothing is probed; the handler takes booleans only.
    ASSERT_EQ(HandlerCall::call_write(p1, "active", "false"), 0);
    unchanged(Syn().bytes(), p1, "inactive");
    EXPECT_LT(HandlerCall::call_write(p1, "active", "maybe"), 0);
    EXPECT_EQ(r.tr->read("p1.active"), "false");
}

TEST_F(PeerProbeTest, ReadingRegistersOtherAppliancesOnly) {
    Frame lan;
    lan.tcp_flags = TH_SYN;
    ASSERT_EQ(r.send(lan, 0), 0);
    uint32_t id = session_id_anno(r.last);
    r.ft->set_peer_flow_state_flag(r.last, PeerFlowInfo::LOCAL_PROBE);

    Syn own;
    own.opts = probe_option(kKey, "02-00-00-00-77-77");
    EXPECT_EQ(through(p0, own.bytes(), nullptr, id), 3);  // a clone to output 1 first,
    EXPECT_EQ(ps->ports.back(), 2);                       // then the SYN to output 0
    PeerFlowInfo f;
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.state, PeerFlowInfo::LOCAL_PROBE);  // our own key: not registered

    Syn other;
    other.opts = probe_option("10.1.1.2", "00-11-22-33-44-55", true);
    EXPECT_EQ(through(p0, other.bytes(), nullptr, id), 3);
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.state, PeerFlowInfo::BOUND);
    EXPECT_FALSE(f.add_peer);  // the peer has no free ports
    EXPECT_EQ(f.port, 0);      // so it was not added
    EXPECT_EQ(r.tr->read("p0.registered_count"), "1");

    other.opts = probe_option("10.1.1.2", "00-11-22-33-44-55", false);
    EXPECT_EQ(through(p0, other.bytes(), nullptr, id), 3);
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.port, 1);
}

TEST_F(PeerProbeTest, RandomAndTruncatedSynsNeverCrash) {
    std::mt19937 rng(11);
    for (int i = 0; i < 4000; ++i) {
        Syn s;
        size_t nopt = rng() % 44;
        for (size_t j = 0; j < nopt; ++j) {
            uint32_t c = rng() % 10;
            s.opts.push_back(c < 3 ? uint8_t(c) : c < 5 ? uint8_t(76) : c < 6 ? uint8_t(16) : uint8_t(rng()));
        }
        if (rng() % 4 == 0) {
            std::vector<uint8_t> o = probe_option("10.1.1.2", "00-11-22-33-44-55");
            s.opts.insert(s.opts.begin() + long(rng() % (s.opts.size() + 1)), o.begin(), o.end());
            if (s.opts.size() > 40)
                s.opts.resize(40);
        }
        if (rng() % 3 == 0)
            s.raw_doff = int(rng() % 16);
        s.payload = rng() % 64;
        std::vector<uint8_t> b = s.bytes();
        if (rng() % 3 == 0)
            b.resize(rng() % b.size());
        if (rng() % 5 == 0 && b.size() > 20)
            b[rng() % b.size()] ^= uint8_t(rng());
        std::vector<uint8_t> out;
        int port = through(rng() % 2 ? p1 : p0, b, &out, rng() % 2 ? 1 : 0);
        if (port == 1) {
            EXPECT_TRUE(valid_tcp(out)) << i;
        }
        ps->clear();
    }
}

// Two appliances joined back to back: A's local side holds the client, B's
// the server. A SYN and its SYN-ACK cross A's local-side probe and B's
// wide-area-side probe and back; afterwards both flow tables hold the session
// in state 3 and both FlowLookups steer it to port 1 in both directions.
TEST(TwoAppliances, HandshakeBindsTheSessionOnBothSides) {
    TempDir dir;
    struct Appliance {
        std::unique_ptr<TestRouter> tr;
        SessionManager* sm;
        FlowTable* ft;
        ProbeHandler* ph;
        Sink *towan, *tolan;
        bool build(const std::string& peers, const char* key, const char* mac) {
            tr.reset(new TestRouter(1));
            std::string text =
                "WConf(MAX_PEERS 2, LOG_LEVEL 4); sm :: SessionManager;"
                "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH \"" + peers + "\");"
                "lanprobe :: PeerProbe(1, 0, false, " + key + ", " + mac + ");"
                "wanprobe :: PeerProbe(0, 1, false, " + key + ", " + mac + ", true);"
                "ph :: ProbeHandler;"
                "out_l :: FlowLookup(WAN_OUT); in_l :: FlowLookup(WAN_IN);"
                "towan :: QuiloTestSink; tolan :: QuiloTestSink;"
                "Idle -> [0]sm[0] -> out_l; out_l[0] -> lanprobe; lanprobe[0] -> [0]towan; lanprobe[1] -> [0]towan;"
                "out_l[1] -> [1]towan; out_l[2] -> [2]towan;"
                "Idle -> [1]sm[1] -> wanprobe; wanprobe[0] -> in_l; wanprobe[1] -> Discard;"
                "in_l[0] -> [0]tolan; in_l[1] -> [1]tolan; in_l[2] -> [2]tolan;";
            if (!tr->build(text))
                return false;
            sm = tr->get<SessionManager>("sm");
            ft = tr->get<FlowTable>("ft");
            ph = tr->get<ProbeHandler>("ph");
            towan = tr->get<Sink>("towan");
            tolan = tr->get<Sink>("tolan");
            return true;
        }
        // Input 0: from the local network, 1: from the wide-area link.
        // Returns the port of the sink it reached and the bytes that left.
        int push(const std::vector<uint8_t>& b, int input, std::vector<uint8_t>* out) {
            Sink* s = input == 0 ? towan : tolan;
            size_t before = s->packets.size();
            sm->push(input, make_packet(b));
            if (s->packets.size() != before + 1)
                return -1;
            *out = packet_bytes(s->packets.back());
            return s->ports.back();
        }
    } a, b;
    ASSERT_TRUE(a.build(dir.file("peers-a"), "10.20.0.1", "02-00-00-00-00-0a")) << a.tr->errors();
    ASSERT_TRUE(b.build(dir.file("peers-b"), "10.20.0.2", "02-00-00-00-00-0b")) << b.tr->errors();
    // No Dedup yet: the first check switches the probes on.
    EXPECT_EQ(a.ph->datastores(), 0u);
    EXPECT_EQ(a.ph->probes(), 2u);
    ASSERT_TRUE(a.ph->check());
    ASSERT_TRUE(b.ph->check());
    EXPECT_EQ(a.tr->read("lanprobe.active"), "true");

    Frame c2s;  // client 10.0.0.1:40000 on A's side -> server 192.168.0.1:80 on B's side
    c2s.tcp_flags = TH_SYN;
    Frame s2c = c2s.reversed();
    s2c.tcp_flags = TH_SYN | TH_ACK;
    std::vector<uint8_t> x, y;

    ASSERT_EQ(a.push(c2s.bytes(), 0, &x), 0);  // SYN leaves A unoptimised, probed
    EXPECT_TRUE(valid_tcp(x));
    EXPECT_EQ(x.size(), c2s.bytes().size() + 16);
    ASSERT_EQ(b.push(x, 1, &y), 0);  // reaches B's server side
    ASSERT_EQ(b.push(s2c.bytes(), 0, &x), 0);  // SYN-ACK leaves B probed
    EXPECT_TRUE(valid_tcp(x));
    ASSERT_EQ(a.push(x, 1, &y), 1);  // A sees B's probe: bound, to port 1

    uint32_t ida = session_id_anno(a.towan->packets[0]);
    uint32_t idb = session_id_anno(b.towan->packets[0]);
    PeerFlowInfo fa, fb;
    ASSERT_TRUE(a.ft->peer_flow(ida, &fa));
    ASSERT_TRUE(b.ft->peer_flow(idb, &fb));
    EXPECT_EQ(fa.state, PeerFlowInfo::BOUND);
    EXPECT_EQ(fb.state, PeerFlowInfo::BOUND);
    EXPECT_EQ(fa.peer, IPAddress("10.20.0.2"));
    EXPECT_EQ(fb.peer, IPAddress("10.20.0.1"));
    EXPECT_EQ(a.tr->read("ft.peers"), "10.20.0.2 1\n");
    EXPECT_EQ(b.tr->read("ft.peers"), "10.20.0.1 1\n");
    EXPECT_EQ(slurp(dir.file("peers-a")), "10.20.0.2, 1, , 02-00-00-00-00-0B\n");

    // Data in both directions now takes port 1 on both appliances.
    Frame data = c2s;
    data.tcp_flags = TH_ACK;
    data.payload = 100;
    EXPECT_EQ(a.push(data.bytes(), 0, &x), 1);
    EXPECT_EQ(b.push(data.bytes(), 1, &x), 1);
    EXPECT_EQ(b.push(data.reversed().bytes(), 0, &x), 1);
    EXPECT_EQ(a.push(data.reversed().bytes(), 1, &x), 1);
    EXPECT_EQ(a.tr->read("out_l.count"), "1");
    EXPECT_EQ(a.tr->read("in_l.count"), "2");

    // A session whose handshake neither probe saw stays on port 0.
    Frame late = data;
    late.sport = 40001;
    EXPECT_EQ(a.push(late.bytes(), 0, &x), 0);
    EXPECT_EQ(b.push(late.bytes(), 1, &x), 0);
    EXPECT_EQ(b.push(late.reversed().bytes(), 0, &x), 0);
    EXPECT_EQ(a.push(late.reversed().bytes(), 1, &x), 0);
}
