// Counter: counts the packets and bytes passing through.
// Keywords: none.
// Ports: 1 input, 1 output, push or pull.
// Handlers: count, byte_count, rate (read; packets per second since the
// first packet), reset, reset_counts (write; both zero the counts).
#pragma once
#include <host/element.hh>

#include <atomic>

class Counter : public Element {
 public:
    const char* class_name() const override { return "Counter"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override;
    void add_handlers() override;

 private:
    std::atomic<uint64_t> _count{0};
    std::atomic<uint64_t> _byte_count{0};
    std::atomic<int64_t> _first{0};
};
