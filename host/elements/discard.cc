#include "discard.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

Discard::Discard() : _task(this) {}

int Discard::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool active = true;
    int burst = 1;
    if (Args(conf, this, errh).read("ACTIVE", active).read("BURST", BoundedIntArg(1, 1 << 20), burst).complete() < 0)
        return -1;
    _active = active;
    _burst = burst;
    return 0;
}

int Discard::initialize(ErrorHandler*) {
    if (input_is_pull(0)) {
        _task.initialize(this, _active);
        _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    }
    return 0;
}

void Discard::push(int, Packet* p) {
    _count.fetch_add(1, std::memory_order_relaxed);
    p->kill();
}

bool Discard::run_task(Task*) {
    int n = 0;
    while (n < _burst) {
        Packet* p = input(0).pull();
        if (!p)
            break;
        _count.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        ++n;
    }
    if (_active && (n > 0 || _signal.active()))
        _task.fast_reschedule();
    return n > 0;
}

void Discard::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
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
                          if (a && input_is_pull(0))
                              _task.reschedule();
                          return 0;
                      }));
    if (input_is_pull(0))
        add_task_handlers(&_task);
}

QUILO_HOST_ELEMENT(Discard);
