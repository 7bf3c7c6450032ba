#include "rsp/rsp.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/router.hh>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/annotations.hh"
#include "common/partner.hh"
#include "common/predecessor.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/wcompbase.hh"
#include "peerinfo/wpeerinfo.hh"

using rsp::Parse;
using rsp::View;
using rsp::seq_diff;

namespace {

constexpr uint32_t RSP_HEADROOM = 28;
constexpr uint32_t RETRANSMIT_PERIOD_MS = 50;
constexpr size_t RX_PUSH_BATCH = 1000;
// Outstanding packets beyond which serial comparison of sequence numbers
// would no longer hold.
constexpr uint16_t TX_OUTSTANDING_HARD_LIMIT = 32000;
// Resets a listening end sends to a peer it has just learnt, a second apart
// (a lost one would otherwise leave the peer's stale connection to the
// connection poll).
constexpr uint8_t PEER_RESETS = 3;
constexpr uint32_t PEER_RESET_INTERVAL_MS = 1000;

// The IPv4 header of a packet: its network header when that lies within the
// data, else the data start.
inline const uint8_t* ip_of(const Packet* p) {
    const uint8_t* nh = p->network_header();
    if (nh && nh >= p->data() && nh <= p->end_data())
        return nh;
    return p->data();
}
inline uint8_t* ip_of(WritablePacket* p) { return const_cast<uint8_t*>(ip_of(static_cast<const Packet*>(p))); }
inline size_t avail(const Packet* p, const uint8_t* ip) { return size_t(p->end_data() - ip); }

inline bool own_packet(const Packet* p) { return p->anno_u8(anno::RSP_OWN_PACKET.offset) != 0; }

const char* state_name(int s) {
    static const char* names[] = {"CLOSED", "LISTEN", "SYN_SENT", "SYN_RCVD", "OPEN"};
    return s >= 0 && s <= 4 ? names[s] : "?";
}

}  // namespace

RSP::RSP()
    : _syn_timer(syn_timer_hook, this),
      _retransmit_timer(retransmit_timer_hook, this),
      _retransmit_reset_timer(retransmit_reset_timer_hook, this),
      _reset_master_fallback_timer(reset_master_fallback_timer_hook, this),
      _congestion_timer(congestion_report_timer_hook, this),
      _window_rtt_timer(window_rtt_timer_hook, this),
      _delayed_ack_timer(delayed_ack_timer_hook, this),
      _rx_push_timer(rx_push_timer_hook, this),
      _connection_poll_timer(connection_poll_timer_hook, this),
      _peer_reset_timer(peer_reset_timer_hook, this),
      _pacer_timer(pacer_timer_hook, this) {
    WLogger::info("%s RSP header len: %d", "RSP", int(RSP_HEADER_LEN));
}

RSP::~RSP() {
    auto kill = [](Packet* p) { p->kill(); };
    _tx.clear(kill);
    _rx.clear(kill);
    _hold.clear(kill);
    for (Packet* p = _push_head; p;) {
        Packet* n = p->next();
        p->set_next(nullptr);
        p->kill();
        p = n;
    }
    for (Packet* p = _out_head; p;) {
        Packet* n = p->next();
        p->set_next(nullptr);
        p->kill();
        p = n;
    }
}

void* RSP::cast(const char* name) {
    if (strcmp(name, "PeerBootNotifier") == 0)
        return static_cast<PeerBootNotifier*>(this);
    if (strcmp(name, "RSP") == 0)
        return this;
    return Element::cast(name);
}

// ---------------------------------------------------------------------------
// Configuration and life cycle

int RSP::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string mode, wrtt_name, wcomp_name, notifier_name;
    IPAddress local_ip;
    int peer_port = 0;
    uint32_t max_rx_count = 2000;
    uint16_t burst = 2;
    uint32_t max_rtx = 5, max_resets = 3, max_resets_secs = 300;
    double delta = 2.0;
    uint32_t poll = 300, delayed_ack = 0, report_period = 50, fallback_min = 30, min_rtx = 0, window_sec = 20;
    uint32_t syn_delay = 5000;
    int history = 1;
    uint8_t dup_ack = 0;
    bool debug = false;
    bool congestion_control = false;
    uint32_t congestion_target = 5;

    if (Args(conf, this, errh)
            .read_m("MODE", WordArg(), mode)
            .read_m("LOCAL_IP", local_ip)
            .read_m("WRTT", WordArg(), wrtt_name)
            .read_m("WCOMP", WordArg(), wcomp_name)
            .read_m("NOTIFIER", WordArg(), notifier_name)
            .read_m("PEER_OUTPUT_PORT", peer_port)
            .read("MAX_RX_COUNT", max_rx_count)
            .read("TX_RETRANSMIT_BURST", burst)
            .read("MAX_RETRANSMIT_COUNT", max_rtx)
            .read("MAX_RETRANSMIT_RESETS", max_resets)
            .read("MAX_RETRANSMIT_RESETS_SECS", max_resets_secs)
            .read("RTT_DELTA", delta)
            .read("CONNECTION_POLL_SECS", poll)
            .read("DELAYED_ACK_MS", delayed_ack)
            .read("CONGESTION_REPORT_PERIOD_MS", report_period)
            .read("CONGESTION_REPORT_HISTORY", history)
            .read("RESET_MASTER_FALLBACK_MIN", fallback_min)
            .read("DUPLICATE_ACK_FAST_RETRANSMIT", dup_ack)
            .read("MIN_RETRANSMIT_DELAY_MS", min_rtx)
            .read("WINDOW_RTT_TIMER_SEC", window_sec)
            .read("SYN_DELAY_MS", syn_delay)
            .read("DEBUG", debug)
            .read("CONGESTION_CONTROL", congestion_control)
            .read("CONGESTION_TARGET_MS", congestion_target)
            .complete() < 0)
        return -EINVAL;

    // Sequence numbers are 16-bit and compared by the sign of their
    // difference: the receiver accepts 2 x MAX_RX_COUNT ahead, which must stay
    // below half the sequence space.
    if (max_rx_count < 1 || max_rx_count > RSP_MAX_RX_COUNT_LIMIT)
        return errh->error("MAX_RX_COUNT must be between 1 and %d", int(RSP_MAX_RX_COUNT_LIMIT));
    if (history < 1)
        return errh->error("CONGESTION_REPORT_HISTORY must be at least 1");
    if (report_period == 0)
        return errh->error("CONGESTION_REPORT_PERIOD_MS must not be 0");
    if (poll == 0)
        return errh->error("CONNECTION_POLL_SECS must not be 0");
    if (window_sec == 0)
        return errh->error("WINDOW_RTT_TIMER_SEC must not be 0");
    if (congestion_target < 1 || congestion_target > 10000)
        return errh->error("CONGESTION_TARGET_MS must be between 1 and 10000");

    WPeerInfo* peerinfo = find_partner<WPeerInfo>(this, wrtt_name, "WPeerInfo", "WRTT", errh);
    if (!peerinfo)
        return -1;
    Element* wcomp = router()->find(wcomp_name, this);
    if (!wcomp)
        return errh->error("%<%s%> does not name an element", wcomp_name.c_str());
    WCompBase* comp = static_cast<WCompBase*>(wcomp->cast("WCompBase"));
    if (!comp)
        comp = dynamic_cast<WCompBase*>(wcomp);
    if (!comp)
        return errh->error("%<%s%> is not a WCompBase element", wcomp_name.c_str());
    PeerDiscoveryNotifier* notifier = find_peer_notifier(this, notifier_name, errh);
    if (!notifier)
        return -EINVAL;

    std::string lower = mode;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
    Mode m;
    if (lower == "client")
        m = MODE_CLIENT;
    else if (lower == "server")
        m = MODE_SERVER;
    else
        return errh->error("Bad MODE. Options are client or server");

    if (WBase::configure(conf, errh) < 0)
        return -EINVAL;

    _mode = m;
    _local_ip = local_ip;
    _wrtt = peerinfo;
    _comp = comp;
    _notifier = notifier;
    _peer_output_port = peer_port;
    _max_rx_count = uint16_t(max_rx_count);
    _tx_retransmit_burst = burst;
    _max_retransmit_count = max_rtx;
    _max_retransmit_resets = max_resets;
    _max_retransmit_resets_secs = max_resets_secs;
    _rtt_delta = delta;
    _connection_poll_secs = poll;
    _delayed_ack_ms = delayed_ack;
    _congestion_report_period_ms = report_period;
    _congestion_report_history = history;
    _reset_master_fallback_min = fallback_min;
    _dup_ack_fast_retransmit = dup_ack;
    _min_retransmit_delay_ms = min_rtx;
    _window_rtt_timer_sec = window_sec;
    _syn_delay_ms = syn_delay;
    _debug = debug;
    _congestion_control = congestion_control;
    rsp::Window::Params wp;
    wp.target_ms = congestion_target;
    _window.set_params(wp);
    _shim = _wconf->shim_config();
    int mss = _wconf->mss();
    _eack_limit = mss < 503 ? unsigned(std::max(mss, 0)) / 4 : RSP_MAX_EACK_RANGES;
    if (_eack_limit < 1)
        _eack_limit = 1;
    _rcv_max = _snd_max = _max_rx_count;
    _rx.resize(_rcv_max);
    _congestion.set_history(history);

    notifier->add_listener(this, peer_port);
    // A router that replaces a running one does not announce a restart.
    if (router()->hotswap_router())
        _boot = false;
    return 0;
}

int RSP::initialize(ErrorHandler*) {
    _syn_timer.initialize(this);
    _retransmit_timer.initialize(this);
    _retransmit_reset_timer.initialize(this);
    _reset_master_fallback_timer.initialize(this);
    _congestion_timer.initialize(this);
    _window_rtt_timer.initialize(this);
    _delayed_ack_timer.initialize(this);
    _rx_push_timer.initialize(this);
    _connection_poll_timer.initialize(this);
    _peer_reset_timer.initialize(this);
    _pacer_timer.initialize(this);

    _congestion_timer.schedule_after_msec(_congestion_report_period_ms);
    _retransmit_timer.schedule_now();
    _connection_poll_timer.schedule_after_sec(_connection_poll_secs);
    _window_rtt_timer.schedule_after_sec(_window_rtt_timer_sec);

    lock_acquire();
    _initialized = true;
    initialize_rsp();
    // A peer learnt before now: timers run once the router does, with its
    // devices open.
    if (_peer_resets)
        _peer_reset_timer.schedule_now();
    lock_release();
    return 0;
}

void RSP::cleanup(CleanupStage stage) {
    lock_acquire();
    if (stage >= CLEANUP_INITIALIZED && _comp)
        _comp->hard_set_force_stateless();
    _syn_timer.unschedule();
    _retransmit_reset_timer.unschedule();
    _connection_poll_timer.unschedule();
    _peer_reset_timer.unschedule();
    _retransmit_timer.unschedule();
    _delayed_ack_timer.unschedule();
    _rx_push_timer.unschedule();
    _congestion_timer.unschedule();
    _reset_master_fallback_timer.unschedule();
    _window_rtt_timer.unschedule();
    _pacer_timer.unschedule();
    clear_tx_queue();
    clear_rx_queue();
    _hold.clear([](Packet* p) { p->kill(); });
    Packet* out = _out_head;
    _out_head = _out_tail = nullptr;
    _lock.release();
    while (out) {
        Packet* n = out->next();
        out->set_next(nullptr);
        out->kill();
        out = n;
    }
}

void RSP::take_state(Element* old_e, ErrorHandler* errh) {
    RSP* old = predecessor_as(this, old_e, "RSP", errh);
    if (!old)
        return;
    const ShimConfig &a = _shim, &b = old->_shim;
    bool same_shim = a.udp_shim == b.udp_shim && (a.udp_shim ? a.sport_net == b.sport_net && a.dport_net == b.dport_net
                                                              : a.ipproto == b.ipproto);
    if (old->_local_ip != _local_ip || old->_max_rx_count != _max_rx_count || !same_shim) {
        WLogger::info("%s tunnel configuration changed, not taking the old connection", name().c_str());
        return;
    }
    lock_acquire();
    old->lock_acquire();
    // What this element built for itself in initialize goes; the old
    // connection and everything queued for it comes over.
    clear_tx_queue();
    clear_rx_queue();
    std::swap(_state, old->_state);
    std::swap(_mode, old->_mode);
    std::swap(_peer_boot, old->_peer_boot);
    std::swap(_peer, old->_peer);
    std::swap(_snd_iss, old->_snd_iss);
    std::swap(_snd_nxt, old->_snd_nxt);
    std::swap(_snd_una, old->_snd_una);
    std::swap(_snd_max, old->_snd_max);
    std::swap(_rcv_max, old->_rcv_max);
    std::swap(_rcv_irs, old->_rcv_irs);
    std::swap(_highest_ack, old->_highest_ack);
    std::swap(_dup_ack_count, old->_dup_ack_count);
    std::swap(_retransmit_resets, old->_retransmit_resets);
    std::swap(_peer_resets, old->_peer_resets);
    std::swap(_tx_full, old->_tx_full);
    std::swap(_ip_id, old->_ip_id);
    _tx.swap(old->_tx);
    _rx.swap(old->_rx);
    _hold.swap(old->_hold);
    std::swap(_window, old->_window);
    std::swap(_rtt, old->_rtt);
    if (_congestion_report_history == old->_congestion_report_history)
        std::swap(_congestion, old->_congestion);
    std::swap(_c, old->_c);
    _push_lock.acquire();
    old->_push_lock.acquire();
    std::swap(_push_head, old->_push_head);
    std::swap(_push_tail, old->_push_tail);
    std::swap(_push_len, old->_push_len);
    old->_push_lock.release();
    _push_lock.release();

    // Pending one-shot timers fire when they would have; the periodic ones
    // run on this element's own schedule.
    auto follow = [](Timer& mine, const Timer& theirs) {
        mine.unschedule();
        if (theirs.scheduled())
            mine.schedule_at_steady(theirs.expiry_steady());
    };
    follow(_syn_timer, old->_syn_timer);
    follow(_delayed_ack_timer, old->_delayed_ack_timer);
    follow(_retransmit_reset_timer, old->_retransmit_reset_timer);
    follow(_reset_master_fallback_timer, old->_reset_master_fallback_timer);
    follow(_peer_reset_timer, old->_peer_reset_timer);
    if (_push_head)
        _rx_push_timer.schedule_now();
    pacer_window_changed();
    // The compressor of this configuration may be a fresh one, forced
    // stateless when this element started; an open connection with nothing
    // outstanding lets it stream again (its first streaming packet starts a
    // new stream unless it took over the old one).
    if (_state == OPEN && _tx.empty() && _comp) {
        _comp->_lock.acquire();
        bool forced = _comp->_force_stateless;
        _comp->_lock.release();
        if (forced)
            _comp->unforce_stateless();
        _tx_full = false;
    }
    WLogger::debug("%s state taken successfully. State: %s, TX queue: %zu, RX queue: %zu", name().c_str(),
                   state_name(_state), _tx.size(), _rx.size());
    // The old element's lock only: it has nothing for the peer (its holder
    // sent that at release) and its router no longer runs.
    old->_lock.release();
    lock_release();
}

void RSP::lock_release() {
    Packet* out = nullptr;
    if (_lock.depth() == 1) {
        out = _out_head;
        _out_head = _out_tail = nullptr;
    }
    _lock.release();
    while (out) {
        Packet* n = out->next();
        out->set_next(nullptr);
        checked_output_push(own_packet(out) ? 2 : 0, out);
        out = n;
    }
}

void RSP::out(Packet* p) {
    p->set_next(nullptr);
    if (_out_tail)
        _out_tail->set_next(p);
    else
        _out_head = p;
    _out_tail = p;
}

void RSP::warn_limited(const char* fmt, ...) {
    // Malformed traffic can arrive at line rate: one warning per second.
    uint32_t now = click_jiffies();
    if (_last_warn_jiffies && uint32_t(now - _last_warn_jiffies) < 1000) {
        ++_warns_suppressed;
        return;
    }
    _last_warn_jiffies = now ? now : 1;
    char buf[512];
    va_list val;
    va_start(val, fmt);
    vsnprintf(buf, sizeof buf, fmt, val);
    va_end(val);
    if (_warns_suppressed)
        WLogger::warn("%s (%u similar warnings suppressed)", buf, _warns_suppressed);
    else
        WLogger::warn("%s", buf);
    _warns_suppressed = 0;
}

// ---------------------------------------------------------------------------
// Connection state

void RSP::initialize_rsp() {
    if (_comp)
        _comp->hard_set_force_stateless();
    clear_tx_queue();
    clear_rx_queue();
    _snd_iss = 1;
    _snd_nxt = 2;
    _snd_una = 1;
    _snd_max = _rcv_max = _max_rx_count;
    _rcv_irs = 0;
    _dup_ack_count = 0;
    _highest_ack = 0;
    _tx_full = false;
    _syn_timer.unschedule();
    if (_mode == MODE_SERVER) {
        _state = LISTEN;
        WLogger::debug("%s state set to LISTEN", name().c_str());
    } else {
        _state = CLOSED;
        WLogger::debug("%s state set to CLOSED", name().c_str());
        if (_peer && _initialized)
            _syn_timer.schedule_after_msec(_syn_delay_ms);
    }
}

void RSP::reinit_as(State logged_state) {
    _state = logged_state;
    WLogger::debug("%s state set to %s", name().c_str(), state_name(logged_state));
    initialize_rsp();
}

void RSP::stream_failed() {
    lock_acquire();
    if (_state == SYN_SENT || _state == SYN_RCVD || _state == OPEN) {
        send_reset(0, 0);
        _mode = MODE_SERVER;
        initialize_rsp();
    }
    lock_release();
}

void RSP::peer_discovered_notify(const IPAddress& peer) {
    WLogger::debug("%s peer IP address notification. Peer: %s, Output Port: %d, New Peer: %d", name().c_str(),
                   peer.unparse().c_str(), _peer_output_port, _peer ? 0 : 1);
    lock_acquire();
    if (_peer && _peer != peer) {
        WLogger::warn("%s existing peer IP does not match the new peer IP. Existing Peer: %s, New Peer: %s",
                      name().c_str(), _peer.unparse().c_str(), peer.unparse().c_str());
        send_reset(0, 0);
        reinit_as(CLOSED);
    } else if (_peer == peer) {
        lock_release();
        return;
    }
    _peer = peer;
    if (_mode == MODE_CLIENT && _initialized)
        _syn_timer.schedule_after_msec(_syn_delay_ms);
    // A listening end that restarted may face a peer still OPEN from before,
    // which, idle, sends nothing this end would refuse: reset it, so that it
    // opens the tunnel anew now rather than at the connection poll.
    if (_mode == MODE_SERVER) {
        _peer_resets = PEER_RESETS;
        if (_initialized)
            _peer_reset_timer.schedule_now();
    }
    lock_release();
}

Packet* RSP::make_control(const rsp::ControlSpec& cs, IPAddress dst) {
    size_t len = rsp::control_len(_shim, cs.syn_ext, cs.nranges);
    WritablePacket* p = Packet::make(RSP_HEADROOM, nullptr, uint32_t(len), 0);
    if (!p) {
        WLogger::error("%s Insufficient memory to allocate RSP packet", name().c_str());
        return nullptr;
    }
    rsp::ControlSpec s = cs;
    s.src_net = _local_ip.addr();
    s.dst_net = dst.addr();
    s.ip_id = __atomic_fetch_add(&_ip_id, 1, __ATOMIC_RELAXED);
    rsp::build_control(p->data(), len, _shim, s);
    p->set_network_header(p->data(), 20);
    set_dst_ip_anno(p, dst.addr());
    p->set_anno_u8(anno::RSP_OWN_PACKET.offset, 1);
    p->set_timestamp_anno(Timestamp::now());
    return p;
}

void RSP::send_reset(uint16_t seq, uint16_t ack) {
    rsp::ControlSpec s;
    s.flags = RSP_FLAG_RST | (ack ? RSP_FLAG_ACK : 0);
    s.seq = seq ? seq : _snd_nxt;
    s.ack = ack;
    Packet* p = make_control(s, _peer);
    if (!p)
        return;
    if (_debug)
        print_packet(p, "TX RST");
    ++_congestion.period_packets;
    out(p);
}

void RSP::send_reset_to_unknown_peer(IPAddress dst, uint16_t seq, uint16_t ack) {
    rsp::ControlSpec s;
    s.flags = RSP_FLAG_RST | RSP_FLAG_ACK;
    s.seq = seq;
    s.ack = ack;
    Packet* p = make_control(s, dst);
    if (!p)
        return;
    print_packet(p, "TX RST to UNKNOWN PEER");
    ++_congestion.period_packets;
    out(p);
}

void RSP::send_syn(bool ack) {
    rsp::ControlSpec s;
    s.flags = RSP_FLAG_SYN | (ack ? RSP_FLAG_ACK : 0) | (_boot ? RSP_FLAG_BOOT : 0);
    s.seq = _snd_iss;
    s.ack = ack ? _rx.cur() : 0;
    s.syn_ext = true;
    s.max_outstanding = _rcv_max;
    Packet* p = make_control(s, _peer);
    if (ack) {
        _state = SYN_RCVD;
        WLogger::debug("%s state set to SYN_RCVD", name().c_str());
    } else {
        _state = SYN_SENT;
        WLogger::debug("%s state set to SYN_SENT", name().c_str());
    }
    if (p)
        enqueue_tx(p, _snd_iss);
}

void RSP::send_empty_ack() {
    rsp_eack_range ranges[RSP_MAX_EACK_RANGES];
    unsigned n = _rx.empty() ? 0 : _rx.eack_ranges(ranges, _eack_limit);
    rsp::ControlSpec s;
    s.flags = RSP_FLAG_ACK | (n ? RSP_FLAG_EACK : 0);
    s.seq = _snd_nxt;
    s.ack = _rx.cur();
    s.ranges = ranges;
    s.nranges = n;
    Packet* p = make_control(s, _peer);
    if (!p)
        return;
    if (_debug)
        print_packet(p, "TX Empty ACK");
    ++_congestion.period_packets;
    out(p);
}

// ---------------------------------------------------------------------------
// Transmit path

bool RSP::compressor_streaming() const {
    _comp->_lock.acquire();
    bool s = _comp->_method == WCompBase::METHOD_STREAMING && !_comp->_force_stateless && !_comp->_master_fallback;
    _comp->_lock.release();
    return s;
}

uint32_t RSP::retransmit_delay(bool with_floor) const {
    return _rtt.retransmit_delay(_rtt_delta, _delayed_ack_ms, with_floor ? _min_retransmit_delay_ms : 0);
}

void RSP::push(int port, Packet* p) {
    if (port == 0)
        process_tx(p);
    else
        process_rx(p);
}

void RSP::process_tx(Packet* p) {
    const uint8_t* ip = ip_of(p);
    size_t len = avail(p, ip);
    int so = shim_offset(ip, len, _shim);
    lock_acquire();
    if (so < 0) {
        ++_congestion.period_packets;
        lock_release();
        output(0).push(p);
        return;
    }
    if (pacer_holds(p)) {
        lock_release();
        return;
    }
    uint8_t sflags = ip[so + 3];
    uint8_t sproto = ip[so + 2];
    bool stream_pkt = sflags & WSHIM_STREAM;
    bool streaming = compressor_streaming();

    bool reliable = false;
    if (_state == OPEN) {
        if (stream_pkt) {
            // Already part of the compressor's stream: the peer's decoder
            // needs it, whatever the compressor decided since.
            reliable = true;
        } else if (streaming) {
            size_t tcp = size_t(so) + WSHIM_LEN;
            bool tcp_control = sproto == 6 && tcp + 14 <= len && (ip[tcp + 13] & 0x07);
            reliable = !tcp_control && !(sflags & WSHIM_COMPRESSED_MASK);
        }
    } else if (stream_pkt) {
        // The stream this packet belongs to is gone with the connection; the
        // compressor restarts it with START_STREAM once the connection opens.
        if (streaming) {
            WLogger::error("%s connection not open", name().c_str());
            _comp->hard_set_force_stateless();
        } else {
            warn_limited("%s WComp not streaming, but received streaming packet.", name().c_str());
        }
        ++_c.tx_stream_dropped;
        lock_release();
        p->kill();
        return;
    } else if (streaming) {
        // A stateless packet stands alone: send it on rather than lose it.
        WLogger::error("%s connection not open", name().c_str());
        _comp->hard_set_force_stateless();
    }

    if (reliable) {
        uint16_t outstanding = uint16_t(_snd_nxt - _snd_una);
        if (outstanding >= TX_OUTSTANDING_HARD_LIMIT ||
            (!stream_pkt && outstanding >= 2 * uint32_t(_snd_max))) {
            if (stream_pkt) {
                // Cannot number it without breaking serial comparison: start over.
                WLogger::warn("%s TX queue overflow, resetting connection. %d %d %d", name().c_str(), _snd_nxt,
                              _snd_una, _snd_max);
                ++_c.tx_stream_dropped;
                send_reset(0, 0);
                reinit_as(_mode == MODE_SERVER ? LISTEN : CLOSED);
                lock_release();
                p->kill();
                return;
            }
            // Beyond what the peer accepts: let the stateless packet go as is.
            reliable = false;
        }
    }
    if (!reliable) {
        ++_congestion.period_packets;
        lock_release();
        output(0).push(p);
        return;
    }
    send_reliable(p, size_t(so));
    lock_release();
}

void RSP::send_reliable(Packet* p, size_t shim_off) {
    if (seq_diff(uint16_t(_snd_nxt - _snd_una), _snd_max) >= 0) {
        if (!_tx_full) {
            WLogger::warn("%s TX queue full, forcing stateless compression. %d %d %d", name().c_str(), _snd_nxt,
                          _snd_una, _snd_max);
            ++_c.tx_queue_full;
            _tx_full = true;
        }
        _comp->set_force_stateless();
    }
    size_t nh_off = size_t(ip_of(p) - p->data());
    size_t old_len = size_t(p->length()) - nh_off;
    WritablePacket* q = p->put(RSP_HEADER_LEN);
    if (!q) {
        WLogger::error("%s Insufficient memory to allocate RSP packet", name().c_str());
        _comp->hard_set_force_stateless();
        return;
    }
    uint8_t* ip = q->data() + nh_off;
    size_t n = rsp::insert_data_header(ip, old_len, shim_off, _snd_nxt, _rx.cur());
    if (!n) {  // cannot happen for a packet shim_offset accepted
        q->kill();
        return;
    }
    q->set_network_header(ip, size_t(ip[0] & 0x0F) * 4);
    uint16_t seq = _snd_nxt++;
    enqueue_tx(q, seq);
}

void RSP::enqueue_tx(Packet* p, uint16_t seq) {
    _tx.push_back(p, seq, click_jiffies());
    _window.on_queued(p->length());
    if (_debug)
        print_packet(p, "TX");
    ++_congestion.period_packets;
    if (Packet* c = p->clone())
        out(c);
}

bool RSP::mark_retransmit(rsp::TxQueue<Packet*>::Node& n) {
    Packet* p = n.pkt;
    WritablePacket* w;
    if (p->shared()) {
        // The first copy may still be on its way: retransmit from a private copy.
        size_t nh_off = size_t(ip_of(p) - p->data());
        w = Packet::make(p->headroom(), p->data(), p->length(), p->tailroom());
        if (!w) {
            WLogger::error("%s out of memory, unable to create packet.", name().c_str());
            return false;
        }
        w->copy_annotations(p);
        w->set_network_header(w->data() + nh_off, uint32_t(w->data()[nh_off] & 0x0F) * 4);
        p->kill();
        n.pkt = w;
    } else {
        w = static_cast<WritablePacket*>(p);
    }
    uint8_t* ip = ip_of(w);
    int so = shim_offset(ip, avail(w, ip), _shim);
    if (so >= 0) {
        ip[so + 1] |= WSHIM_RETRANSMIT;
        size_t ip_hlen = size_t(ip[0] & 0x0F) * 4;
        rsp::set_checksum(ip, ip_hlen, rsp::load16(ip + 2), size_t(so) + WSHIM_LEN);
    }
    return true;
}

void RSP::run_retransmit_timer() {
    Packet* head = nullptr;
    Packet* tail = nullptr;
    uint32_t sent = 0;
    lock_acquire();
    // Holes whose reordering window ran out since the last acknowledgement.
    if (_dup_ack_fast_retransmit && _state == OPEN && seq_diff(_highest_ack, _snd_una) >= 0)
        process_fast_retransmit();
    if (!_tx.empty() && _tx_retransmit_burst) {
        uint32_t now = click_jiffies();
        uint32_t r = retransmit_delay(true);
        for (size_t i = 0; i < _tx.slots() && sent < _tx_retransmit_burst; ++i) {
            auto& n = _tx.at(i);
            if (!n.live)
                continue;
            if (!rsp::retransmit_due(now, n.tx_jiffies, n.retransmit_count, r)) {
                if (n.retransmit_count == 0)
                    break;
                continue;
            }
            if (n.retransmit_count == 0 && !mark_retransmit(n))
                continue;
            ++n.retransmit_count;
            n.tx_jiffies = now;
            if (n.retransmit_count > _max_retransmit_count) {
                for (Packet* x = head; x;) {
                    Packet* nx = x->next();
                    x->set_next(nullptr);
                    x->kill();
                    x = nx;
                }
                head = tail = nullptr;
                sent = 0;
                reset_after_max_retransmits(n.pkt);
                break;
            }
            if (_debug) {
                char label[96];
                snprintf(label, sizeof label, "TX Retransmit (%d/%u/%u) (%zu)", _rtt.info().weighted_rtt, r,
                         unsigned(n.retransmit_count), _tx.size());
                print_packet(n.pkt, label);
            }
            if (Packet* c = n.pkt->clone()) {
                c->set_next(nullptr);
                if (tail)
                    tail->set_next(c);
                else
                    head = c;
                tail = c;
            }
            ++_c.tx_retransmit;
            ++sent;
            if (_congestion_control)
                pacer_retransmitted(n.pkt);
        }
    }
    _congestion.period_packets += sent;
    _congestion.period_retransmits += sent;
    lock_release();
    while (head) {
        Packet* n = head->next();
        head->set_next(nullptr);
        checked_output_push(own_packet(head) ? 2 : 0, head);
        head = n;
    }
    if (_tx_retransmit_burst && sent == _tx_retransmit_burst)
        _retransmit_timer.schedule_now();
    else
        _retransmit_timer.schedule_after_msec(RETRANSMIT_PERIOD_MS);
}

void RSP::reset_after_max_retransmits(const Packet* p) {
    const uint8_t* ip = ip_of(p);
    WLogger::warn("%s maximum retransmits reached, changing mode to server. %s -> %s", name().c_str(),
                  IPAddress(ip + 12).unparse().c_str(), IPAddress(ip + 16).unparse().c_str());
    State was = _state;
    send_reset(0, 0);
    _mode = MODE_SERVER;
    initialize_rsp();
    if (was != OPEN)
        return;
    if (_retransmit_resets == 0)
        _retransmit_reset_timer.schedule_after_sec(_max_retransmit_resets_secs);
    if (++_retransmit_resets > _max_retransmit_resets) {
        WLogger::warn("%s maximum retransmit resets reached, setting master fallback.", name().c_str());
        _comp->set_master_fallback();
        _retransmit_resets = 0;
        _retransmit_reset_timer.unschedule();
        _reset_master_fallback_timer.schedule_after_sec(_reset_master_fallback_min * 60);
    }
}

void RSP::process_fast_retransmit() {
    uint32_t now = click_jiffies();
    const rtt_info_t& ri = _rtt.info();
    int32_t min_rtt = ri.window_rtt_min ? ri.window_rtt_min
                      : ri.prev_window_rtt_min ? ri.prev_window_rtt_min
                                               : ri.weighted_rtt;
    uint32_t wnd = rsp::LossDetector::window(min_rtt);
    // The latest sample follows a growing queue sooner than the average.
    int32_t rtt = std::max(ri.weighted_rtt, ri.last_rtt);
    for (size_t i = 0; i < _tx.slots(); ++i) {
        auto& n = _tx.at(i);
        if (seq_diff(n.seq, _highest_ack) >= 0)
            break;
        // The retransmit timer resets the connection after too many.
        if (!n.live || n.retransmit_count >= _max_retransmit_count ||
            !_loss.lost(n.tx_jiffies, now, wnd, rtt, n.retransmit_count > 0))
            continue;
        if (n.retransmit_count == 0 && !mark_retransmit(n))
            continue;
        if (_debug) {
            print_packet(n.pkt, "Fast Retransmit");
            uint32_t r = retransmit_delay(false);
            WLogger::debug("%s Fast Retransmit in %u, would've retransmitted in %u. RTT: %u,  Diff: %u",
                           name().c_str(), now - n.tx_jiffies, r, unsigned(_rtt.info().weighted_rtt),
                           r + n.tx_jiffies - now);
        }
        ++n.retransmit_count;
        n.tx_jiffies = now;
        if (Packet* c = n.pkt->clone())
            out(c);
        ++_c.tx_fast_retransmit;
        if (_congestion_control)
            pacer_retransmitted(n.pkt);
        ++_congestion.period_packets;
        ++_congestion.period_retransmits;
    }
}

void RSP::flush_tx_queue(const uint8_t* ip, const View& v, const Timestamp& ts) {
    auto kill = [this](Packet* p) {
        _window.on_acked(p->length());
        p->kill();
    };
    uint32_t last_tx = 0, latest = 0;
    // The round trip comes from the latest packet this acknowledgement
    // newly covers, cumulatively or in an EACK range, among those sent only
    // once. Not from the last one the cumulative part covers: behind a hole
    // that is a retransmission (whose acknowledgement may answer the first
    // copy) or a packet that waited at the peer, unreported, until the hole
    // was filled; a round trip that random loss inflates reads as a queue.
    rsp::FreshAck fresh;
    if (_tx.ack_cumulative(v.ack, &last_tx, kill, &latest, &fresh))
        _loss.acked(latest);
    for (unsigned i = 0; i < v.eack_count; ++i) {
        rsp_eack_range r = v.eack(ip, i);
        if (seq_diff(r.last, _highest_ack) > 0)
            _highest_ack = r.last;
        if (_tx.ack_range(r.first, r.last, kill, &latest, &fresh))
            _loss.acked(latest);
    }
    if (fresh.have) {
        // The packet timestamp and click_jiffies read the same clock.
        int32_t sample = int32_t(uint32_t(ts.msecval()) - fresh.tx);
        if (ts.is_zero() || !_rtt.sample(sample))
            WLogger::debug("%s RTT sample ignored: %d", name().c_str(), sample);
        else
            pacer_rtt_sample(sample);
    }
    if (_tx.empty() && _state == OPEN) {
        _comp->_lock.acquire();
        bool forced = _comp->_force_stateless;
        _comp->_lock.release();
        if (forced) {
            WLogger::info("%s TX queue full recovered, clearing forcing stateless. %d %d %d", name().c_str(),
                          _snd_nxt, _snd_una, _snd_max);
            _comp->unforce_stateless();
            ++_c.tx_queue_full_recover;
            _tx_full = false;
        }
    }
    pacer_window_changed();
}

void RSP::clear_tx_queue() {
    _tx.clear([](Packet* p) { p->kill(); });
    pacer_restart();
}

// ---------------------------------------------------------------------------
// Receive path

bool RSP::acceptable(uint16_t seq) const {
    return seq_diff(seq, uint16_t(_rx.cur() + 2 * _rcv_max)) <= 0;
}

void RSP::take_syn(const View& v) {
    _rcv_irs = v.seq;
    _rx.set_cur(v.seq, [](Packet* p) { p->kill(); });
    _snd_max = std::clamp<uint16_t>(v.max_outstanding, 1, RSP_MAX_RX_COUNT_LIMIT);
    _highest_ack = v.ack;
    _peer_boot = v.has(RSP_FLAG_BOOT);
}

void RSP::open_connection(const uint8_t* ip, const View& v, const Timestamp& ts) {
    _state = OPEN;
    if (_peer_boot || _boot) {
        peer_boot_notify(_peer);
        _comp->reset_master_fallback();
    }
    _boot = _peer_boot = false;
    WLogger::debug("%s state set to OPEN", name().c_str());
    _comp->unforce_stateless();
    flush_tx_queue(ip, v, ts);
}

void RSP::process_rx(Packet* p) {
    const uint8_t* ip = ip_of(p);
    View v;
    Parse r = rsp::parse(ip, avail(p, ip), _shim, &v);
    if (r == Parse::not_rsp) {
        output(1).push(p);
        return;
    }
    lock_acquire();
    if (r == Parse::malformed) {
        ++_c.rx_malformed;
        warn_limited("%s malformed RSP packet dropped", name().c_str());
        lock_release();
        p->kill();
        return;
    }
    if (!rsp::checksum_ok(ip, v)) {
        ++_c.rx_bad_checksum;
        warn_limited("%s Invalid RSP checksum", name().c_str());
        lock_release();
        p->kill();
        return;
    }
    if (_debug)
        print_packet(p, "RX");
    IPAddress src(ip + 12), dst(ip + 16);
    if (!_peer) {
        send_reset_to_unknown_peer(src, uint16_t(v.ack + 1), v.seq);
        lock_release();
        p->kill();
        return;
    }
    if (v.has(RSP_FLAG_SYN | RSP_FLAG_RST) && (src != _peer || dst != _local_ip)) {
        WLogger::debug("%s invalid RSP packet received. Source: %s, Destination: %s", name().c_str(),
                       src.unparse().c_str(), dst.unparse().c_str());
        lock_release();
        p->kill();
        return;
    }
    if (v.shim_control & WSHIM_RETRANSMIT)
        p->set_anno_u8(anno::RSP_RX_RETRANSMIT.offset, 1);

    bool syn = v.has(RSP_FLAG_SYN), ack = v.has(RSP_FLAG_ACK), rst = v.has(RSP_FLAG_RST),
         eack = v.has(RSP_FLAG_EACK);
    const Timestamp ts = p->timestamp_anno();
    switch (_state) {
    case CLOSED:
        if (rst) {
        } else if (ack) {
            send_reset(uint16_t(v.ack + 1), 0);
        } else if (syn) {
            take_syn(v);
            _syn_timer.unschedule();
            clear_tx_queue();
            send_syn(true);
        } else {
            send_reset(0, v.seq);
        }
        break;
    case LISTEN:
        if (rst) {
        } else if (ack) {
            send_reset(uint16_t(v.ack + 1), 0);
        } else if (syn) {
            take_syn(v);
            send_syn(true);
        } else {
            WLogger::error("%s invalid receive packet flags", name().c_str());
        }
        break;
    case SYN_SENT:
        if (rst) {
            if (ack) {
                WLogger::warn("%s connection refused", name().c_str());
                reinit_as(CLOSED);
            }
        } else if (syn && ack) {
            take_syn(v);
            _snd_una = uint16_t(v.ack + 1);
            open_connection(ip, v, ts);
            send_empty_ack();
        } else if (syn) {
            take_syn(v);
            clear_tx_queue();
            send_syn(true);
        } else if (ack) {
            if (v.ack != _snd_iss) {
                send_reset(uint16_t(v.ack + 1), 0);
                initialize_rsp();
            }
        } else {
            WLogger::error("%s invalid packet received during SYN_SENT state", name().c_str());
        }
        break;
    case SYN_RCVD:
        if (!acceptable(v.seq)) {
            send_empty_ack();
        } else if (rst) {
            if (_mode == MODE_SERVER) {
                reinit_as(LISTEN);
            } else {
                WLogger::warn("%s connection refused", name().c_str());
                reinit_as(CLOSED);
            }
        } else if (syn && !ack) {
            if (v.seq == _rcv_irs) {
                WLogger::debug("%s received retransmitted SYN", name().c_str());
            } else {
                send_reset(uint16_t(v.ack + 1), 0);
                WLogger::info("%s connection reset", name().c_str());
                reinit_as(CLOSED);
            }
        } else if (eack) {
            send_reset(uint16_t(v.ack + 1), 0);
            initialize_rsp();
        } else if (ack) {
            if (v.ack == _snd_iss) {
                open_connection(ip, v, ts);
                // Data may ride on the acknowledgement that opens the connection.
                if (v.payload_len && !syn) {
                    process_rx_open(p, ip, v);
                    lock_release();
                    return;
                }
            } else {
                send_reset(uint16_t(v.ack + 1), 0);
                initialize_rsp();
            }
        }
        break;
    case OPEN:
        if (syn) {
            send_reset(uint16_t(v.ack + 1), 0);
            WLogger::info("%s connection reset", name().c_str());
            reinit_as(CLOSED);
        } else if (!acceptable(v.seq)) {
            WLogger::debug("%s not acceptable SEQ. seq: %d, rcv_cur: %d, rcv_max: %d, Source: %s, Destination: %s",
                           name().c_str(), v.seq, _rx.cur(), _rcv_max, src.unparse().c_str(),
                           dst.unparse().c_str());
            send_empty_ack();
        } else if (rst) {
            WLogger::info("%s connection reset", name().c_str());
            reinit_as(CLOSED);
        } else {
            process_rx_open(p, ip, v);
            lock_release();
            return;
        }
        break;
    }
    lock_release();
    p->kill();
}

// Acknowledgement and data of a packet in OPEN; consumes the packet.
void RSP::process_rx_open(Packet* p, const uint8_t* ip, const View& v) {
    if (v.has(RSP_FLAG_ACK)) {
        if (seq_diff(_highest_ack, v.ack) < 0)
            _highest_ack = v.ack;
        if (seq_diff(v.ack, _snd_una) >= 0 && seq_diff(v.ack, _snd_nxt) < 0) {
            _snd_una = uint16_t(v.ack + 1);
            _dup_ack_count = 0;
            flush_tx_queue(ip, v, p->timestamp_anno());
        } else {
            if (v.has(RSP_FLAG_EACK))
                flush_tx_queue(ip, v, p->timestamp_anno());
            if (v.payload_len == 0 && _dup_ack_fast_retransmit && v.ack == uint16_t(_snd_una - 1) &&
                _snd_una != _snd_nxt) {
                if (++_dup_ack_count >= _dup_ack_fast_retransmit) {
                    _dup_ack_count = 0;
                    process_fast_retransmit();
                }
            }
        }
        // The peer holds packets beyond a hole: resend what is lost at once.
        if (_dup_ack_fast_retransmit && seq_diff(_highest_ack, _snd_una) >= 0)
            process_fast_retransmit();
    }
    if (v.payload_len == 0) {
        p->kill();
        return;
    }
    uint16_t s = v.seq;
    uint16_t cur = _rx.cur();
    if (s == uint16_t(cur + 1)) {
        // Packets waiting behind this one: it fills a hole, and the sender
        // learns so at once rather than after the delayed acknowledgement.
        bool filled = !_rx.empty();
        enqueue_rx(p, v);
        flush_rx_queue();
        if (_delayed_ack_ms == 0 || filled) {
            if (_delayed_ack_ms)
                _delayed_ack_timer.unschedule();
            send_empty_ack();
        } else if (!_delayed_ack_timer.scheduled()) {
            _delayed_ack_timer.schedule_after_msec(_delayed_ack_ms);
        }
    } else if (seq_diff(s, cur) <= 0) {
        p->kill();
        ++_c.rx_old_retransmit;
        if (_delayed_ack_ms)
            _delayed_ack_timer.unschedule();
        send_empty_ack();
    } else {
        if (_debug) {
            char label[64];
            snprintf(label, sizeof label, "Out of sequence received (%d)", cur);
            print_packet(p, label);
        }
        enqueue_rx(p, v);
        ++_c.rx_out_of_order;
        if (_delayed_ack_ms)
            _delayed_ack_timer.unschedule();
        send_empty_ack();
    }
}

void RSP::enqueue_rx(Packet* p, const View& v) {
    if (_rx.holds(v.seq)) {
        ++_c.rx_duplicate;
        p->kill();
        return;
    }
    size_t nh_off = size_t(ip_of(p) - p->data());
    WritablePacket* w = p->uniqueify();
    if (!w) {
        WLogger::error("%s Insufficient memory to allocate RSP packet", name().c_str());
        return;
    }
    uint8_t* ip = w->data() + nh_off;
    size_t new_len = rsp::strip_header(ip, v);
    w->take(uint32_t(w->length() - nh_off - new_len));
    w->set_network_header(ip, uint32_t(v.ip_hlen));
    if (_rx.insert(w, v.seq) != rsp::RxWindow<Packet*>::Insert::inserted)
        w->kill();  // the acceptance test ran before; nothing else lands here
}

void RSP::flush_rx_queue() {
    bool any = false;
    _push_lock.acquire();
    while (Packet* p = _rx.pop_in_order()) {
        p->set_next(nullptr);
        if (_push_tail)
            _push_tail->set_next(p);
        else
            _push_head = p;
        _push_tail = p;
        ++_push_len;
        any = true;
    }
    _push_lock.release();
    if (any)
        _rx_push_timer.schedule_now();
}

void RSP::run_rx_push_timer() {
    // Take a batch under the push lock, push it with no lock held: the
    // decompressor downstream may take the element lock. The timer never runs
    // concurrently with itself, so order is kept.
    _push_lock.acquire();
    Packet* head = _push_head;
    Packet* last = nullptr;
    size_t n = 0;
    for (Packet* x = head; x && n < RX_PUSH_BATCH; x = x->next()) {
        last = x;
        ++n;
    }
    if (last) {
        _push_head = last->next();
        if (!_push_head)
            _push_tail = nullptr;
        last->set_next(nullptr);
        _push_len -= n;
    }
    bool more = _push_head != nullptr;
    _push_lock.release();
    if (more)
        _rx_push_timer.schedule_now();
    while (head) {
        Packet* nx = head->next();
        head->set_next(nullptr);
        output(1).push(head);
        head = nx;
    }
}

void RSP::clear_rx_queue() {
    _rx.clear([](Packet* p) { p->kill(); });
    _push_lock.acquire();
    Packet* x = _push_head;
    _push_head = _push_tail = nullptr;
    _push_len = 0;
    _push_lock.release();
    while (x) {
        Packet* n = x->next();
        x->set_next(nullptr);
        x->kill();
        x = n;
    }
}

// ---------------------------------------------------------------------------
// Timers

void RSP::syn_timer_hook(Timer*, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    if (r->_peer && r->_mode == MODE_CLIENT && (r->_state == CLOSED || r->_state == SYN_SENT) && r->_tx.empty())
        r->send_syn(false);
    r->lock_release();
}

void RSP::retransmit_timer_hook(Timer*, void* thunk) { static_cast<RSP*>(thunk)->run_retransmit_timer(); }

void RSP::retransmit_reset_timer_hook(Timer*, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    r->_retransmit_resets = 0;
    r->lock_release();
}

void RSP::reset_master_fallback_timer_hook(Timer*, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    r->_comp->reset_master_fallback();
    r->lock_release();
}

void RSP::congestion_report_timer_hook(Timer* t, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    r->_congestion.tick();
    r->lock_release();
    t->reschedule_after_msec(r->_congestion_report_period_ms);
}

void RSP::window_rtt_timer_hook(Timer* t, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    r->_rtt.window_tick();
    r->lock_release();
    t->reschedule_after_sec(r->_window_rtt_timer_sec);
}

void RSP::delayed_ack_timer_hook(Timer*, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    if (r->_state == OPEN)
        r->send_empty_ack();
    r->lock_release();
}

void RSP::rx_push_timer_hook(Timer*, void* thunk) { static_cast<RSP*>(thunk)->run_rx_push_timer(); }

void RSP::connection_poll_timer_hook(Timer* t, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    if (r->_state == LISTEN) {
        WLogger::debug("%s connection polling - setting mode to client", r->name().c_str());
        r->_mode = MODE_CLIENT;
        r->initialize_rsp();
    }
    r->lock_release();
    t->reschedule_after_sec(r->_connection_poll_secs);
}

// Only from LISTEN: this end has no connection, so an OPEN peer's is stale.
// The reset carries snd_nxt (2); a peer whose window does not take that
// answers with an ACK, and LISTEN answers that with a reset it accepts. A
// peer that is CLOSED or opening (SYN_SENT) ignores a reset without ACK, and
// one in SYN_RCVD cannot face a listening end, which sent no SYN.
void RSP::peer_reset_timer_hook(Timer* t, void* thunk) {
    RSP* r = static_cast<RSP*>(thunk);
    r->lock_acquire();
    if (r->_state != LISTEN || !r->_peer) {
        r->_peer_resets = 0;
    } else if (r->_peer_resets) {
        WLogger::debug("%s resetting the peer's connection from before", r->name().c_str());
        r->send_reset(0, 0);
        if (--r->_peer_resets)
            t->schedule_after_msec(PEER_RESET_INTERVAL_MS);
    }
    r->lock_release();
}

// ---------------------------------------------------------------------------
// Printing and handlers

std::string RSP::packet_print_string(const Packet* p, const std::string& label) const {
    const uint8_t* ip = ip_of(p);
    View v;
    char buf[160];
    snprintf(buf, sizeof buf, "%u %s - ", click_jiffies(), label.c_str());
    std::string s = buf;
    if (rsp::parse(ip, avail(p, ip), _shim, &v) != Parse::ok)
        return s + "<not RSP>";
    snprintf(buf, sizeof buf, "<SEQ=%u><ACK=%u><", v.seq, v.ack);
    s += buf;
    static const struct {
        uint8_t f;
        const char* n;
    } names[] = {{RSP_FLAG_SYN, "SYN"}, {RSP_FLAG_ACK, "ACK"}, {RSP_FLAG_EACK, "EACK"}, {RSP_FLAG_RST, "RST"},
                 {RSP_FLAG_BOOT, "BOOT"}};
    bool first = true;
    for (auto& n : names)
        if (v.has(n.f)) {
            if (!first)
                s += ",";
            s += n.n;
            first = false;
        }
    s += ">";
    if (v.has(RSP_FLAG_EACK)) {
        s += "<EA=";
        for (unsigned i = 0; i < v.eack_count; ++i) {
            rsp_eack_range r = v.eack(ip, i);
            snprintf(buf, sizeof buf, "%s%u-%u", i ? "," : "", r.first, r.last);
            s += buf;
        }
        s += ">";
    }
    if (v.payload_len) {
        snprintf(buf, sizeof buf, "<Data [%zu]>", v.payload_len);
        s += buf;
    }
    s += "<";
    if (v.shim_flags & WSHIM_STREAM)
        s += "STREAM, ";
    if (v.shim_flags & WSHIM_ZSTD)
        s += "ZSTD, ";
    if (v.shim_control & WSHIM_START_STREAM)
        s += "START_STREAM, ";
    if (v.shim_control & WSHIM_RETRANSMIT)
        s += "RETRANSMIT_PACKET";
    s += ">";
    return s;
}

void RSP::print_packet(const Packet* p, const char* label) const {
    WLogger::debug("%s - %s", name().c_str(), packet_print_string(p, label).c_str());
}

std::string RSP::state_string() {
    lock_acquire();
    char buf[512];
    snprintf(buf, sizeof buf,
             "snd_nxt: %u, snd_una: %u, rcv_cur: %u, tx_queue: %zu, rx_queue: %zu\n"
             "TX retransmit: %llu, TX fast retransmit: %llu, RX old retransmit: %llu, RX out of order: %llu, "
             "RX duplicates: %llu\n"
             "TX queue full: %llu, TX queue full recover count: %llu\n",
             _snd_nxt, _snd_una, _rx.cur(), _tx.size(), _rx.size(), (unsigned long long)_c.tx_retransmit,
             (unsigned long long)_c.tx_fast_retransmit, (unsigned long long)_c.rx_old_retransmit,
             (unsigned long long)_c.rx_out_of_order, (unsigned long long)_c.rx_duplicate,
             (unsigned long long)_c.tx_queue_full, (unsigned long long)_c.tx_queue_full_recover);
    lock_release();
    return buf;
}

std::string RSP::tx_queue_state_string() {
    lock_acquire();
    char buf[256];
    std::string delta = data_handler_unparse(_rtt_delta);
    snprintf(buf, sizeof buf,
             "now: %u, tx_queue size: %zu, retransmit timer scheduled: %s. weighted rtt: %d, delta: %s, "
             "retransmit_delay: %u\n",
             click_jiffies(), _tx.size(), _retransmit_timer.scheduled() ? "true" : "false",
             _rtt.info().weighted_rtt, delta.c_str(), retransmit_delay(false));
    std::string s = buf;
    for (size_t i = 0; i < _tx.slots(); ++i) {
        const auto& n = _tx.at(i);
        if (!n.live)
            continue;
        s += packet_print_string(n.pkt, "");
        snprintf(buf, sizeof buf, ". tx jiffies: %u, retransmit count: %u\n", n.tx_jiffies,
                 unsigned(n.retransmit_count));
        s += buf;
    }
    lock_release();
    return s;
}

int RSP::write_debug(const std::string& s, Element* e, void*, ErrorHandler* errh) {
    bool b;
    if (!parse_arg(BoolArg(), s, b))
        return errh->error("type mismatch");
    RSP* r = static_cast<RSP*>(e);
    r->lock_acquire();
    r->_debug = b;
    r->lock_release();
    return 0;
}

void RSP::add_handlers() {
    auto counter = [this](uint64_t Counters::*field) {
        return ReadHandlerFunction([this, field]() {
            lock_acquire();
            uint64_t v = _c.*field;
            lock_release();
            return std::to_string(v);
        });
    };
    add_read_handler("tx_retransmit_count", counter(&Counters::tx_retransmit));
    add_read_handler("tx_fast_retransmit_count", counter(&Counters::tx_fast_retransmit));
    add_read_handler("rx_old_retransmit_count", counter(&Counters::rx_old_retransmit));
    add_read_handler("rx_out_of_order_count", counter(&Counters::rx_out_of_order));
    add_read_handler("tx_queue_full_count", counter(&Counters::tx_queue_full));
    add_read_handler("tx_queue_full_recover_count", counter(&Counters::tx_queue_full_recover));
    add_read_handler("rx_duplicate_packets", counter(&Counters::rx_duplicate));
    add_read_handler("rx_malformed_count", counter(&Counters::rx_malformed));
    add_read_handler("rx_bad_checksum_count", counter(&Counters::rx_bad_checksum));
    add_read_handler("state", ReadHandlerFunction([this]() { return state_string(); }));
    add_read_handler("tx_queue_state", ReadHandlerFunction([this]() { return tx_queue_state_string(); }));
    add_read_handler("congestion_state", ReadHandlerFunction([this]() { return congestion_state_string(); }));
    add_read_handler("connection_state", ReadHandlerFunction([this]() {
                         lock_acquire();
                         std::string s = state_name(_state);
                         lock_release();
                         return s;
                     }));
    add_write_handler("debug", write_debug, 0);
}

QUILO_REGISTER_ELEMENT(RSP);
