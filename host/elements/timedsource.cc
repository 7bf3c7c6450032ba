#include "timedsource.hh"
#include "activehandler.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>

#include "ratedsource.hh"

int TimedSource::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Timestamp interval = Timestamp::make_msec(500);
    std::string data = RatedSource::default_data();
    int length = -1;
    int64_t limit = -1;
    bool stop = false, active = true;
    if (Args(conf, this, errh)
            .read_p("INTERVAL", SecondsArg(), interval)
            .read_p("DATA", data)
            .read_p("LIMIT", limit)
            .read("LENGTH", BoundedIntArg(-1, 65535), length)
            .read("STOP", stop)
            .read("ACTIVE", active)
            .complete() < 0)
        return -1;
    if (interval.nsecval() <= 0)
        return errh->error("INTERVAL: must be positive");
    _interval = interval;
    _data = RatedSource::fit_length(data, length);
    _limit = limit;
    _stop = stop;
    _active = active;
    return 0;
}

int TimedSource::initialize(ErrorHandler*) {
    _timer.initialize(this);
    if (_active)
        _timer.schedule_after(_interval);
    return 0;
}

void TimedSource::run_timer(Timer*) {
    if (!_active)
        return;
    if (_limit >= 0 && int64_t(_count.load()) >= _limit) {
        if (_stop)
            router()->please_stop_driver();
        return;
    }
    if (WritablePacket* p = Packet::make(Packet::default_headroom, _data.data(), uint32_t(_data.size()), 0)) {
        p->set_timestamp_anno(Timestamp::now());
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
    }
    if (_limit >= 0 && int64_t(_count.load()) >= _limit) {
        if (_stop)
            router()->please_stop_driver();
        return;
    }
    _timer.reschedule_after(_interval);
}

void TimedSource::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("interval", ReadHandlerFunction([this]() { return _interval.unparse_interval() + "\n"; }));
    add_write_handler("interval", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          Timestamp t;
                          if (!parse_arg(SecondsArg(), s, t, errh) || t.nsecval() <= 0)
                              return errh->error("interval: expected a positive time");
                          _interval = t;
                          return 0;
                      }));
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", active_write_handler(_active, [this] {
                          if (!_timer.scheduled())
                              _timer.schedule_after(_interval);
                      }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count = 0;
                          if (_active && !_timer.scheduled())
                              _timer.schedule_after(_interval);
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(TimedSource);
