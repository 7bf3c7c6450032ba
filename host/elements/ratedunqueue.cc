#include "ratedunqueue.hh"
#include "activehandler.hh"

#include <cctype>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

bool RatedUnqueue::parse_rate(const std::string& s, double& rate, ErrorHandler* errh) {
    if (!parse_arg(DoubleArg(), s, rate, errh) || rate < 0) {
        errh->error("RATE: expected a non-negative number of packets per second");
        return false;
    }
    return true;
}

std::string RatedUnqueue::unparse_rate() const {
    char buf[64];
    snprintf(buf, sizeof buf, "%g", _rate);
    return buf;
}

bool BandwidthRatedUnqueue::parse_rate(const std::string& s, double& rate, ErrorHandler* errh) {
    if (!parse_bandwidth(s, rate)) {
        errh->error("RATE: expected bandwidth (such as 10Mbps or 1MBps), got %<%s%>", s.c_str());
        return false;
    }
    return true;
}

int RatedUnqueue::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string rate_s;
    double burst = bytes() ? 1514 : 1;
    bool active = true;
    if (Args(conf, this, errh)
            .read_mp("RATE", WordArg(), rate_s)
            .read_p("BURST", burst)
            .read("ACTIVE", active)
            .complete() < 0)
        return -1;
    double rate;
    if (!parse_rate(rate_s, rate, errh))
        return -EINVAL;
    if (burst < 1)
        return errh->error("BURST: must be at least 1");
    _rate = rate;
    _burst = burst;
    _active = active;
    _tb.set(rate, burst);
    if (_task.initialized())
        _task.reschedule();
    return 0;
}

int RatedUnqueue::initialize(ErrorHandler*) {
    _task.initialize(this, _active);
    _timer.initialize(this);
    _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    return 0;
}

bool RatedUnqueue::run_task(Task*) {
    if (!_active || _rate <= 0)
        return false;
    _tb.refill(Timestamp::now_steady().nsecval());
    int n = 0;
    while (n < 64) {
        if (bytes() ? !_tb.positive() : !_tb.take(1))
            break;
        Packet* p = input(0).pull();
        if (!p) {
            if (!bytes())
                _tb.force(-1);   // give the token back
            break;
        }
        if (bytes())
            _tb.force(p->length());
        ++n;
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
    }
    bool out_of_tokens = bytes() ? !_tb.positive() : _tb.tokens() < 1;
    if (out_of_tokens) {
        // Sleep until the next packet's worth of tokens.
        _timer.schedule_after(Timestamp::make_nsec(_tb.wait_ns(bytes() ? 0.000001 : 1)));
    } else if (n > 0 || _signal.active())
        _task.fast_reschedule();
    return n > 0;
}

void RatedUnqueue::add_handlers() {
    add_read_handler("rate", ReadHandlerFunction([this]() { return unparse_rate() + "\n"; }));
    add_write_handler("rate", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          std::string w = s;
                          while (!w.empty() && isspace((unsigned char) w.back()))
                              w.pop_back();
                          while (!w.empty() && isspace((unsigned char) w.front()))
                              w.erase(0, 1);
                          double rate;
                          if (!parse_rate(w, rate, errh))
                              return -EINVAL;
                          _rate = rate;
                          _tb.set(rate, _burst);
                          _task.reschedule();
                          return 0;
                      }));
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", active_write_handler(_active, [this] { _task.reschedule(); }));
}

QUILO_HOST_ELEMENT(RatedUnqueue);
QUILO_HOST_ELEMENT(BandwidthRatedUnqueue);
