// RandomReorder(PROB, DEPTH, TIMEOUT): reorders packets. With probability
// PROB a packet is held back and released after 1 to DEPTH (chosen at
// random) later packets have passed, or after TIMEOUT when traffic stops;
// one packet is held at a time. With PROB 0 the order never changes.
// "reordered" counts the held packets that later packets overtook, whether
// the count or the timeout released them.
// Keywords: PROB (0-1, default 0), DEPTH (default 3), TIMEOUT (default
// 100ms).
// Ports: 1 input, 1 output; push.
// Handlers: prob (read/write), reordered, count (read).
#pragma once
#include <host/element.hh>
#include <host/spinlock.hh>
#include <host/timer.hh>

#include <atomic>

class RandomReorder : public Element {
 public:
    RandomReorder() : _timer(this) {}
    const char* class_name() const override { return "RandomReorder"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;
    void push(int, Packet* p) override;
    void run_timer(Timer*) override;

 private:
    Packet* release_if(bool force);
    std::atomic<uint32_t> _threshold{0};
    double _prob = 0;
    uint32_t _depth = 3;
    Timestamp _timeout = Timestamp::make_msec(100);
    Spinlock _lock;
    Packet* _held = nullptr;
    uint32_t _left = 0;     // packets still to pass before the held one
    uint32_t _passed = 0;   // packets that have passed it so far
    Timer _timer;
    std::atomic<uint64_t> _reordered{0}, _count{0};
};
