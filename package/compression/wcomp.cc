#include "compression/wcomp.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include <cstring>
#include <utility>

#include "common/predecessor.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"

WComp::WComp() = default;

WComp::~WComp() = default;

void* WComp::cast(const char* name) {
    if (std::strcmp(name, "WCompBase") == 0)
        return static_cast<WCompBase*>(this);
    if (std::strcmp(name, "WComp") == 0)
        return this;
    return WBase::cast(name);
}

int WComp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    CompSettings set;
    Args args(conf, this, errh);
    set.read(args);
    if (args.complete() < 0 || set.check(errh) < 0)
        return -1;
    std::vector<std::string> rest;
    if (WBase::configure(rest, errh) < 0)
        return -1;
    set.apply(*this);
    _settings = set;
    _new_stream = true;
    return 0;
}

int WComp::initialize(ErrorHandler* errh) {
    _pc.set_names(name(), "");
    if (_pc.init(_compressor, _level) < 0)
        return errh->error("%s", _pc.error());
    if (_settings.adaptive)
        _adapter.start(this, this, _compressor, _level, _settings.adaptive_min, _settings.adaptive_max,
                       _settings.adaptive_off,
                       [this](std::vector<int>& tids) { tids.assign(1, _tid.load(std::memory_order_relaxed)); },
                       [this](int level) { adapt_level(level); });
    return 0;
}

void WComp::adapt_level(int level) {
    SpinlockGuard g(_lock);
    if (_pc.adapt_level(level) == 0)
        _level = level;
}

void WComp::cleanup(CleanupStage) {
    _adapter.stop();
    _pc.cleanup();
}

void WComp::take_state(Element* old_e, ErrorHandler* errh) {
    WComp* old = predecessor_as(this, old_e, "WComp", errh);
    if (!old)
        return;
    _pc.add_counters(old->_pc);
    _lock.acquire();
    old->_lock.acquire();
    const CompSettings &a = _settings, &b = old->_settings;
    bool same = a.compressor == b.compressor && a.level == b.level && a.method == b.method;
    if (same) {
        _pc.engine().swap(old->_pc.engine());
        std::swap(_new_stream, old->_new_stream);
        _force_stateless = old->_force_stateless;
        _master_fallback = old->_master_fallback;
        // An adaptive predecessor may have left its stream at another level:
        // it changes back at the next packet.
        if (_pc.engine().level() != _level)
            _pc.engine().set_level(_level);
    }
    old->_lock.release();
    _lock.release();
    if (same)
        WLogger::debug("%s state taken successfully", name().c_str());
    else
        WLogger::info("%s compressor changed, starting a new stream", name().c_str());
}

void WComp::add_handlers() {
    add_read_handler("active_method", [this]() -> std::string {
        _lock.acquire();
        bool s = streaming_in_force();
        _lock.release();
        return s ? "Streaming" : "Stateless";
    });
    add_read_handler("compressed", [this]() { return std::to_string(compressed_count()); });
    add_read_handler("uncompressed", [this]() { return std::to_string(uncompressed_count()); });
    add_read_handler("passed", [this]() { return std::to_string(passed_count()); });
    add_read_handler("errors", [this]() { return std::to_string(error_count()); });
    add_read_handler("level", [this]() {
        SpinlockGuard g(_lock);
        return std::to_string(_level);
    });
    add_read_handler("adaptive", [this]() { return _adapter.active() ? _adapter.state() : std::string("off"); });
}

void WComp::set_force_stateless() {
    WLogger::info("%s setting force stateless.", name().c_str());
    _lock.acquire();
    _force_stateless = true;
    _lock.release();
}

void WComp::unforce_stateless() {
    WLogger::info("%s clearing force stateless.", name().c_str());
    _lock.acquire();
    _force_stateless = false;
    _lock.release();
}

void WComp::set_master_fallback() {
    WLogger::warn("%s setting master fallback.", name().c_str());
    _lock.acquire();
    _master_fallback = true;
    _lock.release();
}

void WComp::reset_master_fallback() {
    WLogger::info("%s resetting master fallback.", name().c_str());
    _lock.acquire();
    _master_fallback = false;
    _lock.release();
}

void WComp::hard_set_force_stateless() {
    WLogger::info("%s hard setting force", name().c_str());
    _lock.acquire();
    _force_stateless = true;
    _new_stream = true;
    int r = _pc.engine().reset_stream();
    _lock.release();
    if (r < 0)
        WLogger::error("%s %s", name().c_str(), _pc.error());
}

Packet* WComp::simple_action(Packet* p) {
    if (_settings.adaptive) {
        // The adaptive level watches the load of the thread that compresses.
        int tid = compression::current_tid();
        if (tid != _tid.load(std::memory_order_relaxed))
            _tid.store(tid, std::memory_order_relaxed);
    }
    return _pc.process(p, _wconf->shim_config(), *this, _new_stream, 0);
}

QUILO_REGISTER_ELEMENT(WComp);
