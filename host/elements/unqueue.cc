#include "unqueue.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

Unqueue::Unqueue() : _task(this) {}

int Unqueue::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int burst = 1;
    bool active = true;
    int64_t limit = -1;
    if (Args(conf, this, errh)
            .read_p("BURST", BoundedIntArg(1, 1 << 20), burst)
            .read("ACTIVE", active)
            .read("LIMIT", limit)
            .complete() < 0)
        return -1;
    _burst = burst;
    _active = active;
    _limit = limit;
    return 0;
}

int Unqueue::initialize(ErrorHandler*) {
    _task.initialize(this, _active);
    _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    return 0;
}

bool Unqueue::run_task(Task*) {
    if (!_active)
        return false;
    int n = 0;
    while (n < _burst) {
        if (_limit >= 0 && int64_t(_count.load(std::memory_order_relaxed)) >= _limit)
            return n > 0;
        Packet* p = input(0).pull();
        if (!p)
            break;
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
        ++n;
    }
    if (n > 0 || _signal.active())
        _task.fast_reschedule();
    return n > 0;
}

void Unqueue::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count.store(0);
                          return 0;
                      }),
                      Handler::h_button);
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          bool a;
                          if (!data_handler_parse(s, a, errh))
                              return -EINVAL;
                          _active = a;
                          if (a)
                              _task.reschedule();
                          return 0;
                      }));
    add_task_handlers(&_task);
}

QUILO_HOST_ELEMENT(Unqueue);
