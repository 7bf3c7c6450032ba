#include "delayshaper.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>

void* DelayShaper::cast(const char* name) {
    if (strcmp(name, Notifier::EMPTY_NOTIFIER) == 0)
        return static_cast<Notifier*>(&_notifier);
    return Element::cast(name);
}

int DelayShaper::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Timestamp d;
    if (Args(conf, this, errh).read_mp("DELAY", SecondsArg(), d).complete() < 0)
        return -1;
    if (d.nsecval() < 0)
        return errh->error("DELAY: must not be negative");
    _delay = d;
    if (!_notifier_ready) {
        _notifier_ready = true;
        return _notifier.initialize(Notifier::EMPTY_NOTIFIER, router());
    }
    return 0;
}

int DelayShaper::initialize(ErrorHandler*) {
    _timer.initialize(this);
    _wake_task.initialize(this, false);
    _upstream = Notifier::upstream_empty_signal(this, 0, &_wake_task);
    return 0;
}

Packet* DelayShaper::pull(int) {
    int64_t now = Timestamp::now().nsecval();
    if (!_p) {
        _p = input(0).pull();
        if (!_p) {
            if (!_upstream.active())
                _notifier.sleep();
            return nullptr;
        }
        int64_t ts = _p->timestamp_anno().nsecval();
        _due = (ts ? ts : now) + _delay.nsecval();
    }
    if (_due <= now) {
        Packet* p = _p;
        _p = nullptr;
        p->set_timestamp_anno(Timestamp::make_nsec(now));
        _count.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    _timer.schedule_after(Timestamp::make_nsec(_due - now));
    _notifier.sleep();
    return nullptr;
}

bool DelayShaper::wake_hook(Task*, void* self) {
    static_cast<DelayShaper*>(self)->_notifier.wake();
    return true;
}

void DelayShaper::run_timer(Timer*) {
    _notifier.wake();
}

void DelayShaper::cleanup(CleanupStage) {
    if (_p)
        _p->kill();
    _p = nullptr;
}

void DelayShaper::add_handlers() {
    add_read_handler("delay", ReadHandlerFunction([this]() { return _delay.unparse_interval() + "\n"; }));
    add_write_handler("delay", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          Timestamp t;
                          if (!parse_arg(SecondsArg(), s, t, errh) || t.nsecval() < 0)
                              return errh->error("delay: expected a non-negative time");
                          _delay = t;
                          return 0;
                      }));
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(DelayShaper);
