// BypassHandler driving a recorded switch with HOLD 3, ProbeHandler setting
// the cache-ready flag, and the shim reflect pair resetting a flow; random
// and truncated input through the reflect elements.
#include <random>

#include <host/args.hh>

#include "peerstest.hh"
#include "sessions/bypasshandler.hh"
#include "sessions/probehandler.hh"
#include "sessions/wshimreflect.hh"

using namespace peers_test;

namespace {

// Records what is written to its "bypass" handler; fails writes while `fail`.
class SwitchRecorder : public Element {
  public:
    const char* class_name() const override { return "QuiloTestBypassSwitch"; }
    void add_handlers() override {
        add_write_handler("bypass", WriteHandlerFunction([this](const std::string& s, ErrorHandler*) {
                              writes.push_back(s);
                              return fail ? -EIO : 0;
                          }));
    }
    std::vector<std::string> writes;
    bool fail = false;
};
const bool switch_registered = click_add_element_type<SwitchRecorder>("QuiloTestBypassSwitch") > 0;

}  // namespace

TEST(BypassHandler, FollowsThePeerOnceTheCacheIsReady) {
    ASSERT_TRUE(switch_registered);
    TestRouter tr;
    ASSERT_TRUE(tr.build("WConf(MAX_PEERS 2, LOG_LEVEL 4); sw :: QuiloTestBypassSwitch;"
                         "bh :: BypassHandler(sw.bypass, 3, true); ph :: ProbeHandler(DS_CHECK_SECS 1); Idle -> bh;"))
        << tr.errors();
    auto* sw = tr.get<SwitchRecorder>("sw");
    auto* bh = tr.get<BypassHandler>("bh");
    auto* ph = tr.get<ProbeHandler>("ph");
    auto packet = [&] { bh->push(0, make_packet(Frame())); };
    using V = std::vector<std::string>;
    EXPECT_EQ(sw->writes, V({"true"}));
    EXPECT_TRUE(bh->bypass_on());

    // Traffic before the cache is ready keeps the bypass.
    packet();
    bh->tick();
    EXPECT_EQ(sw->writes, V({"true"}));
    EXPECT_EQ(ph->bypass_handlers(), 1u);
    ASSERT_TRUE(ph->check());
    EXPECT_TRUE(bh->cache_ready());
    EXPECT_EQ(tr.read("ph.done"), "true");

    packet();  // the first packet since the tick switches the bypass off
    EXPECT_EQ(sw->writes, V({"true", "false"}));
    packet();
    EXPECT_EQ(sw->writes.size(), 2u);
    bh->tick();
    bh->tick();
    bh->tick();
    EXPECT_EQ(sw->writes.size(), 2u);
    bh->tick();  // three silent seconds
    EXPECT_EQ(sw->writes, V({"true", "false", "true"}));
    EXPECT_EQ(bh->silence(), 3u);
    packet();
    EXPECT_EQ(sw->writes, V({"true", "false", "true", "false"}));
    EXPECT_EQ(tr.read("bh.count"), "4");

    // A failed write leaves the state, and is tried again at the next event.
    sw->fail = true;
    for (int i = 0; i < 4; ++i)
        bh->tick();
    EXPECT_FALSE(bh->bypass_on());
    size_t n = sw->writes.size();
    bh->tick();
    EXPECT_EQ(sw->writes.size(), n + 1);
    sw->fail = false;
    bh->tick();
    EXPECT_TRUE(bh->bypass_on());
    packet();
    bh->tick();  // "Peer Alive (2)" path: packets seen during the second
    EXPECT_FALSE(bh->bypass_on());
}

namespace {

class ReflectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("peers");
        spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
        ASSERT_TRUE(r.build(path, "MAX_PEERS 2", "",
                            "refl :: WShimReflect; h :: WHandleShimReflect; rs :: QuiloTestSink;"
                            "Idle -> refl -> [0]rs; Idle -> h -> [1]rs;"))
            << r.tr->errors();
        refl = r.tr->get<WShimReflect>("refl");
        h = r.tr->get<WHandleShimReflect>("h");
        rs = r.tr->get<Sink>("rs");
    }
    TempDir dir;
    std::string path;
    SteeringRouter r;
    WShimReflect* refl = nullptr;
    WHandleShimReflect* h = nullptr;
    Sink* rs = nullptr;
};

}  // namespace

TEST_F(ReflectTest, AReflectedPacketResetsTheFlow) {
    Frame lan;
    lan.tcp_flags = TH_SYN;
    ASSERT_EQ(r.send(lan, 0), 0);
    uint32_t id = session_id_anno(r.last);
    EtherAddress mac;
    EtherAddress::parse("00-11-22-33-44-55", mac);
    r.ft->set_peer_flow_state_flag(r.last, PeerFlowInfo::LOCAL_PROBE);
    r.ft->register_peer_flow(r.last, IPAddress("10.1.1.2"), mac, true);
    ASSERT_EQ(r.send(lan, 0), 1);

    // The peer could not handle a tunnelled packet of the session: it reflects it.
    std::vector<uint8_t> tb = tunnel(lan.bytes(), 0x01);
    Packet* orig = make_packet(tb);
    Packet* shared = orig->clone();
    refl->push(0, orig);
    ASSERT_EQ(rs->packets.size(), 1u);
    std::vector<uint8_t> reflected = packet_bytes(rs->packets[0]);
    EXPECT_EQ(reflected[14 + 20 + 3], 0x01 | 0x02);
    // It travels back as the session's other direction: Ethernet and IP
    // addresses and inner ports swapped, so the sender's session manager
    // finds the session.
    std::vector<uint8_t> mirror = tunnel(lan.reversed().bytes(), 0x01 | 0x02);
    EXPECT_EQ(reflected, mirror);
    EXPECT_EQ(shared->data()[14 + 20 + 3], 0x01);  // the clone's buffer is untouched
    shared->kill();

    // Not TCP inside, no shim, or reflected already (two appliances that
    // both lost the session must not bounce it for ever): discarded.
    refl->push(0, make_packet(tunnel(Frame{.proto = 17}.bytes())));
    refl->push(0, make_packet(lan.bytes()));
    refl->push(0, make_packet(reflected));
    EXPECT_EQ(rs->packets.size(), 1u);
    EXPECT_EQ(r.tr->read("refl.dropped"), "3");

    // Back on this side, with the session's id, the reflected packet detaches the session.
    Packet* back = make_packet(reflected);
    set_session_id_anno(back, 0);
    h->push(0, back);  // no session id: logged, dropped, flow untouched
    PeerFlowInfo f;
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.port, 1);
    back = make_packet(reflected);
    set_session_id_anno(back, id);
    h->push(0, back);
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.port, 0);
    EXPECT_EQ(rs->packets.size(), 1u);
    EXPECT_EQ(r.tr->read("h.handled"), "1");
    EXPECT_EQ(r.tr->read("h.no_session"), "1");
    EXPECT_EQ(r.send(lan, 0), 0);  // unoptimised from now on

    // Unmarked packets pass.
    h->push(0, make_packet(tb));
    h->push(0, make_packet(lan.bytes()));
    EXPECT_EQ(rs->packets.size(), 3u);
}

TEST_F(ReflectTest, RandomAndTruncatedPacketsNeverCrash) {
    std::mt19937 rng(3);
    Frame lan;
    std::vector<uint8_t> bases[] = {tunnel(lan.bytes(), 0x01), tunnel(lan.bytes(), 0x03), lan.bytes()};
    rs->keep(false);
    for (int i = 0; i < 4000; ++i) {
        std::vector<uint8_t> b = bases[rng() % 3];
        b.resize(14 + rng() % (b.size() - 13));
        for (int k = rng() % 4; k > 0; --k)
            b[14 + rng() % (b.size() - 14 ? b.size() - 14 : 1) % b.size()] = uint8_t(rng());
        Packet* p = make_packet(b);
        set_session_id_anno(p, rng() % 3);
        if (rng() % 2)
            refl->push(0, p);
        else
            h->push(0, p);
    }
}
