#include "compression/comp_settings.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include <strings.h>

#include "compression/adaptive_level.hh"
#include "compression/compressor_engine.hh"

void CompSettings::read(Args& args) {
    args.read("MIN_DATA_LEN", min_data_len)
        .read("COMPRESSOR", compressor)
        .read("METHOD", WordArg(), method_word)
        .read("FORCE_STATELESS", force_stateless)
        .read("LEVEL", level)
        .read("ADAPTIVE", adaptive)
        .read("ADAPTIVE_MIN", adaptive_min)
        .read("ADAPTIVE_MAX", adaptive_max)
        .read("ADAPTIVE_OFF", adaptive_off);
}

int CompSettings::check(ErrorHandler* errh) {
    if (compressor > WCompBase::COMP_ZLIB)
        return errh->error("bad COMPRESSOR");
    if (compressor == WCompBase::COMP_DEPRECATED) {
        errh->warning("Level 1 = DEPRECATED COMPRESSOR. Setting to default level");
        compressor = WCompBase::COMP_ZSTD;
    }
    if (strcasecmp(method_word.c_str(), "streaming") == 0)
        method = WCompBase::METHOD_STREAMING;
    else if (strcasecmp(method_word.c_str(), "stateless") == 0)
        method = WCompBase::METHOD_STATELESS;
    else
        return errh->error("bad METHOD");
    if (method == WCompBase::METHOD_STREAMING && compressor == WCompBase::COMP_NONE) {
        errh->warning("Compressor does not support streaming. Changing mode to stateless.");
        method = WCompBase::METHOD_STATELESS;
    }
    // A level the engine lacks becomes the engine's fallback (zstd 11, zlib
    // 9). That can cost several times the CPU of the level meant (zstd's
    // fast levels are negative, for instance), so say which level runs.
    if (int clamped = compression::clamp_level(int(compressor), level); clamped != level) {
        errh->warning("LEVEL %d is not a level of COMPRESSOR %u: level %d is used", level, compressor, clamped);
        level = clamped;
    }
    if (!adaptive)
        return 0;
    int engine = int(compressor);
    if (!compression::level_adapts(engine) || level == 0) {
        errh->warning("ADAPTIVE needs COMPRESSOR 4 (zstd) or 5 (zlib) and a LEVEL other than 0; level stays fixed");
        adaptive = false;
        return 0;
    }
    int lo = adaptive_min ? adaptive_min : compression::default_adaptive_min(engine);
    int hi = adaptive_max ? adaptive_max : compression::default_adaptive_max(engine);
    if (!compression::valid_level(engine, lo) || !compression::valid_level(engine, hi) || lo > hi)
        return errh->error("ADAPTIVE_MIN and ADAPTIVE_MAX: bad level range %d to %d for COMPRESSOR %d", lo, hi,
                           engine);
    adaptive_min = lo;
    adaptive_max = hi;
    // The level starts where configured, inside the range.
    level = level < lo ? lo : level > hi ? hi : level;
    return 0;
}

void CompSettings::apply(WCompBase& b) const {
    b._min_data_len = min_data_len;
    b._compressor = WCompBase::Compressors(compressor);
    b._method = method;
    b._force_stateless = force_stateless;
    b._master_fallback = false;
    b._level = level;
}
