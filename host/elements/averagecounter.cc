#include "averagecounter.hh"

#include <cstdio>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>

int AverageCounter::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Timestamp ignore;
    if (Args(conf, this, errh).read_p("IGNORE", SecondsArg(), ignore).complete() < 0)
        return -1;
    _ignore = ignore;
    return 0;
}

void AverageCounter::reset() {
    _first = 0;
    _last = 0;
    _start_counting = 0;
    _count = 0;
    _bytes = 0;
}

Packet* AverageCounter::simple_action(Packet* p) {
    int64_t now = Timestamp::now_steady().nsecval();
    int64_t start = _start_counting.load(std::memory_order_relaxed);
    if (start == 0) {
        int64_t want = now + _ignore.nsecval();
        if (_start_counting.compare_exchange_strong(start, want))
            start = want;
    }
    if (now >= start) {
        int64_t zero = 0;
        _first.compare_exchange_strong(zero, now);
        _last.store(now, std::memory_order_relaxed);
        _count.fetch_add(1, std::memory_order_relaxed);
        _bytes.fetch_add(p->length(), std::memory_order_relaxed);
    }
    return p;
}

double AverageCounter::seconds() const {
    int64_t f = _first.load(), l = _last.load();
    return f && l > f ? double(l - f) / 1e9 : 0;
}

void AverageCounter::add_handlers() {
    auto num = [](double v) {
        char b[64];
        snprintf(b, sizeof b, "%.3f\n", v);
        return std::string(b);
    };
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("byte_count", ReadHandlerFunction([this]() { return std::to_string(_bytes.load()) + "\n"; }));
    add_read_handler("time", ReadHandlerFunction([this, num]() { return num(seconds()); }));
    add_read_handler("rate", ReadHandlerFunction([this, num]() {
                         double s = seconds();
                         // n packets span n-1 intervals
                         return num(s > 0 && _count > 1 ? double(_count - 1) / s : 0);
                     }));
    add_read_handler("byte_rate", ReadHandlerFunction([this, num]() {
                         double s = seconds();
                         return num(s > 0 ? double(_bytes) / s : 0);
                     }));
    add_read_handler("bit_rate", ReadHandlerFunction([this, num]() {
                         double s = seconds();
                         return num(s > 0 ? double(_bytes) * 8 / s : 0);
                     }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          reset();
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(AverageCounter);
