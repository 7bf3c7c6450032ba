// BypassSwitch(BYPASS): one input, two outputs. While bypass is on, every
// packet goes to output 1 (the straight-through path); while it is off, to
// output 0. An appliance's bypass handler drives it when the peer falls
// silent.
// Keywords: BYPASS (bool, default false).
// Ports: 1 input, 2 outputs; push.
// Handlers: bypass (read/write "true" or "false"; a valid write returns 0),
// count0, count1 (read).
#pragma once
#include <host/element.hh>

#include <atomic>

class BypassSwitch : public Element {
 public:
    const char* class_name() const override { return "BypassSwitch"; }
    const char* port_count() const override { return "1/2"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override {
        int o = _bypass.load(std::memory_order_relaxed) ? 1 : 0;
        _count[o].fetch_add(1, std::memory_order_relaxed);
        output(o).push(p);
    }

 private:
    std::atomic<bool> _bypass{false};
    std::atomic<uint64_t> _count[2] = {};
};
