#include "linkunqueue.hh"

#include <cctype>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

#include "../lib/ratelimit.hh"

int LinkUnqueue::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Timestamp lat;
    std::string bw_s;
    if (Args(conf, this, errh)
            .read_mp("LATENCY", SecondsArg(), lat)
            .read_mp("BANDWIDTH", WordArg(), bw_s)
            .complete() < 0)
        return -1;
    double bw;
    if (!parse_bandwidth(bw_s, bw) || bw <= 0)
        return errh->error("BANDWIDTH: expected a positive bandwidth (such as 10Mbps), got %<%s%>", bw_s.c_str());
    if (lat.nsecval() < 0)
        return errh->error("LATENCY: must not be negative");
    _latency = lat;
    _bandwidth = bw;
    return 0;
}

int LinkUnqueue::initialize(ErrorHandler*) {
    _task.initialize(this, true);
    _timer.initialize(this);
    _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    return 0;
}

// The most a busy link may fall behind its schedule and catch up (a burst
// of at most this much transmission time).
static constexpr int64_t kMaxLag = 5000000;   // 5 ms

bool LinkUnqueue::run_task(Task*) {
    int64_t now = Timestamp::now_steady().nsecval();
    int worked = 0;
    // Put packets on the wire while it is free. A link that stayed busy
    // (packets waiting) goes on from where its last packet ended: the task
    // wakes up late, and restarting the clock at "now" would add that
    // lateness to every packet, well below the configured rate. A link
    // that ran empty starts afresh.
    if (_link_free < now && !(_backlogged && now - _link_free < kMaxLag))
        _link_free = now;
    while (_link_free <= now + 1000 && worked < 64) {   // within 1 us counts as free
        Packet* p = input(0).pull();
        if (!p)
            break;
        int64_t tx = int64_t(double(p->length()) * 1e9 / _bandwidth);
        _link_free += tx;
        p->set_timestamp_anno(Timestamp::make_nsec(_link_free + _latency.nsecval()));
        p->set_next(nullptr);
        if (_tail)
            _tail->set_next(p);
        else
            _head = p;
        _tail = p;
        _size.fetch_add(1, std::memory_order_relaxed);
        ++worked;
    }
    // Deliver what has arrived at the far end.
    int delivered = 0;
    while (_head && _head->timestamp_anno().nsecval() <= now && delivered < 64) {
        Packet* p = _head;
        _head = p->next();
        if (!_head)
            _tail = nullptr;
        p->set_next(nullptr);
        _size.fetch_sub(1, std::memory_order_relaxed);
        p->set_timestamp_anno(Timestamp::now());
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
        ++delivered;
    }
    // Next wake-up: the next delivery, or the link becoming free if there
    // may be more to send.
    int64_t next = INT64_MAX;
    if (_head)
        next = _head->timestamp_anno().nsecval();
    bool more = _signal.active();
    _backlogged = more;
    if (more && _link_free < next)
        next = _link_free;
    if (worked == 64 || delivered == 64 || (more && next <= now))
        _task.fast_reschedule();
    else if (next != INT64_MAX)
        _timer.schedule_after(Timestamp::make_nsec(next - now));
    return worked + delivered > 0;
}

void LinkUnqueue::cleanup(CleanupStage) {
    while (Packet* p = _head) {
        _head = p->next();
        p->set_next(nullptr);
        p->kill();
    }
    _tail = nullptr;
}

void LinkUnqueue::add_handlers() {
    add_read_handler("latency", ReadHandlerFunction([this]() { return _latency.unparse_interval() + "\n"; }));
    add_write_handler("latency", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          Timestamp t;
                          if (!parse_arg(SecondsArg(), s, t, errh) || t.nsecval() < 0)
                              return errh->error("latency: expected a non-negative time");
                          _latency = t;
                          return 0;
                      }));
    add_read_handler("bandwidth", ReadHandlerFunction([this]() { return unparse_bandwidth(_bandwidth) + "\n"; }));
    add_write_handler("bandwidth", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          double bw;
                          std::string w = s;
                          while (!w.empty() && isspace((unsigned char) w.back()))
                              w.pop_back();
                          while (!w.empty() && isspace((unsigned char) w.front()))
                              w.erase(0, 1);
                          if (!parse_bandwidth(w, bw) || bw <= 0)
                              return errh->error("bandwidth: expected a positive bandwidth (such as 10Mbps)");
                          _bandwidth = bw;
                          return 0;
                      }));
    add_read_handler("size", ReadHandlerFunction([this]() { return std::to_string(_size.load()) + "\n"; }));
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(LinkUnqueue);
