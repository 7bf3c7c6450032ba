// FlowTable(NOTIFIER sm [, PEERS_FILE_PATH path] [, UDP_MAX_LEN N]
//           [, UDP_ROUTE ADDR/MASK PEER_IP ...]):
// decides which peer appliance, if any, carries each packet.
//
// Keeps the peer table (peer address -> output port 1..MAX_PEERS, host name,
// MAC), loaded from the peers file and extended when probes discover new
// peers; one peer flow per TCP session (from SessionManager's events) that
// records whether a peer carries it; and static UDP routes. A session is
// carried by a peer once both appliances have probed it (state 3). From the
// wide-area side, a packet of a peer's reliable stream (shim flag STREAM)
// goes to that peer's tunnel even when no peer carries its session here
// (the session's peer, or the only peer): RSP and the decompressor need every
// packet of their stream.
//
// The tunnel's headers (shim, RSP header, compression framing, then parity
// and stacker packets around it) must still fit the WAN's MTU: the tunnel
// carries no IP packet longer than a full TCP segment, which MSSAdjust
// holds to WConf's MSS. A UDP datagram longer than UDP_MAX_LEN bytes (IP
// total length; default WConf's MSS + 40) is not routed to its peer: it
// crosses the WAN as it is, whole, and is counted in udp_too_long.
//
// No ports; configured last (phase 2000). Read handlers: peers ("addr port"
// per line), tcp_map ("tcp map size: N"), peer_count, ports_available,
// udp_too_long.
// cast: "FlowTable", "PeerDiscoveryNotifier".
//
// Locks: the peer-flow lock is always taken before the peers lock. The peers
// file is written, peers are announced and the session manager is asked for
// session texts only with neither lock held.
#pragma once

#include <host/element.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/wbase.hh"
#include "sessions/peernotifiers.hh"
#include "sessions/peersfile.hh"
#include "sessions/sessionnotifier.hh"
#include "sessions/wreadwritelock.hh"

struct PeerFlowInfo {
    enum StateFlag : uint8_t {
        LOCAL_PROBE = 1,  // this appliance put its probe on the session's SYN
        PEER_PROBE = 2,   // a peer's probe was seen on the session
        BOUND = 3,        // both: the session is carried by the peer
    };
    IPAddress peer;      // 0: none
    uint8_t port = 0;    // 0: none
    uint8_t state = 0;   // StateFlag bits
    bool add_peer = false;
    EtherAddress mac;
};

// What FlowLookup gets for a packet; port 0 means no peer carries it.
struct PeerLookup {
    IPAddress peer;
    uint8_t port = 0;
    uint8_t state = 0;
    bool add_peer = false;
    EtherAddress mac;
};

struct UdpRoute {
    IPAddress addr;  // already masked
    IPAddress mask;
    IPAddress peer;
};

class FlowTable;
// The first element of router `r`, in element order, that answers cast("FlowTable").
FlowTable* find_flow_table(Router* r);

class FlowTable : public WBase,
                  public PeerDiscoveryNotifier,
                  public SessionListener,
                  public PeerInfoListener,
                  public PeerBootListener {
  public:
    FlowTable();
    ~FlowTable() override;

    const char* class_name() const override { return "FlowTable"; }
    const char* port_count() const override { return PORTS_0_0; }
    int configure_phase() const override { return CONFIGURE_PHASE_LAST; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    void take_state(Element* old, ErrorHandler* errh) override;
    void run_timer(Timer* t) override;

    // Per-packet lookup; WAN_OUT uses the outbound rules, anything else the inbound ones.
    PeerLookup get_peer_output_port(Packet* p, SessionNotifier::PacketDirection dir);
    // A peer's probe was seen on the packet's session.
    void register_peer_flow(Packet* p, const IPAddress& peer, const EtherAddress& mac, bool add);
    // ORs `flag` into the packet's peer flow.
    void set_peer_flow_state_flag(Packet* p, PeerFlowInfo::StateFlag flag);
    // Detaches the packet's session from its peer.
    void reset_flow(Packet* p, unsigned int session_id, SessionNotifier::PacketDirection dir);
    bool output_ports_available() const { return _ports_available.load(std::memory_order_relaxed); }
    // Detaches every session of `peer`; returns how many.
    int clear_peer_flows(const IPAddress& peer);
    // Lowest free port 1..MAX_PEERS, marked taken; -1 if none.
    int get_next_available_output_port();
    // Port of `peer`, moving a known MAC to a new address or (with `add`)
    // adding a new peer; 0 when unknown, -1 when no port is free.
    int get_peer_output_port(const IPAddress& peer, const EtherAddress& mac, bool add);

    void session_notify(unsigned int session_id, unsigned char mask, SessionEvent event, const IPFlowID* flow,
                        const WSessionInfo* info) override;
    void peer_boot_notify(const IPAddress& peer) override;
    void peer_info_notify(whost_info& info) override;

    // Inspection (tests, handlers).
    std::vector<PeerInfo> peers() const;
    bool peer_flow(uint32_t session_id, PeerFlowInfo* out) const;
    size_t peer_flow_count() const;
    const std::vector<UdpRoute>& udp_routes() const { return _udp_routes; }
    std::vector<bool> port_bits() const;
    const std::string& peers_file_path() const { return _peers_file; }
    // Writes the peer table to the peers file now.
    void write_peers();

  private:
    // The peer a stream packet whose session no peer carries here came
    // from: `hint` when it is a peer, else the only peer; false if none.
    bool stream_peer(const IPAddress& hint, PeerLookup* r);
    // Work left for after the locks are released.
    struct Deferred {
        bool write = false;
        int announce_port = 0;
        IPAddress announce_peer;
    };

    int resolve_peer(const IPAddress& peer, const EtherAddress& mac, bool add, Deferred* d);
    void finish(const Deferred& d);
    void announce(int port, const IPAddress& peer);
    void update_ports_available();  // peers lock held exclusively
    int next_free_port();            // peers lock held exclusively
    bool log_allowed(int kind);
    static std::string read_handler(Element* e, void* thunk);

    std::map<IPAddress, PeerInfo> _peers;                   // peers lock
    std::unordered_map<uint32_t, PeerFlowInfo> _flows;      // peer-flow lock
    std::vector<UdpRoute> _udp_routes;                      // fixed after configure
    std::vector<bool> _port_bits;                           // peers lock
    int _max_peers = 0;
    int _max_flows = 0;
    size_t _udp_max_len = 1360;                             // fixed after configure
    std::atomic<uint64_t> _udp_too_long{0};
    std::atomic<bool> _ports_available{false};
    std::string _peers_file = "/tce/etc/quilo/peers";

    SessionNotifier* _session_notifier = nullptr;
    std::vector<PeerInfoNotifier*> _info_notifiers;
    std::vector<PeerBootNotifier*> _boot_notifiers;

    std::atomic<int> _max_peers_warnings{0};
    mutable WReadWriteLock _peers_lock;
    mutable WReadWriteLock _flows_lock;
    std::mutex _file_lock;  // one writer of the peers file at a time
    Timer _announce_timer;

    // Rate limit for warnings raised by packets: one line per kind per second.
    enum { LOG_KINDS = 8 };
    std::atomic<int64_t> _last_log[LOG_KINDS];
};
