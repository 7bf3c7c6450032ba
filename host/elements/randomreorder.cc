#include "randomreorder.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/package.hh>

int RandomReorder::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    double prob = 0;
    uint32_t depth = 3;
    Timestamp timeout = Timestamp::make_msec(100);
    if (Args(conf, this, errh)
            .read_p("PROB", prob)
            .read_p("DEPTH", BoundedIntArg(1, 1 << 20), depth)
            .read("TIMEOUT", SecondsArg(), timeout)
            .complete() < 0)
        return -1;
    if (!(prob >= 0 && prob <= 1))
        return errh->error("PROB: must be between 0 and 1");
    _prob = prob;
    _threshold = prob >= 1 ? 0xFFFFFFFFu : uint32_t(prob * 4294967296.0);
    _depth = depth;
    _timeout = timeout;
    return 0;
}

int RandomReorder::initialize(ErrorHandler*) {
    _timer.initialize(this);
    return 0;
}

// Under _lock: takes the held packet out when its turn has come.
Packet* RandomReorder::release_if(bool force) {
    if (!_held || (!force && _left > 0))
        return nullptr;
    Packet* h = _held;
    _held = nullptr;
    return h;
}

void RandomReorder::push(int, Packet* p) {
    _count.fetch_add(1, std::memory_order_relaxed);
    uint32_t t = _threshold.load(std::memory_order_relaxed);
    _lock.acquire();
    if (!_held && t && click_random() <= t - 1) {
        _held = p;
        _left = click_random(1, _depth);
        _passed = 0;
        _lock.release();
        _timer.schedule_after(_timeout);
        return;
    }
    Packet* h = nullptr;
    if (_held) {
        ++_passed;
        if (--_left == 0)
            h = release_if(true);
    }
    _lock.release();
    output(0).push(p);
    if (h) {
        _reordered.fetch_add(1, std::memory_order_relaxed);
        output(0).push(h);
    }
}

void RandomReorder::run_timer(Timer*) {
    _lock.acquire();
    Packet* h = release_if(true);
    bool overtaken = _passed > 0;
    _lock.release();
    if (h) {
        // Traffic stopped (or this thread stalled) before DEPTH packets
        // passed: those that did still overtook it.
        if (overtaken)
            _reordered.fetch_add(1, std::memory_order_relaxed);
        output(0).push(h);
    }
}

void RandomReorder::cleanup(CleanupStage) {
    if (_held)
        _held->kill();
    _held = nullptr;
}

void RandomReorder::add_handlers() {
    add_read_handler("prob", ReadHandlerFunction([this]() { return std::to_string(_prob) + "\n"; }));
    add_write_handler("prob", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          double v;
                          if (!parse_arg(DoubleArg(), s, v, errh) || !(v >= 0 && v <= 1))
                              return errh->error("prob: expected a probability between 0 and 1");
                          _prob = v;
                          _threshold = v >= 1 ? 0xFFFFFFFFu : uint32_t(v * 4294967296.0);
                          return 0;
                      }));
    add_read_handler("reordered", ReadHandlerFunction([this]() { return std::to_string(_reordered.load()) + "\n"; }));
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(RandomReorder);
