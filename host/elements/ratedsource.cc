#include "ratedsource.hh"
#include "activehandler.hh"

#include <cstdio>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

std::string RatedSource::default_data() {
    return "Synthetic packet data from a quilo source element, 64 bytes long";
}

std::string RatedSource::fit_length(const std::string& data, int length) {
    if (length < 0)
        return data;
    std::string d = data.empty() ? std::string(1, '\0') : data;
    std::string out;
    out.reserve(length);
    while (int(out.size()) < length)
        out += d;
    out.resize(length);
    return out;
}

int RatedSource::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string data = default_data();
    int length = -1;
    double rate = 10;
    int64_t limit = -1;
    bool active = true, stop = false;
    if (Args(conf, this, errh)
            .read_p("DATA", data)
            .read_p("RATE", rate)
            .read_p("LIMIT", limit)
            .read_p("ACTIVE", active)
            .read("LENGTH", BoundedIntArg(-1, 65535), length)
            .read("STOP", stop)
            .complete() < 0)
        return -1;
    if (!(rate >= 0))
        return errh->error("RATE: must not be negative");
    _data = fit_length(data, length);
    _rate = rate;
    _limit = limit;
    _active = active;
    _stop = stop;
    _tb.set(rate, rate < 32 ? 1 : rate / 32);
    if (_task.initialized() && _active)
        _task.reschedule();
    return 0;
}

int RatedSource::initialize(ErrorHandler*) {
    _task.initialize(this, _active);
    _timer.initialize(this);
    return 0;
}

bool RatedSource::run_task(Task*) {
    if (!_active || _rate <= 0)
        return false;
    _tb.refill(Timestamp::now_steady().nsecval());
    int n = 0;
    while (n < 32 && _tb.take(1)) {
        if (_limit >= 0 && int64_t(_count.load(std::memory_order_relaxed)) >= _limit) {
            if (_stop)
                router()->please_stop_driver();
            return n > 0;
        }
        WritablePacket* p = Packet::make(Packet::default_headroom, _data.data(), uint32_t(_data.size()), 0);
        if (!p)
            break;
        p->set_timestamp_anno(Timestamp::now());
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
        ++n;
    }
    if (_limit >= 0 && int64_t(_count.load()) >= _limit) {
        if (_stop)
            router()->please_stop_driver();
        return n > 0;
    }
    if (_tb.tokens() >= 1)
        _task.fast_reschedule();
    else
        _timer.schedule_after(Timestamp::make_nsec(_tb.wait_ns(1)));
    return n > 0;
}

void RatedSource::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("rate", ReadHandlerFunction([this]() {
                         char b[64];
                         snprintf(b, sizeof b, "%g\n", _rate);
                         return std::string(b);
                     }));
    add_write_handler("rate", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          double r;
                          if (!parse_arg(DoubleArg(), s, r, errh) || !(r >= 0))
                              return errh->error("rate: expected a non-negative number");
                          _rate = r;
                          _tb.set(r, r < 32 ? 1 : r / 32);
                          if (_active)
                              _task.reschedule();
                          return 0;
                      }));
    add_data_handlers("limit", Handler::h_read | Handler::h_write, &_limit);
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", active_write_handler(_active, [this] { _task.reschedule(); }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count = 0;
                          if (_active)
                              _task.reschedule();
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(RatedSource);
