// RSP's congestion response (keyword CONGESTION_CONTROL): a congestion
// window and pacing for what RSP sends to its peer, so that RSP's own
// transmit side, not the WAN's bottleneck queue, holds what the path cannot
// take yet. The queue managers in front of the tunnel see that backlog in
// RSP's RTT figures and drop LAN packets from it.
//
// The window follows the queueing delay that RSP's RTT samples show above
// the path's minimum RTT: it aims at CONGESTION_TARGET_MS of queue at the
// bottleneck. Random loss is not congestion: a retransmission shrinks the
// window only when it comes with a queue well above that target.
//
// Packets wait in the pacer before RSP decides how to send them, so a
// held packet has no sequence number yet: it counts neither in the window
// test of RSP's transmit queue nor in the retransmit scan. They also wait
// while the peer's allowance (snd_max) is used up, so that a burst does not
// force the compressor stateless. Retransmissions and RSP's own control
// packets are never held, but retransmissions use up pacing time.
//
// The arithmetic (Window) and the line of held packets (HoldQueue) know
// nothing of the host and are unit-tested alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace rsp {

class Window {
  public:
    struct Params {
        uint32_t target_ms = 5;          // queueing delay aimed at
        uint32_t initial_cwnd = 10 * 1514;
        uint32_t min_cwnd = 4 * 1514;
        uint64_t max_cwnd = 256u << 20;  // bytes
    };

    Window() { restart(0); }
    explicit Window(const Params& p) : _p(p) { restart(0); }
    void set_params(const Params& p) {
        _p = p;
        restart(0);
    }
    const Params& params() const { return _p; }

    // A new connection: initial window, slow start. The minimum RTT is kept
    // (the path is the same).
    void restart(int64_t now_ns);

    // Bytes entering / leaving RSP's transmit queue (sent reliably /
    // acknowledged).
    void on_queued(uint32_t bytes) {
        _in_flight += bytes;
        _max_in_flight = std::max(_max_in_flight, _in_flight);
    }
    void on_acked(uint32_t bytes) {
        _in_flight = bytes > _in_flight ? 0 : _in_flight - bytes;
        _acked += bytes;
    }
    // An RTT sample in milliseconds, after the on_acked calls of its
    // acknowledgement: moves the window.
    void on_rtt(int32_t ms, int64_t now_ns);
    // A retransmission: shrinks the window only with a standing queue.
    void on_loss(int64_t now_ns);
    // Packets are waiting for the window or for pacing.
    void note_limited() { _limited = true; }

    // Whether a packet of `bytes` may leave now: the window has room and
    // its pacing time has come. Retransmissions skip the test.
    bool may_send(uint32_t bytes, int64_t now_ns) const {
        return _in_flight + bytes <= _cwnd && _next_send <= now_ns;
    }
    bool window_open(uint32_t bytes) const { return _in_flight + bytes <= _cwnd; }
    // A packet of `bytes` left (first transmission or retransmission):
    // charges its time at the pacing rate.
    void on_sent(uint32_t bytes, int64_t now_ns);
    // When the next packet may go by pacing (steady nanoseconds).
    int64_t next_send() const { return _next_send; }

    uint64_t cwnd() const { return _cwnd; }
    uint64_t in_flight() const { return _in_flight; }
    // Pacing rate in bytes per second.
    double rate() const { return _rate; }
    int32_t base_rtt() const { return _base_ms; }
    // The least of the latest RTT samples.
    int32_t recent_rtt() const { return recent_min(4); }
    bool slow_start() const { return _slow_start; }
    uint64_t reductions() const { return _reductions; }

  private:
    void end_epoch(int64_t now_ns);
    void set_rate(int64_t now_ns);
    // The least of the latest n samples.
    int32_t recent_min(int n) const;

    Params _p;
    uint64_t _cwnd = 0, _in_flight = 0, _acked = 0;
    double _rate = 0;
    int64_t _next_send = 0;
    bool _slow_start = true;
    uint64_t _reductions = 0;

    // Minimum RTT over two rotating windows of BASE_WINDOW_NS.
    int32_t _base_ms = 0, _base_cur = 0, _base_prev = 0;
    int64_t _base_rotate = 0;

    // The latest RECENT samples (a ring).
    static constexpr int RECENT = 16;
    int32_t _recent[RECENT] = {};
    int _recent_n = 0, _recent_pos = 0;

    // Periods of one minimum RTT: whether packets waited in this one and
    // the one before, whether a loss already shrank the window.
    int64_t _epoch_start = 0;
    bool _limited = false, _epoch_limited = false;
    // Most bytes in flight in this period and in the one before.
    uint64_t _max_in_flight = 0, _epoch_max_in_flight = 0;
    bool _cut_this_epoch = false;
    int _low_epochs = 0;
    // In slow start: since when the samples have shown a queue (0: not now).
    int64_t _queue_since = 0;


    // Pacing below the window until _drain_until; the next drain is due at
    // _next_drain.
    int64_t _drain_until = 0, _next_drain = 0;
};

// Packets waiting for the pacer, oldest first, with the time each arrived.
// A ring that only grows (by doubling) when it is fuller than ever before.
template <class P>
class HoldQueue {
  public:
    HoldQueue() { grow(64); }
    HoldQueue(const HoldQueue&) = delete;
    HoldQueue& operator=(const HoldQueue&) = delete;

    size_t size() const { return _n; }
    bool empty() const { return _n == 0; }
    uint64_t bytes() const { return _bytes; }

    void push_back(P p, uint32_t len, int64_t now_ns) {
        if (_n == _cap)
            grow(_cap * 2);
        _ring[(_head + _n) & (_cap - 1)] = {p, len, now_ns};
        ++_n;
        _bytes += len;
    }
    uint32_t front_len() const { return _ring[_head].len; }
    int64_t front_since() const { return _ring[_head].since; }
    P pop_front() {
        Slot& s = _ring[_head];
        _head = (_head + 1) & (_cap - 1);
        --_n;
        _bytes -= s.len;
        return s.p;
    }
    template <class Free>
    void clear(Free&& free) {
        while (_n)
            free(pop_front());
        _head = 0;
    }
    void swap(HoldQueue& o) noexcept {
        _ring.swap(o._ring);
        std::swap(_cap, o._cap);
        std::swap(_head, o._head);
        std::swap(_n, o._n);
        std::swap(_bytes, o._bytes);
    }

  private:
    struct Slot {
        P p{};
        uint32_t len = 0;
        int64_t since = 0;
    };
    void grow(size_t ncap) {
        std::unique_ptr<Slot[]> nr(new Slot[ncap]);
        for (size_t i = 0; i < _n; ++i)
            nr[i] = _ring[(_head + i) & (_cap - 1)];
        _ring = std::move(nr);
        _cap = ncap;
        _head = 0;
    }

    std::unique_ptr<Slot[]> _ring;
    size_t _cap = 0, _head = 0, _n = 0;
    uint64_t _bytes = 0;
};

}  // namespace rsp
