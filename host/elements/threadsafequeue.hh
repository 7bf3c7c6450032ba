// ThreadSafeQueue(CAPACITY): a packet queue that several threads may push
// into and pull from at once. Packets arriving when it is full are dropped
// and counted. Downstream pull tasks sleep while it is empty.
// Keywords: CAPACITY (default 1000).
// Ports: 1 input (push), 1 output (pull).
// Handlers: length, highwater_length, capacity, drops (read), reset,
// reset_counts (write).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/spinlock.hh>

#include <atomic>
#include <memory>

class ThreadSafeQueue : public Element {
 public:
    const char* class_name() const override { return "ThreadSafeQueue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH_TO_PULL; }
    void* cast(const char* name) override;
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void take_state(Element* old, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override;
    Packet* pull(int) override;
    uint32_t size() const { return _size.load(std::memory_order_relaxed); }

 private:
    Packet* deq_locked();
    Spinlock _lock;
    ActiveNotifier _empty_note;
    std::unique_ptr<Packet*[]> _ring;
    uint32_t _capacity = 1000;
    uint32_t _head = 0;
    std::atomic<uint32_t> _size{0};
    std::atomic<uint32_t> _highwater{0};
    std::atomic<uint64_t> _drops{0};
};
