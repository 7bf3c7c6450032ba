// FlowTable and FlowLookup: the peers file at configuration, binding sessions
// to peers, steering in both directions, UDP routes, tunnel control traffic,
// peer limits and address changes, hot reconfiguration, and the lock order
// between the flow table and the session manager.
#include <atomic>
#include <thread>

#include <host/args.hh>
#include <host/handlercall.hh>

#include "common/wlogger.hh"

#include "peerstest.hh"

using namespace peers_test;

namespace {

// Records peer announcements for one port.
class DiscoveryRecorder : public Element, public PeerDiscoveryListener {
  public:
    const char* class_name() const override { return "QuiloTestDiscovery"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        Element* e = nullptr;
        if (Args(conf, this, errh).read_mp("NOTIFIER", ElementArg(), e).read_mp("PORT", port).complete() < 0)
            return -1;
        static_cast<PeerDiscoveryNotifier*>(e->cast("PeerDiscoveryNotifier"))->add_listener(this, port);
        return 0;
    }
    void peer_discovered_notify(const IPAddress& p) override { seen.push_back(p); }
    int port = 0;
    std::vector<IPAddress> seen;
};
const bool recorder_registered = click_add_element_type<DiscoveryRecorder>("QuiloTestDiscovery") > 0;

const char* kPeerA = "10.1.1.2";
const char* kMacA = "00-11-22-33-44-55";

class FlowTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(recorder_registered);
        path = dir.file("peers");
    }
    bool build(const std::string& wconf = "MAX_PEERS 2", const std::string& extra = "", const std::string& more = "") {
        return r.build(path, wconf, extra, more);
    }
    // A TCP SYN from the local network: creates the session, returns its id.
    uint32_t open_session(Frame f) {
        f.tcp_flags = TH_SYN;
        EXPECT_EQ(r.send(f, 0), 0);
        return session_id_anno(r.last);
    }
    // Binds the session of `last` to `peer` as the probes would: this side's
    // probe, then the peer's probe announcing free ports.
    void bind(const char* peer, const char* mac, bool add = true) {
        EtherAddress m;
        EtherAddress::parse(mac, m);
        r.ft->set_peer_flow_state_flag(r.last, PeerFlowInfo::LOCAL_PROBE);
        r.ft->register_peer_flow(r.last, IPAddress(peer), m, add);
    }

    TempDir dir;
    std::string path;
    SteeringRouter r;
};

}  // namespace

TEST_F(FlowTableTest, ConfigurationReadsThePeersFile) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n"
               "10.1.1.9, 1, dup, 00-11-22-33-44-99\n"
               "10.1.1.8, 0, zero\n"
               "10.1.1.3, 2, \"a, b\"\n"
               "10.1.1.4, 3, beyond\n"
               "10.1.1.5, 1, after the limit\n");
    ASSERT_TRUE(build()) << r.tr->errors();
    std::vector<PeerInfo> peers = r.ft->peers();
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[0].peer, IPAddress("10.1.1.2"));
    EXPECT_EQ(peers[0].hostname, "branch");
    EXPECT_EQ(peers[1].hostname, "a, b");
    EXPECT_EQ(r.tr->read("ft.peers"), "10.1.1.2 1\n10.1.1.3 2\n");
    EXPECT_EQ(r.tr->read("ft.ports_available"), "false");
    EXPECT_EQ(r.tr->read("ft.tcp_map"), "tcp map size: 0");

    // The start-up announcement reaches only the listeners of each port.
    r.tr.reset();
    ASSERT_TRUE(build("MAX_PEERS 2", "", "d1 :: QuiloTestDiscovery(ft, 1); d2 :: QuiloTestDiscovery(ft, 2);"))
        << r.tr->errors();
    r.ft->run_timer(nullptr);
    auto* d1 = r.tr->get<DiscoveryRecorder>("d1");
    auto* d2 = r.tr->get<DiscoveryRecorder>("d2");
    ASSERT_EQ(d1->seen.size(), 1u);
    EXPECT_EQ(d1->seen[0], IPAddress("10.1.1.2"));
    ASSERT_EQ(d2->seen.size(), 1u);
    EXPECT_EQ(d2->seen[0], IPAddress("10.1.1.3"));
}

TEST_F(FlowTableTest, ConfigurationErrors) {
    // Missing file: created, no peers.
    ASSERT_TRUE(build()) << r.tr->errors();
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(r.ft->peers().size(), 0u);
    EXPECT_EQ(r.tr->read("ft.ports_available"), "true");

    spit(path, "10.1.1.2, one\n");
    EXPECT_FALSE(build());
    EXPECT_NE(r.tr->errors().find("Peer config file parse error: 10.1.1.2, one"), std::string::npos);
    spit(path, "");

    EXPECT_FALSE(build("MAX_PEERS 2", ", UDP_ROUTE 10.0.0.0/8"));
    EXPECT_NE(r.tr->errors().find("argument 3 should be"), std::string::npos) << r.tr->errors();
    EXPECT_FALSE(build("MAX_PEERS 2", ", UDP_ROUTE 10.0.0.0/8 10.1.1.2 extra"));
    EXPECT_FALSE(build("MAX_PEERS 2", ", UDP_ROUTE 10.0.0.0/99 10.1.1.2"));

    r.tr.reset(new TestRouter(1));
    EXPECT_FALSE(r.tr->build("WConf(MAX_PEERS 2); i :: Idle; ft :: FlowTable(NOTIFIER i, PEERS_FILE_PATH \"" + path +
                             "\"); i -> Discard;"));
    EXPECT_NE(r.tr->errors().find("i is not a SessionNotifier"), std::string::npos) << r.tr->errors();

    r.tr.reset(new TestRouter(1));
    EXPECT_FALSE(r.tr->build("WConf(MAX_PEERS 2); Idle -> FlowLookup(wan_in) -> Discard;"));
    EXPECT_NE(r.tr->errors().find("Invalid DIRECTION specified."), std::string::npos) << r.tr->errors();
    r.tr.reset(new TestRouter(1));
    EXPECT_FALSE(r.tr->build("WConf(MAX_PEERS 2); Idle -> FlowLookup(WAN_IN) -> Discard;"));
    EXPECT_NE(r.tr->errors().find("FlowTable not found"), std::string::npos) << r.tr->errors();
}

TEST_F(FlowTableTest, BoundSessionsAreSteeredBothWays) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
    ASSERT_TRUE(build()) << r.tr->errors();
    Frame lan;  // 10.0.0.1:40000 -> 192.168.0.1:80 from the local network
    uint32_t id = open_session(lan);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(r.tr->read("ft.tcp_map"), "tcp map size: 1");

    // Only this side's probe: outbound stays unoptimised.
    r.ft->set_peer_flow_state_flag(r.last, PeerFlowInfo::LOCAL_PROBE);
    EXPECT_EQ(r.send(lan, 0), 0);
    EXPECT_EQ(peer_ip_anno(r.last), 0u);

    EtherAddress mac;
    EtherAddress::parse(kMacA, mac);
    r.ft->register_peer_flow(r.last, IPAddress(kPeerA), mac, false);
    EXPECT_EQ(dst_ip_anno(r.last), ip(kPeerA));
    PeerFlowInfo f;
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.state, PeerFlowInfo::BOUND);
    EXPECT_EQ(f.port, 1);

    EXPECT_EQ(r.send(lan, 0), 1);
    EXPECT_EQ(peer_ip_anno(r.last), ip(kPeerA));
    EXPECT_EQ(r.send(lan.reversed(), 1), 4);  // WAN_IN output 1
    EXPECT_EQ(peer_ip_anno(r.last), ip(kPeerA));
    // The tunnelled form of the reply belongs to the same session.
    EXPECT_EQ(r.send(tunnel(lan.reversed().bytes(), 0x01), 1), 4);
    EXPECT_EQ(r.tr->read("out_l.count"), "1");
    EXPECT_EQ(r.tr->read("in_l.count"), "2");

    // A session whose handshake no probe saw stays on port 0.
    Frame other = lan;
    other.sport = 40001;
    open_session(other);
    EXPECT_EQ(r.send(other, 0), 0);
    EXPECT_EQ(r.send(other.reversed(), 1), 3);
    EXPECT_EQ(r.send(tunnel(other.reversed().bytes()), 1), 3);  // shim without a peer: warned, port 0

    // A peer boot detaches its sessions; a reset detaches one.
    r.ft->peer_boot_notify(IPAddress(kPeerA));
    EXPECT_EQ(r.send(lan, 0), 0);
    r.ft->register_peer_flow(r.last, IPAddress(kPeerA), mac, false);
    EXPECT_EQ(r.send(lan, 0), 1);
    std::vector<uint8_t> refl = tunnel(lan.reversed().bytes());
    EXPECT_EQ(r.send(refl, 1), 4);
    r.ft->reset_flow(r.last, id, SessionNotifier::WAN_IN);
    EXPECT_EQ(r.send(lan, 0), 0);
    EXPECT_EQ(r.send(refl, 1), 3);

    // Fragments and other protocols take port 0.
    Frame frag = lan;
    frag.frag = 0x2000;
    EXPECT_EQ(r.send(frag, 0), 0);
    EXPECT_EQ(r.send(frag.reversed(), 1), 3);
    Frame icmp = lan;
    icmp.proto = 1;
    EXPECT_EQ(r.send(icmp.reversed(), 1), 3);

    // Deleted sessions lose their flow.
    r.sm->collect_garbage(int64_t(1000) + 100000);
    EXPECT_EQ(r.ft->peer_flow_count(), 0u);
}

TEST_F(FlowTableTest, NewPeersTakeFreePortsUpToTheLimit) {
    ASSERT_TRUE(build("MAX_PEERS 2", "", "d1 :: QuiloTestDiscovery(ft, 1);")) << r.tr->errors();
    Frame lan;
    uint32_t id = open_session(lan);
    // Without the add flag an unknown peer is not added.
    bind(kPeerA, kMacA, false);
    PeerFlowInfo f;
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.port, 0);
    EXPECT_EQ(r.send(lan, 0), 0);

    lan.sport++;
    open_session(lan);
    bind(kPeerA, kMacA);
    EXPECT_EQ(r.send(lan, 0), 1);
    auto* d1 = r.tr->get<DiscoveryRecorder>("d1");
    ASSERT_EQ(d1->seen.size(), 1u);
    EXPECT_EQ(d1->seen[0], IPAddress(kPeerA));
    EXPECT_EQ(slurp(path), "10.1.1.2, 1, , 00-11-22-33-44-55\n");

    lan.sport++;
    open_session(lan);
    bind("10.1.1.3", "00-11-22-33-44-66");
    EXPECT_EQ(r.send(lan, 0), 2);
    EXPECT_FALSE(r.ft->output_ports_available());

    // All ports taken: -1, the flow stays unbound.
    for (int i = 0; i < 8; ++i) {
        lan.sport++;
        open_session(lan);
        bind(("10.1.1." + std::to_string(10 + i)).c_str(), "02-00-00-00-00-07");
        EXPECT_EQ(r.send(lan, 0), 0);
    }
    EXPECT_EQ(r.ft->get_peer_output_port(IPAddress("10.9.9.9"), EtherAddress(), true), -1);
    EXPECT_EQ(r.ft->get_next_available_output_port(), -1);
    EXPECT_EQ(r.ft->peers().size(), 2u);
}

TEST_F(FlowTableTest, APeerThatChangesItsAddressKeepsItsPort) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n10.1.1.3, 2, , 00-00-00-00-00-00\n");
    ASSERT_TRUE(build("MAX_PEERS 2", "", "d1 :: QuiloTestDiscovery(ft, 1);")) << r.tr->errors();
    Frame lan;
    uint32_t old_id = open_session(lan);
    bind(kPeerA, kMacA);
    lan.sport++;
    uint32_t new_id = open_session(lan);
    bind("10.1.1.20", kMacA);  // same MAC, new address
    PeerFlowInfo f;
    ASSERT_TRUE(r.ft->peer_flow(new_id, &f));
    EXPECT_EQ(f.port, 1);
    ASSERT_TRUE(r.ft->peer_flow(old_id, &f));
    EXPECT_EQ(f.port, 0);  // the old address's sessions are detached
    EXPECT_EQ(r.tr->read("ft.peers"), "10.1.1.3 2\n10.1.1.20 1\n");
    EXPECT_EQ(slurp(path), "10.1.1.3, 2, , 00-00-00-00-00-00\n10.1.1.20, 1, branch, 00-11-22-33-44-55\n");
    auto* d1 = r.tr->get<DiscoveryRecorder>("d1");
    ASSERT_EQ(d1->seen.size(), 1u);
    EXPECT_EQ(d1->seen[0], IPAddress("10.1.1.20"));
    // An all-zero MAC identifies nobody: a probe without one cannot take over peer 10.1.1.3.
    EXPECT_EQ(r.ft->get_peer_output_port(IPAddress("10.1.1.30"), EtherAddress(), false), 0);
}

TEST_F(FlowTableTest, HostNamesFromPeersAreWrittenQuoted) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
    ASSERT_TRUE(build()) << r.tr->errors();
    whost_info info{IPAddress(kPeerA), std::string("evil,\n\"name\" ") + std::string(240, 'z')};
    r.ft->peer_info_notify(info);
    std::vector<PeerInfo> back;
    StringErrorHandler errh;
    ASSERT_EQ(peersfile::read(path, &back, &errh), 0);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].hostname, info.hostname);
    EXPECT_EQ(back[0].port, 1);
    // The next configuration reads it back.
    ASSERT_TRUE(build()) << r.tr->errors();
    EXPECT_EQ(r.ft->peers()[0].hostname, info.hostname);
    // Unknown peers change nothing.
    whost_info stranger{IPAddress("10.7.7.7"), "x"};
    r.ft->peer_info_notify(stranger);
    EXPECT_EQ(r.ft->peers().size(), 1u);
}

TEST_F(FlowTableTest, MaxFlowsZeroTracksNothing) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
    ASSERT_TRUE(build("MAX_PEERS 2, MAX_FLOWS 0")) << r.tr->errors();
    Frame lan;
    open_session(lan);
    bind(kPeerA, kMacA);
    EXPECT_EQ(r.ft->peer_flow_count(), 0u);
    EXPECT_EQ(r.send(lan, 0), 0);
    EXPECT_EQ(r.send(lan.reversed(), 1), 3);

    ASSERT_TRUE(build("MAX_PEERS 2, MAX_FLOWS 2")) << r.tr->errors();
    for (int i = 0; i < 5; ++i) {
        lan.sport = uint16_t(50000 + i);
        open_session(lan);
    }
    EXPECT_EQ(r.ft->peer_flow_count(), 2u);
}

TEST_F(FlowTableTest, UdpRoutesAndControlTraffic) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
    ASSERT_TRUE(build("MAX_PEERS 2", ", UDP_ROUTE 192.168.5.0/24 10.1.1.2, UDP_ROUTE 192.168.6.0/24 10.1.1.3"))
        << r.tr->errors();
    ASSERT_EQ(r.ft->udp_routes().size(), 2u);
    Frame u;
    u.proto = 17;
    u.dst = 0xc0a80509;  // 192.168.5.9
    EXPECT_EQ(r.send(u, 0), 1);
    EXPECT_EQ(peer_ip_anno(r.last), ip(kPeerA));
    EXPECT_EQ(r.send(u.reversed(), 1), 4);
    // Longer than a full TCP segment (WConf's MSS 1320 + 40): plain, since
    // the tunnel's headers would take it past the MTU.
    u.payload = 1360 - 28;
    EXPECT_EQ(r.send(u, 0), 1);
    u.payload = 1361 - 28;
    EXPECT_EQ(r.send(u, 0), 0);
    EXPECT_EQ(r.tr->read("ft.udp_too_long"), "1");
    u.payload = 0;
    u.dst = 0xc0a80609;  // routed to a peer that is not in the table
    EXPECT_EQ(r.send(u, 0), 0);
    u.dst = 0xc0a80709;  // no route
    EXPECT_EQ(r.send(u, 0), 0);

    // Tunnel control, peer information, FEC and stacker packets go to the
    // port of the peer they come from.
    Frame c;
    c.src = 0x0a010102;  // 10.1.1.2
    c.proto = 17;
    for (int code : {200, 202, 203, 204}) {
        EXPECT_EQ(r.send(tunnel(c.bytes(), 0, 108, code), 1), 4) << code;
    }
    c.src = 0x0a010109;
    EXPECT_EQ(r.send(tunnel(c.bytes(), 0, 108, 200), 1), 3);
}

// A packet of a peer's reliable stream reaches that peer's tunnel even when
// no peer carries its session here (the probes missed each other on a lossy
// WAN, or the session was detached): reflected, it would leave a hole in
// the tunnel's stream that no retransmission fills. Stateless tunnel
// packets of such a session are still turned back.
TEST_F(FlowTableTest, StreamPacketsOfUnboundSessionsReachTheTunnel) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
    ASSERT_TRUE(build()) << r.tr->errors();
    Frame lan;
    uint32_t id = open_session(lan);
    std::vector<uint8_t> stream = tunnel(lan.reversed().bytes(), 0x01), plain = tunnel(lan.reversed().bytes());
    EXPECT_EQ(r.send(plain, 1), 3);
    EXPECT_EQ(r.send(stream, 1), 4);
    EXPECT_EQ(peer_ip_anno(r.last), ip(kPeerA));
    bind(kPeerA, kMacA);
    r.ft->reset_flow(r.last, id, SessionNotifier::WAN_IN);
    EXPECT_EQ(r.send(stream, 1), 4);

    // With two peers and none named by the session, the tunnel is unknown.
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n10.1.1.3, 2, other, 00-11-22-33-44-66\n");
    ASSERT_TRUE(build()) << r.tr->errors();
    open_session(lan);
    EXPECT_EQ(r.send(stream, 1), 3);
}

TEST_F(FlowTableTest, PeerPortWithoutOutputFallsBackToOutputZero) {
    spit(path, "10.1.1.2, 2, branch, 00-11-22-33-44-55\n");
    r.tr.reset(new TestRouter(1));
    ASSERT_TRUE(r.tr->build("WConf(MAX_PEERS 2, LOG_LEVEL 4); sm :: SessionManager;"
                            "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH \"" + path + "\");"
                            "fl :: FlowLookup(WAN_OUT); s :: QuiloTestSink;"
                            "Idle -> [0]sm[0] -> fl; Idle -> [1]sm[1] -> Discard; fl[0] -> [0]s; fl[1] -> [1]s;"))
        << r.tr->errors();
    r.sm = r.tr->get<SessionManager>("sm");
    r.ft = r.tr->get<FlowTable>("ft");
    r.sink = r.tr->get<Sink>("s");
    Frame lan;
    open_session(lan);
    bind(kPeerA, kMacA);
    EXPECT_EQ(r.send(lan, 0), 0);
    EXPECT_EQ(peer_ip_anno(r.last), 0u);
    EXPECT_EQ(r.tr->read("fl.unmapped_count"), "1");
    EXPECT_EQ(r.tr->read("fl.count"), "0");
}

TEST_F(FlowTableTest, TakeStateKeepsPeersAndRecomputesPorts) {
    spit(path, "10.1.1.2, 1, a, 00-11-22-33-44-55\n10.1.1.3, 3, b, 00-11-22-33-44-66\n");
    ASSERT_TRUE(build("MAX_PEERS 3")) << r.tr->errors();
    Frame lan;
    uint32_t id = open_session(lan);
    bind(kPeerA, kMacA);
    SteeringRouter old = std::move(r);

    spit(path, "");
    ASSERT_TRUE(build("MAX_PEERS 2")) << r.tr->errors();
    EXPECT_TRUE(r.ft->output_ports_available());
    StringErrorHandler errh;
    r.ft->take_state(old.ft, &errh);
    r.sm->take_state(old.sm, &errh);
    EXPECT_EQ(r.ft->peers().size(), 2u);
    std::vector<bool> bits = r.ft->port_bits();
    ASSERT_EQ(bits.size(), 4u);  // grown to hold port 3
    EXPECT_TRUE(bits[0] && bits[1] && !bits[2] && bits[3]);
    EXPECT_TRUE(r.ft->output_ports_available());  // port 2 is free
    PeerFlowInfo f;
    ASSERT_TRUE(r.ft->peer_flow(id, &f));
    EXPECT_EQ(f.port, 1);
    EXPECT_EQ(r.send(lan, 0), 1);
    EXPECT_EQ(r.ft->get_next_available_output_port(), 2);
    EXPECT_FALSE(r.ft->output_ports_available());
    EXPECT_EQ(r.ft->get_next_available_output_port(), -1);

    r.ft->take_state(old.sm, &errh);  // not a FlowTable
    EXPECT_NE(errh.text().find("is not a FlowTable element"), std::string::npos);
}

// Resetting flows (which asks the session manager for the session's text)
// while new sessions are created (delivered with the session manager's lock
// held, taking the peer-flow lock) must not deadlock.
TEST_F(FlowTableTest, ResetFlowAndNewSessionsDoNotDeadlock) {
    spit(path, "10.1.1.2, 1, branch, 00-11-22-33-44-55\n");
    ASSERT_TRUE(build()) << r.tr->errors();
    Frame lan;
    uint32_t id = open_session(lan);
    std::vector<uint8_t> refl = tunnel(lan.reversed().bytes());
    Packet* rp = make_packet(refl);
    set_session_id_anno(rp, id);
    WLogger::log_level = 1;  // let reset_flow ask for the session text

    std::atomic<bool> done{false};
    std::thread creator([&] {
        Frame f = lan;
        for (int i = 0; i < 3000; ++i) {
            f.sport = uint16_t(1000 + i);
            SessionPacket sp{6, TH_SYN, htonl(f.src), htonl(f.dst), htons(f.sport), htons(f.dport)};
            r.sm->track(sp, WAN_OUT, Timestamp::make_sec(1000), nullptr, 0);
        }
        done = true;
    });
    testing::internal::CaptureStderr();
    for (int i = 0; i < 20000 && (i < 100 || !done); ++i)
        r.ft->reset_flow(rp, id, SessionNotifier::WAN_IN);
    creator.join();
    std::string err = testing::internal::GetCapturedStderr();
    WLogger::log_level = 4;
    EXPECT_NE(err.find("Reset flow. SM Session State: Session: "), std::string::npos);
    rp->kill();
}
