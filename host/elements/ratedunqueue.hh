// RatedUnqueue(RATE, BURST): pulls packets at RATE packets per second
// (bursts of up to BURST packets) and pushes them on.
// Keywords: RATE (packets/s, mandatory), BURST (default 1), ACTIVE (bool,
// default true).
// Ports: 1 input (pull), 1 output (push).
// Handlers: rate (read/write), count (read), active (read/write).
//
// BandwidthRatedUnqueue(RATE, BURST): the same with RATE a bandwidth
// ("10Mbps", "1MBps", plain numbers are bytes/s); a packet costs its length
// in bytes and BURST is in bytes (default: one 1514-byte frame).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

#include "../lib/ratelimit.hh"

class RatedUnqueue : public Element {
 public:
    RatedUnqueue() : _task(this), _timer(&_task) {}
    const char* class_name() const override { return "RatedUnqueue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PULL_TO_PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    bool run_task(Task*) override;

 protected:
    virtual bool bytes() const { return false; }
    virtual bool parse_rate(const std::string& s, double& rate, ErrorHandler* errh);
    virtual std::string unparse_rate() const;
    double _rate = 0;
    double _burst = 1;
    bool _active = true;
    TokenBucket _tb;
    Task _task;
    Timer _timer;
    NotifierSignal _signal;
    std::atomic<uint64_t> _count{0};
};

class BandwidthRatedUnqueue : public RatedUnqueue {
 public:
    const char* class_name() const override { return "BandwidthRatedUnqueue"; }

 protected:
    bool bytes() const override { return true; }
    bool parse_rate(const std::string& s, double& rate, ErrorHandler* errh) override;
    std::string unparse_rate() const override { return unparse_bandwidth(_rate); }
};
