// PathRedirect: next hops and Ethernet rewriting per path, grading from the
// two WPeerInfo elements, switching with proxy ARP, preemption, the flap
// guard and MAC learning from the ARP table. The router is not run: the
// tests feed the WPeerInfo elements and call one timer run at a time.
#include <gtest/gtest.h>

#include <host/glue.hh>
#include <host/handlercall.hh>

#include <random>

#include "../common/testrouter.hh"
#include "common/annotations.hh"
#include "peerinfo/pathredirect.hh"
#include "peerinfo/peerinfo_wire.hh"
#include "peerinfo/wpeerinfo.hh"

using quilo_test::Sink;

namespace {

class Notifier : public Element, public PeerDiscoveryNotifier {
  public:
    const char* class_name() const override { return "PrTestNotifier"; }
    void* cast(const char* n) override {
        return strcmp(n, "PeerDiscoveryNotifier") == 0 ? static_cast<PeerDiscoveryNotifier*>(this) : Element::cast(n);
    }
};

const char* PRIMARY_MAC = "02-00-00-00-0A-FE";
const char* SECONDARY_MAC = "02-00-00-00-0B-FD";

// Local 10.0.0.1, peer 10.0.0.2; gateways .254 (path A) and .253 (path B).
struct Rig {
    quilo_test::TestRouter r;
    PathRedirect* pr = nullptr;
    WPeerInfo *pi = nullptr, *pi_b = nullptr;

    explicit Rig(const std::string& pr_args, const std::string& extra = "lan_arpr :: ARPResponder; Idle -> lan_arpr -> Discard; lan_arpr[1] -> Discard;") {
        static bool reg = [] { return click_add_element_type<Notifier>("PrTestNotifier") > 0; }();
        EXPECT_TRUE(reg);
        std::string text = "WConf(MAX_PEERS 1, LOG_LEVEL 4); peers :: PrTestNotifier; comp :: WComp;"
                           "pi :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER peers, PEER_OUTPUT_PORT 1, PATH_LINK 1);"
                           "pi_b :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER peers, PEER_OUTPUT_PORT 1, PATH_LINK 2);"
                           "rsp :: RSP(MODE client, LOCAL_IP 10.0.0.1, WRTT pi, WCOMP comp, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
                           "Idle -> comp -> [0]rsp; Idle -> [1]rsp; rsp[0] -> Discard; rsp[1] -> Discard; rsp[2] -> Discard;"
                           "Idle -> pi_b -> pi -> Discard; pi_b[3] -> pi; pi[3] -> Discard;"
                           "pi[1] -> req_a :: QuiloTestSink; pi[2] -> resp_a :: QuiloTestSink;"
                           "pi_b[1] -> req_b :: QuiloTestSink; pi_b[2] -> resp_b :: QuiloTestSink;"
                           "arptable :: ARPTable;" +
                           extra + "Idle -> pr :: PathRedirect(" + pr_args + ") -> fwd :: QuiloTestSink; pr[1] -> arp :: QuiloTestSink;";
        if (!r.build(text))
            return;
        pr = r.get<PathRedirect>("pr");
        pi = r.get<WPeerInfo>("pi");
        pi_b = r.get<WPeerInfo>("pi_b");
        static_cast<PeerDiscoveryNotifier*>(r.get<Notifier>("peers"))->peer_discovered_notify(1, IPAddress("10.0.0.2"));
    }
    bool ok() const { return pr != nullptr; }
    std::string read(const std::string& h) { return r.read("pr." + h); }
    int write(const std::string& hdesc, const std::string& v) { return HandlerCall::call_write(r.router(), hdesc, v); }
    Sink* sink(const char* n) { return r.get<Sink>(n); }

    // An RTT packet from the peer for path `link` (in a padded Ethernet frame
    // with `ether`).
    Packet* rtt_packet(uint8_t link, uint8_t type, uint32_t stamp, bool ether = false) {
        uint8_t b[64] = {};
        size_t at = ether ? 14 : 0;
        size_t n = peerinfo::build_rtt(b + at, sizeof b - at, ShimConfig(),
                                       {IPAddress("10.0.0.2").addr(), IPAddress("10.0.0.1").addr(), 1}, link, type, stamp);
        WritablePacket* p = Packet::make(28, b, uint32_t(ether ? 60 : n), 0);
        p->set_network_header(p->data() + at, 20);
        return p;
    }
    // Path `link` answered with this RTT.
    void answer(uint8_t link, uint32_t rtt_ms) {
        pi_b->push(0, rtt_packet(link, WRTT_RESPONSE, click_jiffies() - rtt_ms));
        (link == 1 ? pi : pi_b)->run_rtt_probe();
    }
    // Path `link` stops answering: its unanswered probes grow by TIMEOUT (2)
    // past the first count a run sees.
    void fail(uint8_t link) {
        WPeerInfo* w = link == 1 ? pi : pi_b;
        for (int run = 0; run < 2; ++run) {
            w->run_rtt_probe();
            w->run_rtt_probe();
            pr->run_once();
        }
    }
    // A frame from the LAN towards `mac`, addressed to `ip`.
    Packet* frame(const char* mac, const char* ip, uint8_t link = 0, uint16_t type = 0x0800, uint32_t len = 60) {
        WritablePacket* p = Packet::make(14, nullptr, len, 0);
        memset(p->data(), 0, len);
        EtherAddress e;
        EtherAddress::parse(mac, e);
        memcpy(p->data(), e.data(), 6);
        p->data()[12] = uint8_t(type >> 8), p->data()[13] = uint8_t(type);
        if (len >= 34) {
            p->data()[14] = 0x45;
            p->data()[17] = uint8_t(len - 14);
            memcpy(p->data() + 30, IPAddress(ip).data(), 4);
        }
        set_path_anno(p, link);
        return p;
    }
    // Pushes p through pr; the Ethernet destination it left with, or "dropped".
    std::string pass(Packet* p) {
        Sink* s = sink("fwd");
        s->clear();
        pr->push(0, p);
        return s->packets.empty() ? "dropped" : EtherAddress(s->last()->data()).unparse_dash();
    }
    void learn_gateways(bool primary = true, bool secondary = true) {
        if (primary)
            write("arptable.insert", std::string("10.0.0.254 ") + PRIMARY_MAC);
        if (secondary)
            write("arptable.insert", std::string("10.0.0.253 ") + SECONDARY_MAC);
        pr->run_once();
    }
};

const std::string GW = "pi, rsp, 10.0.0.254, 10.0.0.253, 10.0.0.1, 02:00:00:00:00:01, TIMEOUT 2";
const std::string BRIDGE = GW + ", BRIDGE true, FAIL_OVER true";

}  // namespace

TEST(PathRedirect, ConfigurationErrors) {
    for (auto [args, extra, msg] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"pi_b, rsp, 1.1.1.1, 1.1.1.2, 1.1.1.3, 02:00:00:00:00:01", "", "'pi_b_b' does not name an element"},
             {"rsp, rsp, 1.1.1.1, 1.1.1.2, 1.1.1.3, 02:00:00:00:00:01", "rsp_b :: Idle;", "'rsp' is not a WRTT element"},
             {"pi, comp, 1.1.1.1, 1.1.1.2, 1.1.1.3, 02:00:00:00:00:01", "", "'comp' is not a RSP element"},
             {GW + ", VLAN_ID 4096", "", "VLAN_ID"},
             {BRIDGE, "", "lan_arpr"}}) {
        Rig rig(args, extra);
        EXPECT_FALSE(rig.ok()) << args;
        EXPECT_NE(rig.r.errors().find(msg), std::string::npos) << rig.r.errors();
    }
}

// The WPeerInfo elements answer each path's probes on that path, as IP
// packets, and the "_b" element in front keeps path B's figures apart from
// path A's.
TEST(PathRedirect, EachPathsProbesAndAnswersStayOnThatPath) {
    Rig rig(GW);
    ASSERT_TRUE(rig.ok()) << rig.r.errors();
    rig.pi_b->push(0, rig.rtt_packet(2, WRTT_REQUEST, 7, true));
    rig.pi_b->push(0, rig.rtt_packet(1, WRTT_REQUEST, 7));
    ASSERT_EQ(rig.sink("resp_b")->packets.size(), 1u);
    ASSERT_EQ(rig.sink("resp_a")->packets.size(), 1u);
    EXPECT_EQ(path_anno(rig.sink("resp_b")->last()), 2);
    EXPECT_EQ(path_anno(rig.sink("resp_a")->last()), 1);
    // Answers leave as bare IP packets, whatever link header the request had.
    for (const char* s : {"resp_a", "resp_b"}) {
        Packet* p = rig.sink(s)->last();
        EXPECT_EQ(p->length(), 36u) << s;
        EXPECT_EQ(p->data()[0], 0x45) << s;
        EXPECT_EQ(IPAddress(p->data() + 16).unparse(), "10.0.0.2") << s;
    }
    rig.pi->run_rtt_probe();
    EXPECT_EQ(path_anno(rig.sink("req_a")->last()), 1);
    rig.answer(2, 40);
    EXPECT_GE(rig.pi_b->rtt_average(), 40);
    EXPECT_LT(rig.pi_b->rtt_average(), 1000);
    EXPECT_EQ(rig.pi->rtt_average(), 65535);
}

// Routing mode: probes go to their path's gateway; after the failover a
// next hop of PRIMARY_GW becomes the secondary, unless the packet is for
// the primary gateway itself.
TEST(PathRedirect, RoutingModeNextHops) {
    Rig rig(GW + ", FAIL_OVER true");
    ASSERT_TRUE(rig.ok()) << rig.r.errors();
    auto next_hop = [&](uint8_t link, const char* nh, const char* dst) {
        Packet* p = rig.frame("00-00-00-00-00-00", dst, link);
        p->pull(14);
        set_dst_ip_anno(p, IPAddress(nh).addr());
        Sink* s = rig.sink("fwd");
        s->clear();
        rig.pr->push(0, p);
        return IPAddress(dst_ip_anno(s->last())).unparse();
    };
    EXPECT_EQ(next_hop(1, "10.0.0.9", "10.9.0.1"), "10.0.0.254");
    EXPECT_EQ(next_hop(2, "10.0.0.254", "10.9.0.1"), "10.0.0.253");
    EXPECT_EQ(next_hop(0, "10.0.0.254", "10.9.0.1"), "10.0.0.254");
    rig.fail(1);
    EXPECT_EQ(rig.read("active"), "10.0.0.254");  // the secondary MAC is not known yet
    rig.learn_gateways(false, true);
    EXPECT_EQ(rig.read("active"), "10.0.0.253");
    EXPECT_EQ(rig.read("total_events"), "1");
    EXPECT_EQ(next_hop(0, "10.0.0.254", "10.9.0.1"), "10.0.0.253");
    EXPECT_EQ(next_hop(0, "10.0.0.254", "10.0.0.254"), "10.0.0.254");
    EXPECT_EQ(next_hop(0, "10.0.0.7", "10.9.0.1"), "10.0.0.7");
    EXPECT_EQ(next_hop(1, "10.0.0.9", "10.9.0.1"), "10.0.0.254");
}

// Bridge mode: probes of a path whose gateway MAC is unknown are dropped;
// after the failover frames for the primary gateway go to the secondary, the
// LAN answers for the primary gateway by proxy, and path B failing in turn
// brings everything back.
TEST(PathRedirect, BridgeModeFailsOverAndBack) {
    Rig rig(BRIDGE);
    ASSERT_TRUE(rig.ok()) << rig.r.errors();
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.9.0.1", 2)), "dropped");
    EXPECT_EQ(rig.read("drops"), "1");
    rig.learn_gateways();
    EXPECT_EQ(rig.read("primary_mac"), PRIMARY_MAC);
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.9.0.1", 2)), SECONDARY_MAC);
    EXPECT_EQ(rig.pass(rig.frame(SECONDARY_MAC, "10.9.0.1")), SECONDARY_MAC);  // nothing before a switch

    rig.fail(1);
    EXPECT_EQ(rig.read("active"), "10.0.0.253");
    EXPECT_EQ(rig.read("link_b"), "true");
    EXPECT_EQ(rig.r.read("lan_arpr.table"), "10.0.0.254/32 02:00:00:00:0a:fe\n");
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.9.0.1")), SECONDARY_MAC);
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.0.0.254")), PRIMARY_MAC);
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.9.0.1", 0, 0x0806)), PRIMARY_MAC);
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.9.0.1", 0, 0x0800, 33)), PRIMARY_MAC);
    EXPECT_EQ(rig.pass(rig.frame("02-00-00-00-00-99", "10.9.0.1")), "02-00-00-00-00-99");
    EXPECT_EQ(rig.pass(rig.frame(SECONDARY_MAC, "10.9.0.1", 1)), PRIMARY_MAC);

    Sink* arp = rig.sink("arp");
    arp->clear();
    rig.fail(2);
    EXPECT_EQ(rig.read("active"), "10.0.0.254");
    EXPECT_EQ(rig.read("link_a"), "true");
    EXPECT_EQ(rig.read("total_events"), "2");
    EXPECT_EQ(rig.r.read("lan_arpr.table"), "");
    ASSERT_FALSE(arp->packets.empty());  // a unicast query to the primary gateway
    EXPECT_EQ(EtherAddress(arp->packets.back()->data()).unparse_dash(), PRIMARY_MAC);
    EXPECT_EQ(IPAddress(arp->packets.back()->data() + 38).unparse(), "10.0.0.254");
    EXPECT_EQ(rig.pass(rig.frame(SECONDARY_MAC, "10.9.0.1")), PRIMARY_MAC);
}

// Without FAIL_OVER the paths are graded but nothing switches; with
// PREEMPT a healthy path A is taken back after TIMEOUT + 2 runs, without
// it path B stays.
TEST(PathRedirect, GradingWithoutFailOverAndPreemption) {
    Rig off(GW + ", BRIDGE true");
    ASSERT_TRUE(off.ok()) << off.r.errors();
    off.learn_gateways();
    off.fail(1);
    EXPECT_EQ(off.read("link_a"), "false");
    EXPECT_EQ(off.read("active"), "10.0.0.254");
    off.answer(1, 30);
    off.pr->run_once();
    EXPECT_EQ(off.read("link_a"), "true");
    EXPECT_EQ(off.read("total_events"), "0");

    for (bool preempt : {true, false}) {
        Rig rig(BRIDGE + (preempt ? "" : ", PREEMPT false"));
        ASSERT_TRUE(rig.ok()) << rig.r.errors();
        rig.learn_gateways();
        rig.fail(1);
        ASSERT_EQ(rig.read("active"), "10.0.0.253");
        rig.answer(1, 30);
        for (int run = 0; run < 3; ++run)  // TIMEOUT + 1
            rig.pr->run_once();
        EXPECT_EQ(rig.read("active"), "10.0.0.253");
        for (int run = 0; run < 10; ++run)
            rig.pr->run_once();
        EXPECT_EQ(rig.read("active"), preempt ? "10.0.0.254" : "10.0.0.253") << preempt;
        EXPECT_EQ(rig.read("total_events"), preempt ? "2" : "1");
    }
}

// Ten switches in a window of 60 runs pause the checks for 300 seconds at
// the window's end; the next, quiet window runs every 5 seconds.
TEST(PathRedirect, FlapGuardPausesAtMaxEvents) {
    Rig rig(BRIDGE + ", PREEMPT false");
    ASSERT_TRUE(rig.ok()) << rig.r.errors();
    rig.learn_gateways();
    int runs = 1;
    for (int i = 0; i < 10; ++i, runs += 2)
        rig.fail(i % 2 ? 2 : 1);
    EXPECT_EQ(rig.read("total_events"), "10");
    for (; runs < 60; ++runs)
        ASSERT_EQ(rig.pr->run_once(), 5u) << runs;
    EXPECT_EQ(rig.pr->run_once(), 300u);
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(rig.pr->run_once(), 5u) << i;
}

// The MACs follow the ARP table. After a switch the active MAC follows the
// active gateway's entry. A vanished primary gateway is forgotten; the
// failover then has the secondary MAC stand in for it, which is not learned
// back as the primary's, and the failback waits until the primary is found.
TEST(PathRedirect, MacLearningFollowsTheArpTable) {
    Rig rig(BRIDGE);
    ASSERT_TRUE(rig.ok()) << rig.r.errors();
    rig.learn_gateways();
    rig.fail(1);  // runs 2 and 3
    rig.write("arptable.insert", "10.0.0.253 02-00-00-00-0B-0B");
    for (int run = 4; run <= 6; ++run)  // known MACs are read again every sixth run
        rig.pr->run_once();
    EXPECT_EQ(rig.read("active_mac"), "02-00-00-00-0B-0B");
    EXPECT_EQ(rig.pass(rig.frame(PRIMARY_MAC, "10.9.0.1")), "02-00-00-00-0B-0B");

    Rig gone(BRIDGE);
    ASSERT_TRUE(gone.ok()) << gone.r.errors();
    gone.learn_gateways();
    gone.write("arptable.delete", "10.0.0.254");
    for (int run = 2; run <= 6; ++run)
        gone.pr->run_once();
    EXPECT_EQ(gone.read("primary_mac"), "unknown");
    gone.fail(1);
    EXPECT_EQ(gone.read("active"), "10.0.0.253");
    EXPECT_EQ(gone.r.read("lan_arpr.table"), "10.0.0.254/32 02:00:00:00:0b:fd\n");
    EXPECT_NE(gone.r.read("arptable.table").find(std::string("10.0.0.254 1 ") + SECONDARY_MAC), std::string::npos);
    for (int run = 0; run < 12; ++run)
        gone.pr->run_once();
    EXPECT_EQ(gone.read("primary_mac"), "unknown");
    gone.fail(2);
    EXPECT_EQ(gone.read("active"), "10.0.0.253");
    gone.write("arptable.insert", std::string("10.0.0.254 ") + PRIMARY_MAC);
    gone.pr->run_once();
    EXPECT_EQ(gone.read("primary_mac"), PRIMARY_MAC);
    EXPECT_EQ(gone.read("active"), "10.0.0.254");
    EXPECT_EQ(gone.r.read("lan_arpr.table"), "");
}

// The listing parser: the MAC two words after the address, never read past
// the end; random and truncated listings neither crash nor invent a MAC.
TEST(PathRedirect, ArpListingParser) {
    IPAddress gw("10.0.0.254");
    std::string good = "10.0.0.1 1 02-00-00-00-00-01 3.2\n10.0.0.254 1 02-00-00-00-0A-FE 1.0\n";
    EXPECT_EQ(pathredirect::listed_mac(good, gw), 0x020000000AFEull);
    for (const char* bad : {"10.0.0.254 1", "x 10.0.0.254", "10.0.0.254 0 00-00-00-00-00-00 -",
                            "10.0.0.254 1 FF-FF-FF-FF-FF-FF 1", "10.0.0.254 1 02-00-00-00-0A-F 1",
                            "10.0.0.254 1 02-00-00-00-0A-FG 1", "10.0.0.2544 1 02-00-00-00-0A-FE 1"})
        EXPECT_EQ(pathredirect::listed_mac(bad, gw), 0u) << bad;
    std::mt19937 rng(5);
    for (int i = 0; i < 2000; ++i) {
        std::string s = good.substr(0, rng() % (good.size() + 1));
        for (int k = rng() % 4; k && !s.empty(); --k)
            s[rng() % s.size()] = char(rng() % 128);
        uint64_t m = pathredirect::listed_mac(s, gw);
        EXPECT_TRUE(m == 0 || s.find("10.0.0.254") != std::string::npos) << s;
    }
}
