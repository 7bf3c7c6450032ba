// TimedSource(INTERVAL, DATA, LIMIT, STOP, ACTIVE): pushes a copy of DATA
// every INTERVAL (default 0.5 s).
// Keywords: INTERVAL (seconds), DATA (string), LENGTH, LIMIT (-1 = no
// limit), STOP (bool: stop the router after LIMIT packets), ACTIVE (bool).
// Ports: no inputs, 1 output; push.
// Handlers: count (read), interval, active (read/write), reset (write).
#pragma once
#include <host/element.hh>
#include <host/timer.hh>

#include <atomic>

class TimedSource : public Element {
 public:
    TimedSource() : _timer(this) {}
    const char* class_name() const override { return "TimedSource"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void run_timer(Timer*) override;

 private:
    std::string _data;
    Timestamp _interval = Timestamp::make_msec(500);
    int64_t _limit = -1;
    bool _stop = false;
    std::atomic<bool> _active{true};
    Timer _timer;
    std::atomic<uint64_t> _count{0};
};
