// PathRedirect: gateway path selection for a site with two WAN links. It
// grades the primary path (A) and the secondary path (B) towards the peer
// appliance from the RTT probes of two WPeerInfo elements, fails over to the
// secondary gateway when path A degrades, falls back when path B degrades,
// and (with PREEMPT) returns to the primary gateway once path A is healthy
// again. Traffic is steered to the active gateway either as the next-hop
// annotation (routing mode) or by rewriting Ethernet destinations, with
// proxy ARP on the LAN side (bridge mode).
//
//   PathRedirect(WRTT, RSP, PRIMARY_GW, SECONDARY_GW, MY_IP, MY_ETH
//                [, BRIDGE b] [, FAIL_OVER b] [, PREEMPT b] [, TIMEOUT n]
//                [, MAX_RTT_A ms] [, MAX_LOSS_A n] [, MAX_RTT_B ms]
//                [, MAX_LOSS_B n] [, MAX_EVENTS n] [, VLAN_ID id])
//
// WRTT          the WPeerInfo of path A (PATH_LINK 1); the element named
//               WRTT followed by "_b" is path B's (PATH_LINK 2)
// RSP           the RSP element of the peer (checked, not used)
// PRIMARY_GW, SECONDARY_GW
//               the gateways of path A and path B
// MY_IP, MY_ETH sender of the ARP requests sent to the gateways
// BRIDGE        bridge mode (false: routing mode)
// FAIL_OVER     take decisions (false: grade and report only)
// PREEMPT       return to path A after TIMEOUT + 2 healthy runs (true)
// TIMEOUT       bad runs that mark a path unhealthy (6)
// MAX_RTT_A, MAX_RTT_B
//               RTT limit of each path in milliseconds (5000)
// MAX_LOSS_A, MAX_LOSS_B
//               accepted for older configurations; the grading counts
//               unanswered probes against TIMEOUT instead (50)
// MAX_EVENTS    switches per 5-minute window after which the checks pause
//               for 300 seconds (10)
// VLAN_ID       VLAN tag annotation of the ARP requests (0: none)
//
// The paths' probes must leave through their own gateways: each WPeerInfo
// marks its RTT requests and responses with its PATH_LINK in PATH_ANNO, and
// this element sends packets marked 1 to the primary and 2 to the secondary
// gateway whatever the active one is. On the receive side the "_b" element
// must see peer-information packets first and hand path A's on through its
// output 3, since a WPeerInfo with PATH_LINK 1 takes every path's packets.
//
// Routing mode (packets are IP): PATH_ANNO 1 or 2 sets the destination
// address annotation to that path's gateway; otherwise a next hop equal to
// PRIMARY_GW becomes the active gateway, unless the packet is addressed to
// PRIMARY_GW itself.
// Bridge mode (packets are Ethernet frames): PATH_ANNO 1 or 2 sets the
// Ethernet destination to that gateway's MAC, or drops the packet while
// that MAC is unknown; otherwise an IPv4 frame addressed to either
// gateway's MAC, but not to either gateway's IP address, goes to the active
// gateway's MAC. Until the first switch nothing else is rewritten.
//
// The element learns the gateways' MACs from the listing of "arptable.table"
// (the MAC stands two words after the address), so the router must have an
// ARPTable named arptable that an ARPQuerier fills from the gateways' ARP
// replies (TABLE arptable). In bridge mode it also needs an ARPResponder
// named lan_arpr on the LAN side: while path B is active, lan_arpr answers
// for PRIMARY_GW (with the primary MAC, or the secondary MAC when the
// primary was never seen, which is then written to arptable as well).
//
// Timer: ARP requests to both gateways at start, and a look at the ARP
// table every second until both MACs are known. A first check 20 seconds
// after start, then every 5 seconds: ARP requests to both gateways every
// fifth check, MAC learning, grading of both paths, decisions. A path turns unhealthy when its unanswered probes grow
// by TIMEOUT past the count seen when they began, or after TIMEOUT runs
// with its RTT average above its limit; it is healthy again at a run with
// no unanswered probe and the RTT within the limit.
//
// Ports: input 0 -> output 0 the traffic (agnostic); output 1 (push) the
// ARP requests for the gateways.
//
// Handlers (read): active (the active gateway), link_a, link_b
// ("true"/"false"), total_events (switches since start), primary_mac,
// secondary_mac, active_mac (dash form, "unknown" when not known),
// redirected (packets steered to another gateway than they were headed
// for), drops (path probes dropped while their gateway's MAC is unknown).
#pragma once

#include <host/element.hh>
#include <host/etheraddress.hh>
#include <host/handlercall.hh>
#include <host/ipaddress.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <string>

class WPeerInfo;

namespace pathredirect {

// The MAC listed for `gw` in an ARP table listing: the word two positions
// after a word equal to the address in dotted form, when it is 17
// characters of hex pairs and neither all-ones nor all-zero. 0 when there
// is none (as a 48-bit number, first byte highest).
uint64_t listed_mac(const std::string& listing, IPAddress gw);

}  // namespace pathredirect

class PathRedirect : public Element {
  public:
    PathRedirect();

    const char* class_name() const override { return "PathRedirect"; }
    const char* port_count() const override { return "1/2"; }
    const char* processing() const override { return PROCESSING_A_AH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;
    void run_timer(Timer* t) override;

    // One run of the timer, without re-arming it: refresh, learning,
    // grading, decisions and the flap guard. Returns the seconds until the
    // next run (5, or 300 when the checks pause). Runs on the timer's thread;
    // tests call it directly on a router that is not running.
    uint32_t run_once();

    static constexpr uint32_t FIRST_RUN_SECS = 20;
    static constexpr uint32_t RUN_SECS = 5;
    static constexpr uint32_t PAUSE_SECS = 300;
    static constexpr uint32_t RUNS_PER_WINDOW = 60;

  private:
    // Grading state of one path.
    struct Path {
        WPeerInfo* wrtt = nullptr;
        uint16_t max_rtt = 5000;
        uint16_t rtt_exceeded = 0;
        uint16_t loss_baseline = 0;
        uint16_t loss = 0;
        uint16_t rtt = 0;
        std::atomic<bool> healthy{true};
    };

    Packet* route(Packet* p, uint8_t link);
    Packet* bridge(Packet* p, uint8_t link);
    void grade(Path& path);
    void learn(bool sixth);
    void refresh();
    void decide();
    // Fails over (to_secondary) or back from the path graded in `bad`.
    void leave(const Path& bad, bool to_secondary);
    void switch_to_secondary();
    void switch_to_primary();
    void activate(IPAddress gw, uint64_t mac);
    void reset_counters();
    // lan_arpr answers for PRIMARY_GW with `mac`.
    void proxy_primary_as(uint64_t mac);
    // PRIMARY_GW resolves to the secondary gateway's MAC, in arptable and
    // on the LAN (the primary gateway was never found).
    void stand_in_for_primary(uint64_t secondary);
    void send_arp_query(uint64_t mac, IPAddress ip);
    void write_handler(const HandlerCall& h, const std::string& value);

    IPAddress _primary_gw, _secondary_gw, _my_ip;
    EtherAddress _my_eth;
    bool _bridge = false;
    bool _fail_over = false;
    bool _preempt = true;
    uint16_t _timeout = 6;
    uint16_t _max_events = 10;
    uint16_t _vlan_id = 0;

    HandlerCall _h_table, _h_insert, _h_add, _h_remove;

    // Read on the packet path, written by the timer. MACs are 48-bit
    // numbers, 0 while unknown.
    std::atomic<uint32_t> _active_gw{0};
    std::atomic<uint64_t> _primary_mac{0}, _secondary_mac{0}, _active_mac{0};
    std::atomic<uint64_t> _redirected{0}, _drops{0};
    std::atomic<uint32_t> _total_events{0};

    // Timer state.
    Path _a, _b;
    uint32_t _startup_secs = 0;    // seconds of start-up done, up to FIRST_RUN_SECS
    bool _switched = false;        // the active MAC follows learning once set
    bool _proxy_secondary = false;  // lan_arpr answers PRIMARY_GW with the secondary MAC
    uint64_t _proxy_mac = 0;        // the MAC written to arptable for PRIMARY_GW in that case
    uint16_t _preempt_count = 0;
    uint16_t _events_in_window = 0;
    uint16_t _runs_in_window = 0;
    uint8_t _refresh_tick = 0;
    uint8_t _learn_tick = 0;
    Timer _timer;
};
