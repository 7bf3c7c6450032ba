#include "compression/compressor_engine.hh"

#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/shim.hh"

namespace compression {

uint8_t shim_flag(int compressor) {
    switch (compressor) {
    case ENGINE_LZ4:
        return WSHIM_LZ4;
    case ENGINE_LZ4HC:
        return WSHIM_LZ4HC;
    case ENGINE_ZSTD:
        return WSHIM_ZSTD;
    case ENGINE_ZLIB:
        return WSHIM_ZLIB;
    default:
        return 0;
    }
}

int clamp_level(int compressor, int level) {
    if (compressor == ENGINE_ZLIB && (level > 9 || level < 0))
        return 9;
    if (compressor == ENGINE_ZSTD && (level < 0 || level > ZSTD_maxCLevel()))
        return 11;
    return level;
}

}  // namespace compression

using namespace compression;

namespace {
// Version string handed to the zlib initialisers; zlib checks its first digit.
const char ZLIB_INIT_VERSION[] = "1.2.8";
}  // namespace

CompressorEngine::CompressorEngine() { _err[0] = 0; }

CompressorEngine::~CompressorEngine() { cleanup(); }

void CompressorEngine::swap(CompressorEngine& o) noexcept {
    // The contexts live on the heap and point only into their own buffers
    // (the LZ4 dictionary into the ring), so exchanging the pointers moves
    // a running stream intact.
    std::swap(_compressor, o._compressor);
    std::swap(_level, o._level);
    std::swap(_level_pending, o._level_pending);
    std::swap(_stream_used, o._stream_used);
    std::swap(_max_payload, o._max_payload);
    std::swap(_out, o._out);
    std::swap(_ring, o._ring);
    std::swap(_ring_pos, o._ring_pos);
    std::swap(_lz4, o._lz4);
    std::swap(_lz4hc, o._lz4hc);
    std::swap(_zstd_stream, o._zstd_stream);
    std::swap(_zstd_cctx, o._zstd_cctx);
    std::swap(_zlib_stream, o._zlib_stream);
    std::swap(_zlib_stateless, o._zlib_stateless);
    std::swap(_err, o._err);
}

int CompressorEngine::fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(_err, sizeof(_err), fmt, ap);
    va_end(ap);
    return -1;
}

size_t CompressorEngine::bound(size_t len) const {
    switch (_compressor) {
    case ENGINE_LZ4:
    case ENGINE_LZ4HC:
        return size_t(LZ4_compressBound(int(len)));
    case ENGINE_ZSTD:
        return ZSTD_compressBound(len);
    case ENGINE_ZLIB:
        // deflateBound covers one complete stream; a sync flush adds an empty
        // stored block (at most 5 bytes plus the pending bits).
        return deflateBound(_zlib_stateless, uLong(len)) + 8;
    default:
        return SIZE_MAX;
    }
}

int CompressorEngine::init(int compressor, int level) {
    cleanup();
    _err[0] = 0;
    _compressor = compressor;
    _level = level;
    _level_pending = _stream_used = false;
    if (compressor < ENGINE_LZ4 || compressor > ENGINE_ZLIB) {
        _compressor = ENGINE_NONE;
        return 0;
    }
    _out = static_cast<uint8_t*>(std::malloc(OUT_SIZE));
    if (!_out)
        return fail("Unable to initialize compressor %i", compressor);

    switch (compressor) {
    case ENGINE_LZ4:
    case ENGINE_LZ4HC:
        _ring = static_cast<uint8_t*>(std::calloc(1, LZ4_RING_SIZE));
        if (!_ring)
            return fail("Unable to initialize compressor %i", compressor);
        if (compressor == ENGINE_LZ4) {
            _lz4 = LZ4_createStream();
            if (!_lz4)
                return fail("Unable to initialize compressor %i", compressor);
        } else {
            _lz4hc = LZ4_createStreamHC();
            if (!_lz4hc)
                return fail("Unable to initialize compressor %i", compressor);
        }
        break;
    case ENGINE_ZSTD: {
        _zstd_stream = ZSTD_createCStream();
        _zstd_cctx = ZSTD_createCCtx();
        if (!_zstd_stream || !_zstd_cctx)
            return fail("Unable to initialize compressor %i", compressor);
        size_t r = ZSTD_initCStream(_zstd_stream, level);
        if (ZSTD_isError(r))
            return fail("Unable to initialize compressor %i: %s", compressor, ZSTD_getErrorName(r));
        break;
    }
    case ENGINE_ZLIB: {
        int zl = level > 9 ? 9 : level;
        _zlib_stream = static_cast<z_stream*>(std::calloc(1, sizeof(z_stream)));
        _zlib_stateless = static_cast<z_stream*>(std::calloc(1, sizeof(z_stream)));
        if (!_zlib_stream || !_zlib_stateless)
            return fail("Unable to initialize compressor %i: %i", compressor, Z_MEM_ERROR);
        int r = deflateInit_(_zlib_stream, zl, ZLIB_INIT_VERSION, int(sizeof(z_stream)));
        if (r != Z_OK) {
            std::free(_zlib_stream);
            _zlib_stream = nullptr;
            return fail("Unable to initialize compressor %i: %i", compressor, r);
        }
        r = deflateInit_(_zlib_stateless, zl, ZLIB_INIT_VERSION, int(sizeof(z_stream)));
        if (r != Z_OK) {
            std::free(_zlib_stateless);
            _zlib_stateless = nullptr;
            return fail("Unable to initialize compressor %i: %i", compressor, r);
        }
        break;
    }
    }
    _ring_pos = 0;

    // The largest payload whose worst-case output fits the buffer (and, for
    // LZ4, that the peer's decoder accepts).
    size_t lo = 0, hi = OUT_SIZE;
    if (compressor == ENGINE_LZ4 || compressor == ENGINE_LZ4HC)
        hi = LZ4_MAX_BLOCK;
    while (lo < hi) {
        size_t mid = (lo + hi + 1) / 2;
        if (bound(mid) <= OUT_SIZE)
            lo = mid;
        else
            hi = mid - 1;
    }
    _max_payload = lo;
    return 0;
}

void CompressorEngine::cleanup() {
    std::free(_out);
    _out = nullptr;
    std::free(_ring);
    _ring = nullptr;
    _ring_pos = 0;
    if (_lz4)
        LZ4_freeStream(_lz4);
    _lz4 = nullptr;
    if (_lz4hc)
        LZ4_freeStreamHC(_lz4hc);
    _lz4hc = nullptr;
    ZSTD_freeCStream(_zstd_stream);
    _zstd_stream = nullptr;
    ZSTD_freeCCtx(_zstd_cctx);
    _zstd_cctx = nullptr;
    if (_zlib_stream) {
        deflateEnd(_zlib_stream);
        std::free(_zlib_stream);
        _zlib_stream = nullptr;
    }
    if (_zlib_stateless) {
        deflateEnd(_zlib_stateless);
        std::free(_zlib_stateless);
        _zlib_stateless = nullptr;
    }
    _max_payload = 0;
    _compressor = ENGINE_NONE;
}

int CompressorEngine::reset_stream() {
    _err[0] = 0;
    _stream_used = false;
    switch (_compressor) {
    case ENGINE_LZ4:
        LZ4_initStream(_lz4, sizeof(*_lz4));
        _ring_pos = 0;
        return 0;
    case ENGINE_LZ4HC:
        LZ4_initStreamHC(_lz4hc, sizeof(*_lz4hc));
        LZ4_resetStreamHC_fast(_lz4hc, LZ4HC_CLEVEL_DEFAULT);
        _ring_pos = 0;
        return 0;
    case ENGINE_ZSTD: {
        _level_pending = false;
        size_t r = ZSTD_initCStream(_zstd_stream, _level);
        if (ZSTD_isError(r))
            return fail("unable to initialize compressor %i: %s", _compressor, ZSTD_getErrorName(r));
        return 0;
    }
    case ENGINE_ZLIB: {
        int r = deflateReset(_zlib_stream);
        if (r != Z_OK)
            return fail("unable to reset compressor %i: %i", _compressor, r);
        if (_level_pending) {
            r = deflateParams(_zlib_stream, _level, Z_DEFAULT_STRATEGY);
            if (r != Z_OK)
                return fail("unable to reset compressor %i: %i", _compressor, r);
            _level_pending = false;
        }
        return 0;
    }
    default:
        return 0;
    }
}

int CompressorEngine::set_level(int level) {
    if (_compressor == ENGINE_ZSTD) {
        if (level == 0 || level < ZSTD_minCLevel() || level > ZSTD_maxCLevel())
            return -1;
    } else if (_compressor == ENGINE_ZLIB) {
        if (level < 1 || level > 9)
            return -1;
        // The stateless deflater is reset after every packet: nothing pending.
        if (level != _level && deflateParams(_zlib_stateless, level, Z_DEFAULT_STRATEGY) != Z_OK)
            return -1;
    } else {
        return -1;
    }
    if (level != _level) {
        _level = level;
        _level_pending = true;
    }
    return 0;
}

// Room kept in the output buffer for what a level change adds in front of a
// packet (the end of a zstd frame and the next frame's header).
static constexpr size_t LEVEL_CHANGE_ROOM = 32;

int CompressorEngine::compress(const uint8_t* src, size_t len, bool streaming) {
    if (_compressor == ENGINE_NONE || len == 0 || len > _max_payload)
        return 0;
    _err[0] = 0;
    int r;
    switch (_compressor) {
    case ENGINE_LZ4:
        if (streaming)
            return compress_lz4_stream(src, len, false);
        r = LZ4_compress_default(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(_out), int(len),
                                 int(OUT_SIZE));
        return r > 0 ? r : fail("compressor error - LZ4 output does not fit");
    case ENGINE_LZ4HC:
        if (streaming)
            return compress_lz4_stream(src, len, true);
        r = LZ4_compress_HC(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(_out), int(len),
                            int(OUT_SIZE), LZ4HC_CLEVEL_DEFAULT);
        return r > 0 ? r : fail("compressor error - LZ4HC output does not fit");
    case ENGINE_ZSTD:
        r = compress_zstd(src, len, streaming);
        break;
    case ENGINE_ZLIB:
        r = compress_zlib(src, len, streaming);
        break;
    default:
        return 0;
    }
    // A stream that failed half-way is in an unknown state: start afresh.
    if (r < 0 && streaming) {
        char saved[ERR_SIZE];
        std::memcpy(saved, _err, sizeof(saved));
        reset_stream();
        std::memcpy(_err, saved, sizeof(saved));
    }
    return r;
}

int CompressorEngine::compress_lz4_stream(const uint8_t* src, size_t len, bool hc) {
    // The ring keeps the last blocks at fixed addresses so they serve as the
    // dictionary of the next one. len <= LZ4_MAX_BLOCK and the position never
    // exceeds LZ4_RING_WRAP, so the block always fits.
    uint8_t* dst = _ring + _ring_pos;
    std::memcpy(dst, src, len);
    int r;
    if (hc)
        r = LZ4_compress_HC_continue(_lz4hc, reinterpret_cast<const char*>(dst), reinterpret_cast<char*>(_out),
                                     int(len), int(OUT_SIZE));
    else
        r = LZ4_compress_fast_continue(_lz4, reinterpret_cast<const char*>(dst), reinterpret_cast<char*>(_out),
                                       int(len), int(OUT_SIZE), 1);
    if (r <= 0) {
        reset_stream();
        return fail("compressor stream error - %s output does not fit", hc ? "LZ4HC" : "LZ4");
    }
    _ring_pos += uint32_t(len);
    if (_ring_pos > LZ4_RING_WRAP)
        _ring_pos = 0;
    return r;
}

int CompressorEngine::compress_zstd(const uint8_t* src, size_t len, bool streaming) {
    if (!streaming) {
        size_t r = ZSTD_compressCCtx(_zstd_cctx, _out, OUT_SIZE, src, len, _level);
        if (ZSTD_isError(r))
            return fail("compressor error - %s", ZSTD_getErrorName(r));
        return int(r);
    }
    ZSTD_inBuffer in = {src, len, 0};
    ZSTD_outBuffer out = {_out, OUT_SIZE, 0};
    if (_level_pending && len + LEVEL_CHANGE_ROOM <= _max_payload) {
        // A new level needs a new frame. The packets so far were flushed, so
        // ending the frame adds only its last (empty) block, which goes out
        // in front of this packet's frame.
        if (_stream_used) {
            size_t r = ZSTD_endStream(_zstd_stream, &out);
            if (ZSTD_isError(r))
                return fail("compressor stream flush error - %s", ZSTD_getErrorName(r));
            if (r != 0)
                return fail("compressor stream flush error - output buffer full");
        }
        size_t r = ZSTD_initCStream(_zstd_stream, _level);
        if (ZSTD_isError(r))
            return fail("compressor stream compress error - %s", ZSTD_getErrorName(r));
        _level_pending = false;
    }
    _stream_used = true;
    while (in.pos < in.size) {
        size_t before = in.pos;
        size_t r = ZSTD_compressStream(_zstd_stream, &out, &in);
        if (ZSTD_isError(r))
            return fail("compressor stream compress error - %s", ZSTD_getErrorName(r));
        r = ZSTD_flushStream(_zstd_stream, &out);
        if (ZSTD_isError(r))
            return fail("compressor stream flush error - %s", ZSTD_getErrorName(r));
        // Each packet must decode completely on arrival: a flush that could
        // not finish (output full) is a failure, as is a call that took nothing.
        if (r != 0)
            return fail("compressor stream flush error - output buffer full");
        if (in.pos == before)
            return fail("compressor stream compress error - no progress");
    }
    if (out.pos == 0)
        return fail("compressor stream flush error - no output");
    return int(out.pos);
}

int CompressorEngine::compress_zlib(const uint8_t* src, size_t len, bool streaming) {
    z_stream* s = streaming ? _zlib_stream : _zlib_stateless;
    s->next_out = _out;
    s->avail_out = uInt(OUT_SIZE);
    if (streaming && _level_pending && len + LEVEL_CHANGE_ROOM <= _max_payload) {
        // The stream goes on with the new parameters; whatever deflateParams
        // still had to write goes in front of this packet's bytes.
        s->next_in = Z_NULL;
        s->avail_in = 0;
        int r = deflateParams(s, _level, Z_DEFAULT_STRATEGY);
        if (r != Z_OK)
            return fail("compressor stream error - zlib %i", r);
        _level_pending = false;
    }
    s->next_in = const_cast<Bytef*>(src);
    s->avail_in = uInt(len);
    int r = deflate(s, streaming ? Z_SYNC_FLUSH : Z_FINISH);
    size_t produced = OUT_SIZE - s->avail_out;
    if (!streaming) {
        deflateReset(s);
        if (r != Z_STREAM_END)
            return fail("compressor error - zlib %i", r);
        return int(produced);
    }
    // A sync flush that filled the output may be incomplete; the stream can
    // only go on if it ended with the empty stored block 00 00 FF FF, which
    // is not sent.
    if (r != Z_OK || s->avail_out == 0 || s->avail_in != 0 || produced <= 4 ||
        std::memcmp(_out + produced - 4, "\x00\x00\xff\xff", 4) != 0)
        return fail("compressor stream error - zlib %i", r);
    return int(produced - 4);
}
