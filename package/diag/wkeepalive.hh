// WKeepAlive: sends a copy of tunnel traffic now and then, so that a path
// that carries the tunnel sees a packet at least every two seconds while the
// tunnel is in use (a second route, a stateful firewall, a NAT binding).
//
//   ... -> ka :: WKeepAlive -> ...;   ka[1] -> (second path)
//
// Every packet leaves unchanged on output 0. A tunnel packet (the shim test of
// the global settings) that is the first tunnel packet of the current period
// is also cloned onto output 1, unless its shim carries the datastore-sync mark
// (flags 0x20): sync traffic is never duplicated. Periods are 2 seconds long;
// the first one ends 5 seconds after initialisation. So at most one copy per
// period leaves on output 1, of the period's first tunnel packet.
//
// Needs a WConf element. No keywords. Ports 1/2, push.
// Handlers (read): tunnel_packets (tunnel packets seen), copies (clones sent).
#pragma once

#include <host/timer.hh>

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"

class WKeepAlive : public WBase {
  public:
    static constexpr uint32_t first_period_sec = 5;
    static constexpr uint32_t period_sec = 2;

    WKeepAlive() : _timer(this) {}

    const char* class_name() const override { return "WKeepAlive"; }
    const char* port_count() const override { return "1/2"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;
    void run_timer(Timer* t) override;

    // Starts a new period: the next eligible tunnel packet is copied.
    void new_period() { _period_count.store(0, std::memory_order_relaxed); }
    const Timer& timer() const { return _timer; }

  private:
    Timer _timer;
    std::atomic<uint32_t> _period_count{0};
    std::atomic<uint64_t> _tunnel_packets{0};
    std::atomic<uint64_t> _copies{0};
};
