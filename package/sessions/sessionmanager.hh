// SessionManager([GC_INTERVAL, TCP_TIMEOUT, TCP_DONE_TIMEOUT, UDP_TIMEOUT]):
// tracks every TCP and UDP conversation as a session with a 32-bit id.
//
// Ports "2-/2-", push. A packet entering input 0 travels WAN_OUT (local side
// to wide-area side), any other input WAN_IN; it leaves on the output of the
// same number, unchanged except for its SESSION_ID and SESSION_DIRECTION
// annotations (and a timestamp when it had none). Both directions of one
// conversation share one session; tunnel packets are tracked by the inner
// header behind the shim (and RSP header). Packets that cannot be tracked
// (no MAC or network header, not TCP/UDP, fragments, truncated) pass through
// with their annotations untouched.
//
// Keywords, unsigned seconds:
//   GC_INTERVAL       period of the garbage collector (1200; must be positive)
//   TCP_TIMEOUT       idle limit of open TCP sessions (86400)
//   TCP_DONE_TIMEOUT  idle limit of closed or reset TCP sessions (30)
//   UDP_TIMEOUT       idle limit of UDP sessions (60)
// Needs a WConf in the router.
//
// Read handlers: maps, tcp_map, udp_map (session counts); rst_count,
// fin_complete_count, timeout_count (sessions removed by reason);
// sessions_created, sessions_deleted.
// cast: "SessionNotifier", "SessionManager".
#pragma once

#include <host/element.hh>
#include <host/timer.hh>
#include <host/timestamp.hh>

#include <atomic>
#include <cstdint>

#include "common/annotations.hh"
#include "common/shim.hh"
#include "common/wbase.hh"
#include "sessions/flowmap.hh"
#include "sessions/sessionnotifier.hh"
#include "sessions/sessionpacket.hh"
#include "sessions/wreadwritelock.hh"

class SessionManager : public WBase, public SessionNotifier {
  public:
    SessionManager();
    ~SessionManager() override;

    const char* class_name() const override { return "SessionManager"; }
    const char* port_count() const override { return "2-/2-"; }
    const char* processing() const override { return PUSH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    void take_state(Element* old, ErrorHandler* errh) override;

    void push(int port, Packet* p) override;
    void run_timer(Timer* t) override;

    std::string unparse_session(IPFlowID& flow, unsigned char proto) override;

    // The session work of push, without a packet: finds or creates the session
    // of `sp` seen in `direction` at `ts` and returns its id. `mac` holds the
    // Ethernet destination then source address (12 bytes) or is null.
    uint32_t track(const SessionPacket& sp, int direction, const Timestamp& ts, const uint8_t* mac, uint16_t vlan);

    // Marks the existing session of `sp` as seen in `direction` at `ts`, as
    // push does, and returns its id; never creates one (0: no session). For
    // packets that reach the appliance inside another packet (stacked ones),
    // which carry no Ethernet header of their own to create a session from.
    uint32_t refresh(const SessionPacket& sp, int direction, const Timestamp& ts);

    // Copies the record of `flow` (TCP table for proto 6, else UDP) into *out.
    bool lookup_session(const IPFlowID& flow, unsigned char proto, WSessionInfo* out);

    // Orients a packet's addresses and ports wide-area side first.
    static IPFlowID session_key(const SessionPacket& sp, int direction) {
        if (direction == WAN_IN)
            return IPFlowID(IPAddress(sp.saddr), sp.sport, IPAddress(sp.daddr), sp.dport);
        return IPFlowID(IPAddress(sp.daddr), sp.dport, IPAddress(sp.saddr), sp.sport);
    }

    // One garbage-collection pass over both tables at wall-clock second `now_sec`.
    void collect_garbage(int64_t now_sec);

    size_t tcp_sessions() const;
    size_t udp_sessions() const;
    uint32_t next_session_id() const { return _next_id; }
    void set_next_session_id(uint32_t id);  // for tests of id wrap-around

    struct Stats {
        uint64_t created, deleted, rst, fin_complete, timeout;
    };
    Stats stats() const;

  private:
    struct Table {
        FlowMap map;
        unsigned char mask;
    };

    // track, inlined into push: the package is built position-independent, so
    // only inline functions are inlined across the exported class's members.
    __attribute__((always_inline)) inline uint32_t track_packet(const SessionPacket& sp, int direction, const Timestamp& ts, const uint8_t* mac,
                                 uint16_t vlan);
    // The shared-side part of track: the session's id after updating its
    // record, 0 when there is none.
    __attribute__((always_inline)) inline uint32_t find_and_update(const SessionPacket& sp, int direction,
                                                                   const Timestamp& ts);
    uint32_t allocate_id();
    // The rare part of track: a session not found under the shared side.
    __attribute__((noinline)) uint32_t create_session(Table& t, const IPFlowID& key, const SessionPacket& sp,
                                                      int direction, const Timestamp& ts, const uint8_t* mac,
                                                      uint16_t vlan);
    static WSessionInfo record_of(const FlowMap& map, FlowMap::Slot* rec);
    void reap(Table& t, uint32_t idle_limit, uint32_t done_limit, int64_t now_sec);
    static inline void update_record(FlowMap::Slot* rec, const SessionPacket& sp, int direction,
                                     const Timestamp& ts);
    static std::string read_handler(Element* e, void* thunk);

    Table _tcp;
    Table _udp;
    IdSet _ids;             // ids of live sessions in both tables
    uint32_t _next_id = 0;  // changed under the exclusive side only
    // Packets enter the shared side as fast readers (no atomic instruction).
    WReadWriteLock _lock{0, WReadWriteLock::FAST_READERS};
    // The session whose creation the listeners are being told about, not yet
    // visible in its table; set by the inserting thread (_announcer).
    struct Announce {
        Table* table = nullptr;
        FlowMap::Slot* slot = nullptr;
        uint32_t id = 0;
    } _announce;
    std::atomic<const void*> _announcer{nullptr};
    Timer _timer;
    ShimConfig _shim;
    std::atomic<bool> _warned_timestamp{false};

    uint32_t _gc_interval = 1200;
    uint32_t _tcp_timeout = 86400;
    uint32_t _tcp_done_timeout = 30;
    uint32_t _udp_timeout = 60;

    std::atomic<uint64_t> _created{0}, _deleted{0}, _rst{0}, _fin_complete{0}, _timeout{0};
};
