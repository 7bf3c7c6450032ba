#include "compression/wcompressor.hh"

#include "common/wlogger.hh"

void WCompressor::configure(const WCompBase& s, int thread_id, const std::string& owner_name) {
    _min_data_len = s._min_data_len;
    _compressor = s._compressor;
    _method = s._method;
    _level = s._level;
    _force_stateless = s._force_stateless;
    _master_fallback = false;
    _new_stream = true;
    _thread_id = thread_id;
    _owner = owner_name;
    _pc.set_names(owner_name, ". Thread " + std::to_string(thread_id));
}

int WCompressor::initialize() {
    bool offered = _compressor == COMP_ZSTD || _compressor == COMP_ZLIB;
    return _pc.init(offered ? int(_compressor) : int(COMP_NONE), _level);
}

void WCompressor::set_force_stateless() {
    SpinlockGuard g(_lock);
    _force_stateless = true;
}

void WCompressor::unforce_stateless() {
    SpinlockGuard g(_lock);
    _force_stateless = false;
}

void WCompressor::set_master_fallback() {
    SpinlockGuard g(_lock);
    _master_fallback = true;
}

void WCompressor::reset_master_fallback() {
    SpinlockGuard g(_lock);
    _master_fallback = false;
}

void WCompressor::hard_set_force_stateless() {
    _lock.acquire();
    _force_stateless = true;
    _new_stream = true;
    int r = _pc.engine().reset_stream();
    _lock.release();
    if (r < 0)
        WLogger::error("%s %s. Thread %i", _owner.c_str(), _pc.error(), _thread_id);
}

void WCompressor::set_level(int level) {
    SpinlockGuard g(_lock);
    if (_pc.adapt_level(level) == 0)
        _level = level;
}
