// WCompBase: the compression-control interface of the compression elements
// (WComp, WMTComp). RSP drives it: it forces stateless compression while the
// reliable stream is unavailable and allows streaming again once the
// connection is open; queue managers read the flags to learn whether
// streaming is in force. Found with cast("WCompBase").
//
// The data members are read directly by RSP, always under _lock.
#pragma once

#include <host/spinlock.hh>

#include <cstdint>

class WCompBase {
  public:
    enum Compressors {
        COMP_NONE = 0,
        COMP_DEPRECATED = 1,
        COMP_LZ4 = 2,
        COMP_LZ4HC = 3,
        COMP_ZSTD = 4,
        COMP_ZLIB = 5,
    };
    enum Methods {
        METHOD_STREAMING = 0,
        METHOD_STATELESS = 1,
    };

    virtual ~WCompBase() = default;

    // Every further packet stateless until unforce_stateless().
    virtual void set_force_stateless() = 0;
    // As set_force_stateless(), and the stream starts afresh: the next
    // streaming packet carries WSHIM_START_STREAM.
    virtual void hard_set_force_stateless() = 0;
    virtual void unforce_stateless() = 0;
    // Stateless until reset_master_fallback(); also set by a failed compression.
    virtual void set_master_fallback() = 0;
    virtual void reset_master_fallback() = 0;

    // Whether packets are compressed with the streaming context now. Call
    // with _lock held.
    bool streaming_in_force() const {
        return _method == METHOD_STREAMING && !_force_stateless && !_master_fallback;
    }

    uint16_t _min_data_len = 128;
    Compressors _compressor = COMP_ZSTD;
    Methods _method = METHOD_STATELESS;
    int32_t _level = 0;  // 0 leaves payloads uncompressed
    bool _force_stateless = true;
    bool _master_fallback = false;
    Spinlock _lock;  // recursive; guards the members above and the engine state
};
