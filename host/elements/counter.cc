#include "counter.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

#include <cstdio>

int Counter::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    return Args(conf, this, errh).complete();
}

Packet* Counter::simple_action(Packet* p) {
    if (unlikely(_count.fetch_add(1, std::memory_order_relaxed) == 0))
        _first.store(Timestamp::now_steady().nsecval(), std::memory_order_relaxed);
    _byte_count.fetch_add(p->length(), std::memory_order_relaxed);
    return p;
}

void Counter::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("byte_count", ReadHandlerFunction([this]() { return std::to_string(_byte_count.load()) + "\n"; }));
    add_read_handler("rate", ReadHandlerFunction([this]() {
                         uint64_t c = _count.load();
                         if (c == 0)
                             return std::string("0\n");
                         double dt = double(Timestamp::now_steady().nsecval() - _first.load()) / 1e9;
                         char buf[64];
                         snprintf(buf, sizeof(buf), "%.0f\n", dt > 0 ? double(c) / dt : 0.0);
                         return std::string(buf);
                     }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count.store(0);
                          _byte_count.store(0);
                          return 0;
                      }),
                      Handler::h_button);
    add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count.store(0);
                          _byte_count.store(0);
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(Counter);
