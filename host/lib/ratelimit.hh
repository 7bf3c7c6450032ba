// Rates for the rated elements: a token bucket over the steady clock and a
// parser for bandwidths ("10Mbps", "1.5MBps", "64kbps", plain bytes/s).
#pragma once

#include <cstdint>
#include <string>

// Tokens accrue at `rate` per second up to `burst`; one packet (or one byte)
// costs one token.
class TokenBucket {
  public:
    void set(double rate, double burst) {
        _rate = rate;
        _burst = burst < 1 ? 1 : burst;
        if (_tokens > _burst)
            _tokens = _burst;
    }
    double rate() const { return _rate; }
    // Adds the tokens earned up to `now_ns` (steady clock).
    void refill(int64_t now_ns) {
        if (_last == 0) {
            _last = now_ns;
            _tokens = _burst;
            return;
        }
        if (now_ns > _last) {
            _tokens += double(now_ns - _last) * _rate / 1e9;
            if (_tokens > _burst)
                _tokens = _burst;
            _last = now_ns;
        }
    }
    bool take(double n) {
        if (_tokens >= n) {
            _tokens -= n;
            return true;
        }
        return false;
    }
    // Takes n tokens even if that puts the bucket in debt (a packet larger
    // than the burst still goes, then the bucket must pay it back).
    void force(double n) { _tokens -= n; }
    bool positive() const { return _tokens > 0; }
    double tokens() const { return _tokens; }
    // Nanoseconds until n tokens are available.
    int64_t wait_ns(double n) const {
        if (_tokens >= n || _rate <= 0)
            return 0;
        return int64_t((n - _tokens) * 1e9 / _rate) + 1;
    }

  private:
    double _rate = 0, _burst = 1, _tokens = 0;
    int64_t _last = 0;
};

// Parses a bandwidth into bytes per second. Suffixes: bps, kbps/Kbps, Mbps,
// Gbps (bits); Bps, kBps/KBps, MBps, GBps (bytes); no suffix: bytes/s.
bool parse_bandwidth(const std::string& s, double& bytes_per_sec);
std::string unparse_bandwidth(double bytes_per_sec);
