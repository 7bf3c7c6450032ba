#include "sessions/bypasshandler.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include "common/registration.hh"
#include "common/wlogger.hh"

BypassHandler::BypassHandler() : _timer(this) {}

int BypassHandler::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    HandlerCall call;
    uint32_t hold = 0;
    bool verbose = false;
    if (Args(conf, this, errh)
            .read_mp("BYPASS", HandlerCallArg(HandlerCall::writable), call)
            .read_mp("HOLD", hold)
            .read_p("VERBOSE", verbose)
            .complete() < 0)
        return -1;
    _call = call;
    _hold = hold;
    _verbose = verbose;
    return 0;
}

int BypassHandler::initialize(ErrorHandler* errh) {
    if (_call.initialize_write(this, errh) < 0)
        return -1;
    _packets = 0;
    _silence = 0;
    _timer.initialize(this);
    _timer.schedule_after_sec(1);
    if (write(true))
        _bypass = true;
    return 0;
}

void BypassHandler::cleanup(CleanupStage) { _timer.unschedule(); }

bool BypassHandler::write(bool on) {
    int r = _call.call_write(on ? "true" : "false");
    if (r != 0)
        WLogger::debug("%s bypass write \"%s\" failed (%i)", name().c_str(), on ? "true" : "false", r);
    return r == 0;
}

void BypassHandler::push(int, Packet* p) {
    if (_packets.fetch_add(1, std::memory_order_relaxed) == 0 && _bypass.load() && _cache_ready.load()) {
        if (write(false)) {
            _bypass = false;
            WLogger::debug("%s Peer Alive", name().c_str());
        }
    }
    _count.fetch_add(1, std::memory_order_relaxed);
    p->kill();
}

void BypassHandler::tick() {
    if (_packets.exchange(0) == 0) {
        uint32_t s = _silence.load() + 1;
        if (s == 0)  // saturate
            s = ~uint32_t(0);
        _silence = s;
        if (!_bypass.load() && (s >= _hold || !_cache_ready.load())) {
            if (_verbose)
                WLogger::debug("%s Peer Idle", name().c_str());
            if (write(true))
                _bypass = true;
        }
    } else {
        _silence = 0;
        if (_bypass.load() && _cache_ready.load()) {
            if (_verbose)
                WLogger::debug("%s Peer Alive (2)", name().c_str());
            if (write(false))
                _bypass = false;
        } else if (!_bypass.load() && !_cache_ready.load()) {
            // The switch-on at start failed: the cache cannot serve yet.
            if (write(true))
                _bypass = true;
        }
    }
}

void BypassHandler::run_timer(Timer*) {
    tick();
    _timer.reschedule_after_sec(1);
}

void BypassHandler::add_handlers() {
    add_read_handler("bypass", ReadHandlerFunction([this] { return std::string(bypass_on() ? "true" : "false"); }));
    add_read_handler("cache_ready", ReadHandlerFunction([this] { return std::string(cache_ready() ? "true" : "false"); }));
    add_read_handler("silence", ReadHandlerFunction([this] { return std::to_string(silence()); }));
    add_read_handler("count", ReadHandlerFunction([this] { return std::to_string(_count.load()); }));
}

QUILO_REGISTER_ELEMENT(BypassHandler);
