#include "compression/decompressor_engine.hh"

#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/shim.hh"

using namespace compression;

namespace {
const char ZLIB_INIT_VERSION[] = "1.2.8";
// The empty stored block that ends every sync flush; the sender strips it.
const uint8_t SYNC_TRAILER[4] = {0x00, 0x00, 0xFF, 0xFF};
}  // namespace

DecompressorEngine::DecompressorEngine() { _err[0] = 0; }

DecompressorEngine::~DecompressorEngine() { cleanup(); }

void DecompressorEngine::swap(DecompressorEngine& o) noexcept {
    std::swap(_out, o._out);
    std::swap(_ring, o._ring);
    std::swap(_ring_pos, o._ring_pos);
    std::swap(_lz4, o._lz4);
    std::swap(_zstd_stream, o._zstd_stream);
    std::swap(_zstd_dctx, o._zstd_dctx);
    std::swap(_zlib_stream, o._zlib_stream);
    std::swap(_zlib_stateless, o._zlib_stateless);
    std::swap(_err, o._err);
}

int DecompressorEngine::fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(_err, sizeof(_err), fmt, ap);
    va_end(ap);
    return -1;
}

int DecompressorEngine::init() {
    cleanup();
    _err[0] = 0;
    _out = static_cast<uint8_t*>(std::malloc(OUT_SIZE));
    _ring = static_cast<uint8_t*>(std::calloc(1, LZ4_RING_SIZE));
    _lz4 = LZ4_createStreamDecode();
    if (!_out || !_ring || !_lz4)
        return fail("Unable to initialize decompressor %i: %s", ENGINE_LZ4, "out of memory");
    _ring_pos = 0;

    _zstd_stream = ZSTD_createDStream();
    _zstd_dctx = ZSTD_createDCtx();
    if (!_zstd_stream || !_zstd_dctx)
        return fail("Unable to initialize cdeompressor %i", ENGINE_ZSTD);
    size_t zr = ZSTD_initDStream(_zstd_stream);
    if (ZSTD_isError(zr))
        return fail("Unable to initialize decompressor %i: %s", ENGINE_ZSTD, ZSTD_getErrorName(zr));

    _zlib_stream = static_cast<z_stream*>(std::calloc(1, sizeof(z_stream)));
    _zlib_stateless = static_cast<z_stream*>(std::calloc(1, sizeof(z_stream)));
    if (!_zlib_stream || !_zlib_stateless)
        return fail("Unable to initialize decompressor %i: %i", ENGINE_ZLIB, Z_MEM_ERROR);
    int r = inflateInit_(_zlib_stream, ZLIB_INIT_VERSION, int(sizeof(z_stream)));
    if (r != Z_OK) {
        std::free(_zlib_stream);
        _zlib_stream = nullptr;
        return fail("Unable to initialize decompressor %i: %i", ENGINE_ZLIB, r);
    }
    r = inflateInit_(_zlib_stateless, ZLIB_INIT_VERSION, int(sizeof(z_stream)));
    if (r != Z_OK) {
        std::free(_zlib_stateless);
        _zlib_stateless = nullptr;
        return fail("Unable to initialize decompressor %i: %i", ENGINE_ZLIB, r);
    }
    return 0;
}

void DecompressorEngine::cleanup() {
    std::free(_out);
    _out = nullptr;
    std::free(_ring);
    _ring = nullptr;
    _ring_pos = 0;
    if (_lz4)
        LZ4_freeStreamDecode(_lz4);
    _lz4 = nullptr;
    ZSTD_freeDStream(_zstd_stream);
    _zstd_stream = nullptr;
    ZSTD_freeDCtx(_zstd_dctx);
    _zstd_dctx = nullptr;
    if (_zlib_stream) {
        inflateEnd(_zlib_stream);
        std::free(_zlib_stream);
        _zlib_stream = nullptr;
    }
    if (_zlib_stateless) {
        inflateEnd(_zlib_stateless);
        std::free(_zlib_stateless);
        _zlib_stateless = nullptr;
    }
}

int DecompressorEngine::reset_stream() {
    _err[0] = 0;
    int ret = 0;
    size_t zr = ZSTD_initDStream(_zstd_stream);
    if (ZSTD_isError(zr))
        ret = fail("unable to reset decompressor %i: %s", ENGINE_ZSTD, ZSTD_getErrorName(zr));
    int r = inflateReset(_zlib_stream);
    if (r != Z_OK && ret == 0)
        ret = fail("unable to reset decompressor %i: %i", ENGINE_ZLIB, r);
    return ret;
}

int DecompressorEngine::decompress(uint8_t flags, const uint8_t* src, size_t len) {
    _err[0] = 0;
    if (!_out)
        return fail("decompressor not initialised");
    if (len == 0 || len > INT_MAX)
        return fail("decompress error - bad data length %zu", len);
    bool streaming = flags & WSHIM_STREAM;
    if (flags & (WSHIM_LZ4 | WSHIM_LZ4HC))
        return decompress_lz4(src, len, streaming);
    if (flags & WSHIM_ZSTD)
        return decompress_zstd(src, len, streaming);
    if (flags & WSHIM_ZLIB)
        return decompress_zlib(src, len, streaming);
    return fail("decompress error - no compressor flag");
}

int DecompressorEngine::decompress_lz4(const uint8_t* src, size_t len, bool streaming) {
    if (!streaming) {
        int r = LZ4_decompress_safe(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(_out), int(len),
                                    int(LZ4_MAX_BLOCK));
        return r > 0 ? r : -1;
    }
    // Blocks decode in place in the ring, where they serve as the dictionary
    // of the next block; the position never exceeds LZ4_RING_WRAP, so a block
    // of at most LZ4_MAX_BLOCK bytes always fits.
    uint8_t* dst = _ring + _ring_pos;
    int r = LZ4_decompress_safe_continue(_lz4, reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst),
                                         int(len), int(LZ4_MAX_BLOCK));
    if (r <= 0)
        return -1;
    _ring_pos += uint32_t(r);
    if (_ring_pos > LZ4_RING_WRAP)
        _ring_pos = 0;
    std::memcpy(_out, dst, size_t(r));
    return r;
}

int DecompressorEngine::decompress_zstd(const uint8_t* src, size_t len, bool streaming) {
    if (!streaming) {
        size_t r = ZSTD_decompressDCtx(_zstd_dctx, _out, OUT_SIZE, src, len);
        if (ZSTD_isError(r))
            return fail("decompressor error - %s", ZSTD_getErrorName(r));
        if (r == 0)
            return fail("decompressor error - empty frame");
        return int(r);
    }
    ZSTD_inBuffer in = {src, len, 0};
    ZSTD_outBuffer out = {_out, OUT_SIZE, 0};
    while (in.pos < in.size) {
        size_t in_before = in.pos, out_before = out.pos;
        size_t r = ZSTD_decompressStream(_zstd_stream, &out, &in);
        if (ZSTD_isError(r))
            return fail("decompress stream error - %s", ZSTD_getErrorName(r));
        if (in.pos == in_before && out.pos == out_before)
            return fail("decompress stream error - no progress");
    }
    // A full output buffer means the packet decodes to more than we hold:
    // part of it would stay behind in the decoder.
    if (out.pos == out.size)
        return fail("decompress stream error - output buffer full");
    if (out.pos == 0)
        return fail("decompress stream error - no output");
    return int(out.pos);
}

int DecompressorEngine::decompress_zlib(const uint8_t* src, size_t len, bool streaming) {
    z_stream* s = streaming ? _zlib_stream : _zlib_stateless;
    s->next_in = const_cast<Bytef*>(src);
    s->avail_in = uInt(len);
    s->next_out = _out;
    s->avail_out = uInt(OUT_SIZE);
    int r;
    if (!streaming) {
        r = inflate(s, Z_FINISH);
        size_t produced = OUT_SIZE - s->avail_out;
        inflateReset(s);
        if (r != Z_STREAM_END || produced == 0)
            return fail("error while decompressing: %i, data_len: %i, decompressed_len: %i", r, int(len),
                        int(produced));
        return int(produced);
    }
    // The sender strips the 00 00 FF FF that ends each sync flush; feed it
    // back after the data so the flush completes.
    r = inflate(s, Z_SYNC_FLUSH);
    if (r == Z_OK && s->avail_in == 0 && s->avail_out != 0) {
        s->next_in = const_cast<Bytef*>(SYNC_TRAILER);
        s->avail_in = sizeof(SYNC_TRAILER);
        r = inflate(s, Z_SYNC_FLUSH);
    }
    size_t produced = OUT_SIZE - s->avail_out;
    // Anything left unread (output full, data after the end of the stream)
    // or nothing produced is a failure, never a partial success.
    if ((r != Z_OK && r != Z_STREAM_END) || s->avail_in != 0 || s->avail_out == 0 || produced == 0) {
        if (r == Z_OK || r == Z_STREAM_END)
            r = Z_BUF_ERROR;
        return fail("error while decompressing: %i, data_len: %i, decompressed_len: %i", r, int(len),
                    int(produced));
    }
    return int(produced);
}
