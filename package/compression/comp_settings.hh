// The keywords that WComp and WMTComp share, read and checked in one place:
// MIN_DATA_LEN, COMPRESSOR, METHOD, FORCE_STATELESS, LEVEL and the adaptive
// level (ADAPTIVE, ADAPTIVE_MIN, ADAPTIVE_MAX, ADAPTIVE_OFF).
#pragma once

#include <cstdint>
#include <string>

#include "compression/wcompbase.hh"

class Args;
class ErrorHandler;

struct CompSettings {
    uint16_t min_data_len = 128;
    uint32_t compressor = WCompBase::COMP_ZSTD;
    std::string method_word = "stateless";
    bool force_stateless = true;
    int32_t level = 0;
    bool adaptive = false;
    int32_t adaptive_min = 0, adaptive_max = 0;  // 0: the engine's default range
    bool adaptive_off = true;  // below adaptive_min: no compression

    // Results of check().
    WCompBase::Methods method = WCompBase::METHOD_STATELESS;

    // Adds the keywords to an Args being parsed.
    void read(Args& args);
    // Applies the rules of the keywords: errors ("bad COMPRESSOR", "bad
    // METHOD", a bad adaptive range) return -1; the deprecated engine and a
    // streaming request without an engine warn and are corrected; LEVEL is
    // clamped for its engine. Only zstd and zlib adapt their level: ADAPTIVE
    // with another engine (or LEVEL 0) warns and stays off.
    int check(ErrorHandler* errh);
    // Writes the checked settings into `b` (flags included).
    void apply(WCompBase& b) const;
};
