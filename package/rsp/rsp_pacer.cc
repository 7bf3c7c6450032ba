#include "rsp/rsp_pacer.hh"

#include <host/timestamp.hh>

#include <algorithm>
#include <cstdio>

#include "rsp/rsp.hh"

namespace rsp {

namespace {

// The minimum RTT is kept over two windows of this length.
constexpr int64_t BASE_WINDOW_NS = 10 * 1000000000LL;
// Bookkeeping periods (whether packets waited, one loss response) last one
// minimum RTT, at least this long.
constexpr int64_t MIN_EPOCH_NS = 5 * 1000000LL;
// At most this much of the pacing rate goes at once: after an idle spell,
// or when the pacer timer runs late (the host's timers wake in whole
// milliseconds, later on a busy machine); the window still bounds it.
constexpr int64_t MAX_BURST_NS = 4000000LL;
// Pacing rate = gain x window / (minimum RTT + target).
constexpr double SLOW_START_GAIN = 2.0;
constexpr double GAIN = 1.25;
// Once per minimum-RTT window the sender paces below the window for one
// round trip, so that the bottleneck queue drains and the minimum RTT stays
// the path's own (a queue the window keeps standing would otherwise become
// the new minimum, window after window).
constexpr double DRAIN_GAIN = 0.75;
// The window moves by WINDOW_GAIN x (target - queue) / target x the bytes
// acknowledged x target / (minimum RTT + target): at most about half the
// target's share of the round trip per round trip, which keeps the loop
// stable whatever the round trip (the queue answers one round trip late).
constexpr double WINDOW_GAIN = 0.5;
// How far above the target the queue may pull the window down at once.
constexpr double MAX_OFF_TARGET = 4.0;
// A retransmission with at least this many targets of queue shrinks the
// window by LOSS_FACTOR, once per round trip. Two targets (10 ms by
// default) is what the routers' own processing shows at a few hundred
// Mbit/s on a busy host: with random loss, that cut the window every few
// round trips on a path the WAN did not limit.
constexpr int LOSS_QUEUE_TARGETS = 4;
constexpr double LOSS_FACTOR = 0.7;
constexpr int32_t NO_SAMPLE_RTT_MS = 50;
// The queue is the least of this many latest samples.
constexpr int QUEUE_SAMPLES = 4;
constexpr int LOW_EPOCHS_TO_SLOW_START = 32;

}  // namespace

void Window::restart(int64_t now_ns) {
    _cwnd = std::max<uint64_t>(_p.initial_cwnd, _p.min_cwnd);
    _in_flight = 0;
    _acked = 0;
    _slow_start = true;
    _next_send = 0;
    _epoch_start = now_ns;
    _epoch_limited = _limited = false;
    _max_in_flight = _epoch_max_in_flight = 0;
    _cut_this_epoch = false;
    _drain_until = 0;
    _next_drain = now_ns + BASE_WINDOW_NS;
    _recent_n = _recent_pos = 0;
    _low_epochs = 0;
    _queue_since = 0;
    set_rate(now_ns);
}

int32_t Window::recent_min(int n) const {
    int32_t m = 0;
    n = std::min(n, _recent_n);
    for (int i = 1; i <= n; ++i) {
        int32_t v = _recent[(_recent_pos - i + RECENT) % RECENT];
        if (!m || v < m)
            m = v;
    }
    return m;
}

void Window::set_rate(int64_t now_ns) {
    double gain = _slow_start ? SLOW_START_GAIN : now_ns < _drain_until ? DRAIN_GAIN : GAIN;
    // Before the first sample (RSP's handshake gives one) a round trip of
    // NO_SAMPLE_RTT_MS is assumed, so that the first window is not one burst.
    double rtt_ms = double(_base_ms ? _base_ms : NO_SAMPLE_RTT_MS) + _p.target_ms;
    _rate = gain * double(_cwnd) * 1000.0 / rtt_ms;
}

void Window::on_sent(uint32_t bytes, int64_t now_ns) {
    int64_t t = std::max(_next_send, now_ns - MAX_BURST_NS);
    _next_send = t + int64_t(double(bytes) * 1e9 / _rate);
}

void Window::on_rtt(int32_t ms, int64_t now_ns) {
    if (ms < 1)
        ms = 1;
    if (now_ns >= _base_rotate) {
        _base_prev = _base_cur;
        _base_cur = 0;
        _base_rotate = now_ns + BASE_WINDOW_NS;
    }
    if (!_base_cur || ms < _base_cur)
        _base_cur = ms;
    _base_ms = _base_prev && _base_prev < _base_cur ? _base_prev : _base_cur;
    _recent[_recent_pos] = ms;
    _recent_pos = (_recent_pos + 1) % RECENT;
    if (_recent_n < RECENT)
        ++_recent_n;
    if (now_ns - _epoch_start >= std::max<int64_t>(int64_t(_base_ms) * 1000000, MIN_EPOCH_NS))
        end_epoch(now_ns);

    // The queue now: the least of the latest samples (one sample may carry
    // the peer's acknowledgement delay or a scheduling hiccup).
    double target = _p.target_ms;
    double queue = double(recent_min(QUEUE_SAMPLES) - _base_ms);
    double acked = double(_acked), cwnd = double(_cwnd), next = cwnd;
    _acked = 0;
    bool limited = _limited || _epoch_limited;
    if (_slow_start) {
        // Leaving it early costs many round trips of slow growth: every one
        // of the latest RECENT samples must show the queue.
        // On a fast path RECENT samples come within a millisecond or two,
        // which one scheduling hiccup covers: the queue must be the whole
        // target and have shown for a round trip. A slow start that ends
        // early leaves the window below what the end hosts send; RSP then
        // holds their packets, their TCP reads the added delay as a queue
        // and leaves its own slow start, and the transfer crawls.
        bool shows = _recent_n == RECENT && recent_min(RECENT) - _base_ms >= int32_t(_p.target_ms);
        if (!shows)
            _queue_since = 0;
        else if (!_queue_since)
            _queue_since = now_ns;
        if (shows && now_ns - _queue_since >= std::max<int64_t>(int64_t(_base_ms) * 1000000, MIN_EPOCH_NS)) {
            // The queue shows: the window that built it was about half this
            // one (it doubles per round trip).
            // Scaled to what leaves `target` of queue; the window catches
            // up with the queue that is still building from there.
            _slow_start = false;
            double q = double(recent_min(RECENT) - _base_ms);
            next = cwnd * (double(_base_ms) + target) / (double(_base_ms) + q);
        } else if (limited || cwnd < 2.0 * double(std::max(_max_in_flight, _epoch_max_in_flight))) {
            // Growth also while more than half the window is in flight,
            // though nothing waited yet: the end hosts' own slow start
            // doubles what they send each round trip, and a window that
            // waits to be filled before it grows falls behind them by a
            // round trip. RSP then holds their packets, and the delay that
            // adds ends their slow start with no queue on the path.
            next = cwnd + acked;
        }
    } else if (now_ns >= _drain_until + int64_t(_base_ms) * 1000000) {
        double off = std::max((target - queue) / target, -MAX_OFF_TARGET);
        // Grow only when packets waited for the window or the pacing; and a
        // queue this sender does not fill is not its to drain.
        if ((off > 0 && limited) || (off < 0 && double(_in_flight) >= cwnd / 2))
            next = cwnd + WINDOW_GAIN * off * acked * target / (double(_base_ms) + target);
    }
    _cwnd = uint64_t(std::clamp(next, double(_p.min_cwnd), double(_p.max_cwnd)));
    set_rate(now_ns);
}

void Window::end_epoch(int64_t now_ns) {
    // Round trips in a row far below the target while packets waited: the
    // path has much more room than the window (slow start ended early, or
    // other traffic left). Slow start finds it in a few round trips.
    double queue = double(recent_min(QUEUE_SAMPLES) - _base_ms);
    _low_epochs = (_limited || _epoch_limited) && 4 * queue < _p.target_ms ? _low_epochs + 1 : 0;
    if (!_slow_start && _low_epochs >= LOW_EPOCHS_TO_SLOW_START) {
        _slow_start = true;
        _recent_n = 0;
    }
    _epoch_start = now_ns;
    _epoch_limited = _limited;
    _limited = false;
    _epoch_max_in_flight = _max_in_flight;
    _max_in_flight = _in_flight;
    _cut_this_epoch = false;
    if (!_slow_start && now_ns >= _next_drain) {
        // Pace below the window for the coming round trip (see DRAIN_GAIN).
        _drain_until = now_ns + (int64_t(_base_ms) + _p.target_ms) * 1000000;
        _next_drain = now_ns + BASE_WINDOW_NS;
    }
}

void Window::on_loss(int64_t now_ns) {
    int32_t rtt = recent_min(QUEUE_SAMPLES);
    if (_cut_this_epoch || !_base_ms || !rtt)
        return;
    if (rtt - _base_ms < LOSS_QUEUE_TARGETS * int32_t(_p.target_ms))
        return;
    _cwnd = std::max<uint64_t>(uint64_t(double(_cwnd) * LOSS_FACTOR), _p.min_cwnd);
    _slow_start = false;
    _cut_this_epoch = true;
    ++_reductions;
    set_rate(now_ns);
}

}  // namespace rsp

// ---------------------------------------------------------------------------
// RSP's side: where packets wait and are released.

namespace {

inline int64_t steady_ns() { return Timestamp::now_steady().nsecval(); }

// Most packets one run of the pacer timer releases before it yields.
constexpr unsigned PACER_BATCH = 256;
// Packets held at most: this many times MAX_RX_COUNT, and at least
// HOLD_LIMIT_MIN (a bound on memory, not a working limit).
constexpr size_t HOLD_LIMIT_WINDOWS = 4;
constexpr size_t HOLD_LIMIT_MIN = 4096;
// The pacer timer looks again after this long when it waits for
// acknowledgements (which also wake it).
constexpr uint32_t PACER_RECHECK_MS = 20;

}  // namespace

// The window and the pacing let a packet of `len` bytes go, and so does the
// peer's allowance: rather than fill it (which forces the compressor
// stateless), packets wait here.
bool RSP::pacer_may_send(uint32_t len, int64_t now) const {
    return _window.may_send(len, now) && uint16_t(_snd_nxt - _snd_una) < _snd_max;
}

bool RSP::pacer_holds(Packet* p) {
    if (!_congestion_control || _pacer_releasing)
        return false;
    int64_t now = steady_ns();
    uint32_t len = p->length();
    if (_hold.empty()) {
        if (_state != OPEN)
            return false;
        if (pacer_may_send(len, now)) {
            _window.on_sent(len, now);
            return false;
        }
    } else if (_hold.size() >= std::max<size_t>(HOLD_LIMIT_WINDOWS * size_t(_max_rx_count), HOLD_LIMIT_MIN)) {
        // The line is far longer than the peer's window: the oldest goes
        // unpaced (order is kept; the queue managers in front should not
        // let it come to this).
        _pacer_releasing = true;
        process_tx(_hold.pop_front());
        _pacer_releasing = false;
    }
    _hold.push_back(p, len, now);
    _window.note_limited();
    if (!_pacer_timer.scheduled())
        _pacer_timer.schedule_now();
    return true;
}

void RSP::run_pacer_timer() {
    lock_acquire();
    int64_t now = steady_ns();
    unsigned n = 0;
    _pacer_releasing = true;
    while (!_hold.empty() && n < PACER_BATCH) {
        uint32_t len = _hold.front_len();
        if (_state == OPEN) {
            if (!pacer_may_send(len, now))
                break;
            _window.on_sent(len, now);
        }
        process_tx(_hold.pop_front());
        ++n;
    }
    _pacer_releasing = false;
    if (!_hold.empty()) {
        _window.note_limited();
        if (n == PACER_BATCH)
            _pacer_timer.schedule_now();
        else if (_window.window_open(_hold.front_len()) && uint16_t(_snd_nxt - _snd_una) < _snd_max)
            _pacer_timer.schedule_at_steady(Timestamp::make_nsec(_window.next_send()));
        else
            _pacer_timer.schedule_after_msec(PACER_RECHECK_MS);
    }
    lock_release();
}

void RSP::pacer_timer_hook(Timer*, void* thunk) { static_cast<RSP*>(thunk)->run_pacer_timer(); }

void RSP::pacer_window_changed() {
    if (!_hold.empty())
        _pacer_timer.schedule_now();
}

void RSP::pacer_restart() {
    _window.restart(steady_ns());
    pacer_window_changed();
}

void RSP::pacer_retransmitted(const Packet* p) {
    int64_t now = steady_ns();
    _window.on_loss(now);
    _window.on_sent(p->length(), now);
}

void RSP::pacer_rtt_sample(int32_t ms) {
    if (_congestion_control)
        _window.on_rtt(ms, steady_ns());
}

rtt_info_t RSP::rtt_info() const {
    rtt_info_t r = _rtt.info();
    // What a packet entering RSP meets: the path's RTT plus the wait of the
    // oldest packet the pacer holds.
    if (!_hold.empty()) {
        int64_t wait_ms = (steady_ns() - _hold.front_since()) / 1000000;
        r.last_rtt += int32_t(std::min<int64_t>(wait_ms, rsp::RTT_SAMPLE_MAX_MS));
        r.weighted_rtt += int32_t(std::min<int64_t>(wait_ms, rsp::RTT_SAMPLE_MAX_MS));
    }
    return r;
}

std::string RSP::congestion_state_string() {
    lock_acquire();
    char buf[320];
    snprintf(buf, sizeof buf,
             "congestion control: %s, window: %llu, in flight: %llu, rate: %.0f bit/s, base rtt: %d, "
             "recent rtt: %d, slow start: %s, reductions: %llu, held: %zu (%llu bytes)\n",
             _congestion_control ? "on" : "off", (unsigned long long)_window.cwnd(),
             (unsigned long long)_window.in_flight(), _window.rate() * 8, _window.base_rtt(), _window.recent_rtt(),
             _window.slow_start() ? "true" : "false", (unsigned long long)_window.reductions(), _hold.size(),
             (unsigned long long)_hold.bytes());
    lock_release();
    return buf;
}
