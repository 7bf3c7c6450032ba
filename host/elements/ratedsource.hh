// RatedSource(DATA, RATE, LIMIT, ACTIVE, STOP): pushes copies of DATA at
// RATE packets per second.
// Keywords: DATA (string, default 64 bytes of text), LENGTH (data length:
// DATA is repeated or cut to it), RATE (packets/s, default 10), LIMIT (total
// packets, -1 = no limit, the default), ACTIVE (bool, default true), STOP
// (bool, default false: stop the router after LIMIT packets).
// Ports: no inputs, 1 output; push.
// Handlers: count (read), rate, active, limit (read/write), reset (write).
#pragma once
#include <host/element.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

#include "../lib/ratelimit.hh"

class RatedSource : public Element {
 public:
    RatedSource() : _task(this), _timer(&_task) {}
    const char* class_name() const override { return "RatedSource"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    bool run_task(Task*) override;

    // "Random bytes in a packet, at least 64 bytes long..." style default data.
    static std::string default_data();
    static std::string fit_length(const std::string& data, int length);

 private:
    std::string _data;
    double _rate = 10;
    int64_t _limit = -1;
    bool _active = true;
    bool _stop = false;
    TokenBucket _tb;
    Task _task;
    Timer _timer;
    std::atomic<uint64_t> _count{0};
};
