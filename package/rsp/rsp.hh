// RSP: the reliable, sequenced tunnel to one peer.
//
// Input 0 takes packets for the peer from the compression element; packets of
// the compressor's stream get an 8-byte RSP header and a sequence number, are
// kept until acknowledged and retransmitted when needed; the rest pass on
// output 0 unchanged. Input 1 takes packets from the peer: RSP packets are
// verified, acknowledged, reordered and delivered in sequence on output 1
// (header removed); everything else passes on output 1 unchanged. Control
// packets that RSP builds (SYN, SYN-ACK, RST, empty ACK/EACK) leave on output 2.
//
// Locks: the element lock guards all connection state; the compression
// element's lock is taken inside it (through WCompBase); the receive push lock
// is taken last and only around the receive push queue. Nothing is pushed
// downstream while the element lock is held: packets for the peer are
// collected and sent when the outermost holder releases the lock, and
// in-order data is pushed by the receive push timer with no lock held.
//
// With CONGESTION_CONTROL true (default false) the packets for the peer are
// paced and held to a congestion window that follows the queueing delay of
// the path (rsp_pacer.hh); CONGESTION_TARGET_MS (5) is the queue it aims at.
// Handler congestion_state (read) shows the window.
#pragma once

#include <host/element.hh>
#include <host/ipaddress.hh>
#include <host/spinlock.hh>
#include <host/timer.hh>

#include <cstdint>
#include <string>
#include <vector>

#include "common/shim.hh"
#include "common/wbase.hh"
#include "rsp/rsp_pacer.hh"
#include "rsp/rsp_queues.hh"
#include "rsp/rsp_recovery.hh"
#include "rsp/rsp_rtt.hh"
#include "rsp/rsp_wire.hh"
#include "sessions/peernotifiers.hh"

class WCompBase;
class WPeerInfo;

class RSP : public WBase, public PeerDiscoveryListener, public PeerBootNotifier {
  public:
    enum State { CLOSED = 0, LISTEN = 1, SYN_SENT = 2, SYN_RCVD = 3, OPEN = 4 };
    enum Mode { MODE_CLIENT = 0, MODE_SERVER = 1 };

    RSP();
    ~RSP() override;

    const char* class_name() const override { return "RSP"; }
    const char* port_count() const override { return "2/3"; }
    const char* processing() const override { return PUSH; }
    int configure_phase() const override { return CONFIGURE_PHASE_LAST; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    // Hot reconfiguration: takes the old element's connection (state,
    // sequence numbers, both queues, estimates, counters and pending timers)
    // when the tunnel is configured alike (local address, acceptance limit,
    // shim); otherwise the new element opens a connection of its own.
    void take_state(Element* old, ErrorHandler* errh) override;
    void push(int port, Packet* p) override;

    void peer_discovered_notify(const IPAddress& peer) override;

    // For the decompression elements and the queue managers. The element lock
    // is recursive; hold it around state(), set_mode(), send_reset(),
    // initialize_rsp() and the two report records.
    Spinlock& lock() { return _lock; }
    void lock_acquire() { _lock.acquire(); }
    // Releases the element lock; the outermost release sends what was built
    // for the peer meanwhile.
    void lock_release();
    State state() const { return _state; }
    Mode mode() const { return _mode; }
    void set_mode(Mode m) { _mode = m; }
    void set_server_mode() { _mode = MODE_SERVER; }
    void send_reset(uint16_t seq, uint16_t ack);
    void initialize_rsp();
    // A stream packet could not be decoded: if a connection is being made or
    // is open, reset it and listen as server. Takes the lock itself.
    void stream_failed();
    // The RTT figures as a packet entering RSP meets them: with congestion
    // control, what the pacer holds adds its wait.
    rtt_info_t rtt_info() const;
    rsp_congestion_info congestion_info() const { return _congestion.info(); }

    IPAddress peer_ip() const { return _peer; }
    // The compression element this RSP drives (WCOMP).
    WCompBase* compressor() const { return _comp; }
    uint16_t snd_nxt() const { return _snd_nxt; }
    uint16_t snd_una() const { return _snd_una; }
    uint16_t snd_max() const { return _snd_max; }
    uint16_t rcv_cur() const { return _rx.cur(); }
    size_t tx_queue_size() const { return _tx.size(); }
    size_t rx_queue_size() const { return _rx.size(); }
    // Packets the pacer holds for the window or pacing (hold the lock).
    size_t pacer_held() const { return _hold.size(); }

    // Print string of an RSP packet (network header at `p`'s network header
    // or data start).
    std::string packet_print_string(const Packet* p, const std::string& label) const;

    struct Counters {
        uint64_t tx_retransmit = 0;
        uint64_t tx_fast_retransmit = 0;
        uint64_t rx_old_retransmit = 0;
        uint64_t rx_out_of_order = 0;
        uint64_t tx_queue_full = 0;
        uint64_t tx_queue_full_recover = 0;
        uint64_t rx_duplicate = 0;
        uint64_t rx_malformed = 0;
        uint64_t rx_bad_checksum = 0;
        uint64_t tx_stream_dropped = 0;
    };
    const Counters& counters() const { return _c; }

  private:
    // Transmit side.
    void process_tx(Packet* p);
    void send_reliable(Packet* p, size_t shim_off);
    void enqueue_tx(Packet* p, uint16_t seq);
    void flush_tx_queue(const uint8_t* ip, const rsp::View& v, const Timestamp& ts);
    void process_fast_retransmit();
    bool mark_retransmit(rsp::TxQueue<Packet*>::Node& n);
    void clear_tx_queue();
    void reset_after_max_retransmits(const Packet* p);
    uint32_t retransmit_delay(bool with_floor) const;
    bool compressor_streaming() const;

    // Receive side.
    void process_rx(Packet* p);
    void process_rx_open(Packet* p, const uint8_t* ip, const rsp::View& v);
    void take_syn(const rsp::View& v);
    void open_connection(const uint8_t* ip, const rsp::View& v, const Timestamp& ts);
    void enqueue_rx(Packet* p, const rsp::View& v);
    void flush_rx_queue();
    void clear_rx_queue();
    void send_empty_ack();
    void send_syn(bool ack);
    void send_reset_to_unknown_peer(IPAddress dst, uint16_t seq, uint16_t ack);
    void reinit_as(State logged_state);
    bool acceptable(uint16_t seq) const;

    // Packets built here.
    Packet* make_control(const rsp::ControlSpec& s, IPAddress dst);
    void out(Packet* p);  // queue for the peer; sent at lock release
    void print_packet(const Packet* p, const char* label) const;
    void warn_limited(const char* fmt, ...);

    // Timers.
    static void syn_timer_hook(Timer*, void*);
    static void retransmit_timer_hook(Timer*, void*);
    static void retransmit_reset_timer_hook(Timer*, void*);
    static void reset_master_fallback_timer_hook(Timer*, void*);
    static void congestion_report_timer_hook(Timer*, void*);
    static void window_rtt_timer_hook(Timer*, void*);
    static void delayed_ack_timer_hook(Timer*, void*);
    static void rx_push_timer_hook(Timer*, void*);
    static void connection_poll_timer_hook(Timer*, void*);
    static void peer_reset_timer_hook(Timer*, void*);
    void run_retransmit_timer();
    void run_rx_push_timer();

    std::string state_string();
    std::string tx_queue_state_string();
    std::string congestion_state_string();
    static int write_debug(const std::string& s, Element* e, void*, ErrorHandler* errh);

    // Configuration.
    Mode _mode = MODE_CLIENT;
    IPAddress _local_ip;
    WCompBase* _comp = nullptr;
    WPeerInfo* _wrtt = nullptr;
    PeerDiscoveryNotifier* _notifier = nullptr;
    int _peer_output_port = 0;
    uint16_t _max_rx_count = 2000;
    uint16_t _tx_retransmit_burst = 2;
    uint32_t _max_retransmit_count = 5;
    uint32_t _max_retransmit_resets = 3;
    uint32_t _max_retransmit_resets_secs = 300;
    double _rtt_delta = 2.0;
    uint32_t _connection_poll_secs = 300;
    uint32_t _delayed_ack_ms = 0;
    uint32_t _congestion_report_period_ms = 50;
    int _congestion_report_history = 1;
    uint32_t _reset_master_fallback_min = 30;
    uint8_t _dup_ack_fast_retransmit = 0;
    uint32_t _min_retransmit_delay_ms = 0;
    uint32_t _window_rtt_timer_sec = 20;
    uint32_t _syn_delay_ms = 5000;
    bool _debug = false;
    ShimConfig _shim;
    unsigned _eack_limit = RSP_MAX_EACK_RANGES;

    // Connection.
    Spinlock _lock;
    State _state = CLOSED;
    bool _boot = true;
    bool _peer_boot = false;
    bool _initialized = false;
    IPAddress _peer;
    uint16_t _snd_iss = 1, _snd_nxt = 2, _snd_una = 1, _snd_max = 2000;
    uint16_t _rcv_max = 2000, _rcv_irs = 0, _highest_ack = 0;
    uint32_t _dup_ack_count = 0;
    uint32_t _retransmit_resets = 0;
    // Resets still to send to a peer learnt while listening (see
    // peer_reset_timer_hook).
    uint8_t _peer_resets = 0;
    bool _tx_full = false;
    uint16_t _ip_id = 0;

    rsp::TxQueue<Packet*> _tx;
    rsp::RxWindow<Packet*> _rx;
    rsp::RttEstimator _rtt;
    rsp::LossDetector _loss;
    rsp::CongestionReport _congestion;
    Counters _c;

    // Built under the lock, sent at release (intrusive list through next()).
    Packet* _out_head = nullptr;
    Packet* _out_tail = nullptr;

    // In-order packets waiting for the receive push timer.
    Spinlock _push_lock;
    Packet* _push_head = nullptr;
    Packet* _push_tail = nullptr;
    size_t _push_len = 0;

    uint32_t _last_warn_jiffies = 0;
    uint32_t _warns_suppressed = 0;

    Timer _syn_timer;
    Timer _retransmit_timer;
    Timer _retransmit_reset_timer;
    Timer _reset_master_fallback_timer;
    Timer _congestion_timer;
    Timer _window_rtt_timer;
    Timer _delayed_ack_timer;
    Timer _rx_push_timer;
    Timer _connection_poll_timer;
    Timer _peer_reset_timer;

    // Congestion response (rsp_pacer.cc): packets for the peer wait in _hold
    // until _window lets them go; they get their sequence numbers then.
    bool pacer_holds(Packet* p);  // process_tx: true when p waits
    bool pacer_may_send(uint32_t len, int64_t now) const;
    void run_pacer_timer();
    static void pacer_timer_hook(Timer*, void*);
    void pacer_window_changed();
    void pacer_restart();
    void pacer_retransmitted(const Packet* p);
    void pacer_rtt_sample(int32_t ms);
    bool _congestion_control = false;
    bool _pacer_releasing = false;
    rsp::Window _window;
    rsp::HoldQueue<Packet*> _hold;
    Timer _pacer_timer;
};
