// BypassHandler(BYPASS element.handler, HOLD secs [, VERBOSE]): drives an
// external bypass switch from the traffic that arrives from the peer.
//
// Writes "true" to BYPASS at start, and again after HOLD silent seconds;
// writes "false" when the peer's traffic flows and the byte cache is ready
// (ProbeHandler says so). A failed write (result other than 0) leaves the
// state as it was, so it is tried again at the next packet or tick; until
// the cache is ready a failed "true" is retried every second.
//
// Ports "1/0", push: a sink for the peer's traffic. Read handlers: bypass,
// cache_ready, silence, count.
#pragma once

#include <host/element.hh>
#include <host/handlercall.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>

class BypassHandler : public Element {
  public:
    BypassHandler();

    const char* class_name() const override { return "BypassHandler"; }
    const char* port_count() const override { return PORTS_1_0; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;
    void run_timer(Timer* t) override;

    void set_cache_ready(bool r) { _cache_ready.store(r); }
    bool cache_ready() const { return _cache_ready.load(); }
    bool bypass_on() const { return _bypass.load(); }
    uint32_t silence() const { return _silence.load(); }

    // One tick of the one-second timer (without rescheduling).
    void tick();

  private:
    bool write(bool on);

    HandlerCall _call;
    uint32_t _hold = 0;
    bool _verbose = false;
    std::atomic<bool> _bypass{false};
    std::atomic<bool> _cache_ready{false};
    std::atomic<uint32_t> _packets{0};
    std::atomic<uint32_t> _silence{0};
    std::atomic<uint64_t> _count{0};
    Timer _timer;
};
