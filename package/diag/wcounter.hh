// WCounter: counts the packets that pass and their bytes.
//
//   ... -> c :: WCounter -> ...
//
// No keywords; (re)configuring it sets both counters to 0. The counters are
// 64-bit and updated atomically, so one WCounter may be reached from several
// threads.
//
// Ports 1/1, agnostic. Handlers: count, byte_count (read, decimal); reset
// (write: sets both to 0).
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class WCounter : public Element {
  public:
    const char* class_name() const override { return "WCounter"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

    Packet* simple_action(Packet* p) override {
        _count.fetch_add(1, std::memory_order_relaxed);
        _byte_count.fetch_add(p->length(), std::memory_order_relaxed);
        return p;
    }

    uint64_t count() const { return _count.load(std::memory_order_relaxed); }
    uint64_t byte_count() const { return _byte_count.load(std::memory_order_relaxed); }

  private:
    void reset() {
        _count = 0;
        _byte_count = 0;
    }

    std::atomic<uint64_t> _count{0};
    std::atomic<uint64_t> _byte_count{0};
};
