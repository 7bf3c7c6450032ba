// The RSP transmit queue and receive reorder window.
//
// Both are templates over the packet handle so that they can be exercised
// without the host; the element instantiates them with Packet*. Neither
// allocates on the per-packet path: the receive window is a ring sized once
// from the local allowance, the transmit queue a ring that only grows (by
// doubling) when it is fuller than ever before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "rsp/rsp_wire.hh"

namespace rsp {

// The send time of the latest packet an acknowledgement newly covers that
// was sent only once: the round trip it gives is unambiguous (Karn), and
// the freshest, so that it includes no time the packet spent waiting at the
// peer behind a hole.
struct FreshAck {
    bool have = false;
    uint32_t tx = 0;
    void note(uint32_t t) {
        if (!have || int32_t(t - tx) > 0)
            tx = t;
        have = true;
    }
};

template <class P>
class TxQueue {
  public:
    struct Node {
        P pkt{};
        uint16_t seq = 0;
        uint16_t retransmit_count = 0;
        uint32_t tx_jiffies = 0;
        bool live = false;
    };

    TxQueue() { grow(64); }
    TxQueue(const TxQueue&) = delete;
    TxQueue& operator=(const TxQueue&) = delete;

    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    // Exchanges the contents with `o` (hot reconfiguration hands a queue over).
    void swap(TxQueue& o) noexcept {
        ring_.swap(o.ring_);
        std::swap(cap_, o.cap_);
        std::swap(mask_, o.mask_);
        std::swap(head_, o.head_);
        std::swap(used_, o.used_);
        std::swap(live_, o.live_);
    }
    // Slots from the oldest live node on, removed nodes included (skip !live).
    size_t slots() const { return used_; }
    Node& at(size_t i) { return ring_[(head_ + i) & mask_]; }
    const Node& at(size_t i) const { return ring_[(head_ + i) & mask_]; }

    // Appends a node; sequence numbers must ascend in serial order.
    void push_back(P pkt, uint16_t seq, uint32_t now) {
        if (used_ == cap_)
            grow(cap_ * 2);
        Node& n = ring_[(head_ + used_) & mask_];
        n.pkt = pkt;
        n.seq = seq;
        n.retransmit_count = 0;
        n.tx_jiffies = now;
        n.live = true;
        ++used_;
        ++live_;
    }

    // Removes every node at or below `ack` (serial order). Returns how many
    // were removed; *last_tx gets the tx jiffies of the last one removed,
    // *latest_tx (when given) the latest tx jiffies of any removed, and
    // `fresh` (when given) notes those never retransmitted.
    template <class Free>
    size_t ack_cumulative(uint16_t ack, uint32_t* last_tx, Free&& free, uint32_t* latest_tx = nullptr,
                          FreshAck* fresh = nullptr) {
        size_t removed = 0;
        while (used_ && seq_leq(at(0).seq, ack)) {
            Node& n = at(0);
            if (n.live) {
                *last_tx = n.tx_jiffies;
                note_latest(latest_tx, removed, n.tx_jiffies);
                if (fresh && n.retransmit_count == 0)
                    fresh->note(n.tx_jiffies);
                free(n.pkt);
                n.live = false;
                --live_;
                ++removed;
            }
            pop_front_slot();
        }
        trim_front();
        return removed;
    }

    // Removes every node with first <= seq <= last (serial order); *latest_tx
    // (when given) gets the latest tx jiffies of any removed, and `fresh`
    // (when given) notes those never retransmitted.
    template <class Free>
    size_t ack_range(uint16_t first, uint16_t last, Free&& free, uint32_t* latest_tx = nullptr,
                     FreshAck* fresh = nullptr) {
        if (!used_ || seq_lt(last, first))
            return 0;
        size_t removed = 0;
        for (size_t i = lower_bound(first); i < used_; ++i) {
            Node& n = at(i);
            if (seq_gt(n.seq, last))
                break;
            if (n.live) {
                note_latest(latest_tx, removed, n.tx_jiffies);
                if (fresh && n.retransmit_count == 0)
                    fresh->note(n.tx_jiffies);
                free(n.pkt);
                n.pkt = P{};
                n.live = false;
                --live_;
                ++removed;
            }
        }
        trim_front();
        return removed;
    }

    template <class Free>
    void clear(Free&& free) {
        for (size_t i = 0; i < used_; ++i)
            if (at(i).live) {
                free(at(i).pkt);
                at(i).live = false;
            }
        head_ = used_ = live_ = 0;
    }

  private:
    static void note_latest(uint32_t* latest, size_t removed, uint32_t tx) {
        if (latest && (removed == 0 || int32_t(tx - *latest) > 0))
            *latest = tx;
    }
    // First slot whose seq is not below `s`; slots ascend in serial order.
    size_t lower_bound(uint16_t s) const {
        size_t lo = 0, hi = used_;
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (seq_lt(at(mid).seq, s))
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }
    void pop_front_slot() {
        head_ = (head_ + 1) & mask_;
        --used_;
    }
    void trim_front() {
        while (used_ && !at(0).live)
            pop_front_slot();
        if (!used_)
            head_ = 0;
    }
    void grow(size_t ncap) {
        std::unique_ptr<Node[]> nr(new Node[ncap]);
        for (size_t i = 0; i < used_; ++i)
            nr[i] = ring_[(head_ + i) & mask_];
        ring_ = std::move(nr);
        cap_ = ncap;
        mask_ = ncap - 1;
        head_ = 0;
    }

    std::unique_ptr<Node[]> ring_;
    size_t cap_ = 0, mask_ = 0, head_ = 0, used_ = 0, live_ = 0;
};

// Receive reorder window: holds packets ahead of `cur` (the last sequence
// number delivered in order), indexed directly by sequence number.
template <class P>
class RxWindow {
  public:
    enum class Insert { inserted, duplicate, old, beyond };

    explicit RxWindow(unsigned allowance = 2000) { resize(allowance); }
    RxWindow(const RxWindow&) = delete;
    RxWindow& operator=(const RxWindow&) = delete;

    // Accepts packets up to 2 * allowance ahead of cur. Empties the window.
    void resize(unsigned allowance) {
        size_t need = 2 * size_t(allowance) + 1, cap = 1;
        while (cap < need)
            cap <<= 1;
        slots_.reset(new P[cap]());
        cap_ = cap;
        limit_ = 2 * size_t(allowance);
        count_ = hi_ = 0;
    }

    uint16_t cur() const { return cur_; }
    size_t size() const { return count_; }
    // Holds packets ahead of cur up to this distance (2 x allowance).
    size_t limit() const { return limit_; }
    // Exchanges the contents with `o`, allowance included.
    void swap(RxWindow& o) noexcept {
        slots_.swap(o.slots_);
        std::swap(cap_, o.cap_);
        std::swap(limit_, o.limit_);
        std::swap(count_, o.count_);
        std::swap(hi_, o.hi_);
        std::swap(cur_, o.cur_);
    }
    bool empty() const { return count_ == 0; }

    // Moves cur; whatever was held is freed (held packets belong to the old numbering).
    template <class Free>
    void set_cur(uint16_t cur, Free&& free) {
        clear(free);
        cur_ = cur;
    }

    template <class Free>
    void clear(Free&& free) {
        for (size_t d = 1; d <= hi_ && count_; ++d) {
            P& p = slot(uint16_t(cur_ + d));
            if (p) {
                free(p);
                p = P{};
                --count_;
            }
        }
        count_ = hi_ = 0;
    }

    Insert insert(P pkt, uint16_t s) {
        int d = seq_diff(s, cur_);
        if (d <= 0)
            return Insert::old;
        if (size_t(d) > limit_)
            return Insert::beyond;
        P& p = slot(s);
        if (p)
            return Insert::duplicate;
        p = pkt;
        ++count_;
        if (size_t(d) > hi_)
            hi_ = size_t(d);
        return Insert::inserted;
    }

    // Whether a packet numbered s is held.
    bool holds(uint16_t s) const {
        int d = seq_diff(s, cur_);
        return d > 0 && size_t(d) <= limit_ && slots_[s & (cap_ - 1)];
    }

    // Takes the packet numbered cur + 1 if held and advances cur; else P{}.
    P pop_in_order() {
        P& p = slot(uint16_t(cur_ + 1));
        if (!p)
            return P{};
        P out = p;
        p = P{};
        --count_;
        ++cur_;
        --hi_;
        return out;
    }

    // EACK ranges of what is held, front to back, at most `limit` (at least one
    // when anything is held). Returns the number written.
    unsigned eack_ranges(rsp_eack_range* out, unsigned limit) const {
        if (limit == 0)
            limit = 1;
        unsigned n = 0;
        size_t seen = 0;
        for (size_t d = 1; d <= hi_ && seen < count_; ++d) {
            uint16_t s = uint16_t(cur_ + d);
            if (!slots_[s & (cap_ - 1)])
                continue;
            ++seen;
            if (n && out[n - 1].last == uint16_t(s - 1)) {
                out[n - 1].last = s;
            } else {
                if (n == limit)
                    break;
                out[n++] = {s, s};
            }
        }
        return n;
    }

  private:
    P& slot(uint16_t s) { return slots_[s & (cap_ - 1)]; }

    std::unique_ptr<P[]> slots_;
    size_t cap_ = 0, limit_ = 0, count_ = 0, hi_ = 0;
    uint16_t cur_ = 0;
};

}  // namespace rsp
