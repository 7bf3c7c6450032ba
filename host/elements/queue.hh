// Queue([CAPACITY]): stores pushed packets until pulled, first in, first
// out. Packets arriving when it is full are dropped and counted. Its empty
// notifier lets downstream pull tasks sleep while it is empty. The ring is
// safe for one pushing and one pulling thread at a time. On a hot swap the
// new Queue keeps the old one's packets, as many as fit.
// Keywords: CAPACITY (1 to 16777216, default 1000).
// Ports: 1 input (push), 1 output (pull).
// Handlers: length, highwater_length, capacity, drops (read); reset_counts
// (write; zeroes drops, highwater_length becomes the current length), reset
// (write; drops the queued packets).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>

#include <atomic>
#include <memory>

class Queue : public Element {
 public:
    const char* class_name() const override { return "Queue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH_TO_PULL; }
    void* cast(const char* name) override;
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void take_state(Element* old, ErrorHandler*) override;
    void push(int, Packet* p) override;
    Packet* pull(int) override;
    void add_handlers() override;

    uint32_t size() const {
        uint32_t h = _head.load(std::memory_order_acquire), t = _tail.load(std::memory_order_acquire);
        return t >= h ? t - h : t + _capacity + 1 - h;
    }

 private:
    void enq(Packet* p) {
        uint32_t t = _tail.load(std::memory_order_relaxed);
        _ring[t] = p;
        _tail.store(t == _capacity ? 0 : t + 1, std::memory_order_release);
    }
    Packet* deq() {
        uint32_t h = _head.load(std::memory_order_relaxed);
        if (h == _tail.load(std::memory_order_acquire))
            return nullptr;
        Packet* p = _ring[h];
        _head.store(h == _capacity ? 0 : h + 1, std::memory_order_release);
        return p;
    }

    ActiveNotifier _empty_note;
    std::unique_ptr<Packet*[]> _ring;
    uint32_t _capacity = 1000;
    std::atomic<uint32_t> _head{0};
    std::atomic<uint32_t> _tail{0};
    uint32_t _highwater = 0;
    std::atomic<uint64_t> _drops{0};
};
