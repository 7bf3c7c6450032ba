#include "infinitesource.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

InfiniteSource::InfiniteSource() : _task(this) {}

int InfiniteSource::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string data = "Random bullshit in a packet, at least 64 bytes long. Well, now it is.";
    int64_t limit = -1;
    int burst = 1;
    int length = -1;
    bool active = true, stop = false, timestamp = false;
    if (Args(conf, this, errh)
            .read_p("DATA", data)
            .read_p("LIMIT", limit)
            .read_p("BURST", BoundedIntArg(1, 1 << 20), burst)
            .read_p("ACTIVE", active)
            .read("LENGTH", BoundedIntArg(0, 1 << 16), length)
            .read("STOP", stop)
            .read("TIMESTAMP", timestamp)
            .complete() < 0)
        return -1;
    if (length >= 0) {
        // Repeat (or cut) DATA to LENGTH bytes.
        std::string d;
        if (data.empty())
            d.assign(size_t(length), '\0');
        else
            while (d.size() < size_t(length))
                d += data;
        d.resize(size_t(length));
        data = d;
    }
    _data = data;
    _limit = limit;
    _burst = burst;
    _active = active;
    _stop = stop;
    _timestamp = timestamp;
    if (router()->initialized() && output_is_push(0) && _active)
        _task.reschedule();
    return 0;
}

int InfiniteSource::initialize(ErrorHandler*) {
    if (output_is_push(0))
        _task.initialize(this, _active);
    return 0;
}

void InfiniteSource::take_state(Element* old, ErrorHandler*) {
    // A hot-swapped source continues its count (it does not restart).
    InfiniteSource* o = static_cast<InfiniteSource*>(old);
    _count.store(o->_count.load());
    if (_limit >= 0 && int64_t(_count.load()) >= _limit)
        _task.unschedule();
}

bool InfiniteSource::run_task(Task*) {
    if (!_active)
        return false;
    int n = _burst;
    if (_limit >= 0) {
        int64_t left = _limit - int64_t(_count.load(std::memory_order_relaxed));
        if (left < n)
            n = left > 0 ? int(left) : 0;
    }
    for (int i = 0; i < n; ++i) {
        Packet* p = make_packet();
        if (!p)
            break;
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
    }
    if (_limit >= 0 && int64_t(_count.load(std::memory_order_relaxed)) >= _limit) {
        if (_stop)
            router()->please_stop_driver();
        return n > 0;
    }
    _task.fast_reschedule();
    return n > 0;
}

Packet* InfiniteSource::pull(int) {
    if (!_active)
        return nullptr;
    if (_limit >= 0 && int64_t(_count.load(std::memory_order_relaxed)) >= _limit) {
        if (_stop)
            router()->please_stop_driver();
        return nullptr;
    }
    Packet* p = make_packet();
    if (p)
        _count.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void InfiniteSource::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count.store(0);
                          if (output_is_push(0) && _active)
                              _task.reschedule();
                          return 0;
                      }),
                      Handler::h_button);
    add_reconfigure_handlers("data", "DATA", 0);
    add_reconfigure_handlers("limit", "LIMIT", 1);
    add_reconfigure_handlers("burst", "BURST", 2);
    add_reconfigure_handlers("active", "ACTIVE", 3);
    add_reconfigure_handlers("length", "LENGTH");
    add_reconfigure_handlers("stop", "STOP");
    if (output_is_push(0))
        add_task_handlers(&_task);
}

QUILO_HOST_ELEMENT(InfiniteSource);
