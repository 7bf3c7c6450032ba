// WCompQueue: the bounded lock-free ring of packet pointers that carries
// packets between the threads of WMTComp (pull task -> worker, workers ->
// push task). Any number of threads may enqueue and dequeue at once; a
// producer that is preempted half-way holds up only the consumer of its own
// slot, never the other producers.
//
// SeqRing is the same ring for plain values (WMTComp passes the sequence
// numbers of packets that a worker dropped through one).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

class Packet;

namespace compression {

// Bounded multi-producer multi-consumer ring (one sequence word per slot):
// a slot is free for the producer of position pos when its word is pos, and
// holds a value for the consumer of position pos when its word is pos + 1.
template <typename T>
class SeqRing {
  public:
    // The scheme needs two slots at least: a ring of capacity 1 keeps a
    // spare slot and counts instead.
    explicit SeqRing(uint32_t capacity)
        : _limit(capacity ? capacity : 1), _cap(_limit < 2 ? 2 : _limit), _slots(new Slot[_cap]) {
        for (uint32_t i = 0; i < _cap; ++i)
            _slots[i].seq.store(i, std::memory_order_relaxed);
    }
    SeqRing(const SeqRing&) = delete;
    SeqRing& operator=(const SeqRing&) = delete;

    // False when full.
    bool push(const T& v) {
        if (_limit < _cap && size() >= _limit)
            return false;
        uint64_t pos = _tail.load(std::memory_order_relaxed);
        while (true) {
            Slot& s = _slots[pos % _cap];
            uint64_t seq = s.seq.load(std::memory_order_acquire);
            int64_t dif = int64_t(seq - pos);
            if (dif == 0) {
                if (_tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    s.value = v;
                    s.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                return false;
            } else {
                pos = _tail.load(std::memory_order_relaxed);
            }
        }
    }
    // False when empty (or when the oldest value is still being written).
    bool pop(T& v) {
        uint64_t pos = _head.load(std::memory_order_relaxed);
        while (true) {
            Slot& s = _slots[pos % _cap];
            uint64_t seq = s.seq.load(std::memory_order_acquire);
            int64_t dif = int64_t(seq - (pos + 1));
            if (dif == 0) {
                if (_head.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    v = s.value;
                    s.seq.store(pos + _cap, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                return false;
            } else {
                pos = _head.load(std::memory_order_relaxed);
            }
        }
    }
    // Approximate while other threads work on the ring.
    uint32_t size() const {
        uint64_t t = _tail.load(std::memory_order_acquire), h = _head.load(std::memory_order_acquire);
        return t > h ? uint32_t(t - h) : 0;
    }
    uint32_t capacity() const { return _limit; }

  private:
    struct Slot {
        std::atomic<uint64_t> seq{0};
        T value{};
    };
    const uint32_t _limit, _cap;
    std::unique_ptr<Slot[]> _slots;
    alignas(64) std::atomic<uint64_t> _tail{0};
    alignas(64) std::atomic<uint64_t> _head{0};
};

}  // namespace compression

class WCompQueue {
  public:
    explicit WCompQueue(int capacity);
    // Kills every packet still queued.
    ~WCompQueue();
    WCompQueue(const WCompQueue&) = delete;
    WCompQueue& operator=(const WCompQueue&) = delete;

    // False when full: the packet is not taken (the caller drops it), the
    // refusal is counted, and the first refusal of the queue's life prints
    // "Error : WCompQueue overflow" on the console.
    bool enqueue(Packet* p);
    // Null when empty.
    Packet* dequeue();

    int size() const { return int(_ring.size()); }
    int capacity() const { return int(_ring.capacity()); }
    int drops() const { return _drops.load(std::memory_order_relaxed); }
    int highwater() const { return _highwater.load(std::memory_order_relaxed); }

  private:
    compression::SeqRing<Packet*> _ring;
    std::atomic<int> _drops{0};
    std::atomic<int> _highwater{0};
};
