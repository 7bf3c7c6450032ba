// Bare library calls for the compression benchmarks: the same work as the
// engines (same calls, buffer sizes and LZ4 ring) without their checks.
#pragma once

#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "compression/compressor_engine.hh"
#include "compression/shim_packet.hh"
#include "corpus.hh"

namespace bench {

using namespace compression;

constexpr size_t PAYLOAD = 1400;

// The same work done with the libraries directly: one reused context per
// method, the same buffer sizes, the same LZ4 ring.
class Bare {
  public:
    Bare(int id, int level) : _id(id), _level(level), _out(OUT_SIZE), _ring(LZ4_RING_SIZE) {
        switch (id) {
        case ENGINE_LZ4:
            _lz4 = LZ4_createStream();
            break;
        case ENGINE_LZ4HC:
            _lz4hc = LZ4_createStreamHC();
            break;
        case ENGINE_ZSTD:
            _cctx = ZSTD_createCCtx();
            _cstream = ZSTD_createCStream();
            ZSTD_initCStream(_cstream, level);
            break;
        case ENGINE_ZLIB:
            deflateInit(&_zs, level);
            deflateInit(&_zl, level);
            break;
        }
    }
    ~Bare() {
        if (_lz4)
            LZ4_freeStream(_lz4);
        if (_lz4hc)
            LZ4_freeStreamHC(_lz4hc);
        ZSTD_freeCCtx(_cctx);
        ZSTD_freeCStream(_cstream);
        if (_id == ENGINE_ZLIB) {
            deflateEnd(&_zs);
            deflateEnd(&_zl);
        }
    }
    void reset() {
        _pos = 0;
        if (_lz4)
            LZ4_resetStream(_lz4);
        if (_lz4hc)
            LZ4_resetStreamHC_fast(_lz4hc, LZ4HC_CLEVEL_DEFAULT);
        if (_cstream)
            ZSTD_initCStream(_cstream, _level);
        if (_id == ENGINE_ZLIB)
            deflateReset(&_zs);
    }
    int compress(const uint8_t* src, size_t len, bool streaming) {
        char* out = reinterpret_cast<char*>(_out.data());
        const char* in = reinterpret_cast<const char*>(src);
        switch (_id) {
        case ENGINE_LZ4:
        case ENGINE_LZ4HC: {
            if (!streaming)
                return _id == ENGINE_LZ4 ? LZ4_compress_default(in, out, int(len), int(OUT_SIZE))
                                         : LZ4_compress_HC(in, out, int(len), int(OUT_SIZE), LZ4HC_CLEVEL_DEFAULT);
            char* r = reinterpret_cast<char*>(_ring.data()) + _pos;
            std::memcpy(r, src, len);
            int n = _id == ENGINE_LZ4 ? LZ4_compress_fast_continue(_lz4, r, out, int(len), int(OUT_SIZE), 1)
                                      : LZ4_compress_HC_continue(_lz4hc, r, out, int(len), int(OUT_SIZE));
            _pos += uint32_t(len);
            if (_pos > LZ4_RING_WRAP)
                _pos = 0;
            return n;
        }
        case ENGINE_ZSTD: {
            if (!streaming)
                return int(ZSTD_compressCCtx(_cctx, out, OUT_SIZE, src, len, _level));
            ZSTD_inBuffer ib = {src, len, 0};
            ZSTD_outBuffer ob = {out, OUT_SIZE, 0};
            ZSTD_compressStream(_cstream, &ob, &ib);
            ZSTD_flushStream(_cstream, &ob);
            return int(ob.pos);
        }
        case ENGINE_ZLIB: {
            z_stream* s = streaming ? &_zs : &_zl;
            s->next_in = const_cast<Bytef*>(src);
            s->avail_in = uInt(len);
            s->next_out = _out.data();
            s->avail_out = uInt(OUT_SIZE);
            deflate(s, streaming ? Z_SYNC_FLUSH : Z_FINISH);
            int n = int(OUT_SIZE - s->avail_out);
            if (!streaming)
                deflateReset(s);
            return streaming ? n - 4 : n;
        }
        }
        return 0;
    }

  private:
    int _id, _level;
    std::vector<uint8_t> _out, _ring;
    uint32_t _pos = 0;
    LZ4_stream_t* _lz4 = nullptr;
    LZ4_streamHC_t* _lz4hc = nullptr;
    ZSTD_CCtx* _cctx = nullptr;
    ZSTD_CStream* _cstream = nullptr;
    z_stream _zs{}, _zl{};
};

// Bare decoders: the library calls the engine makes, without its checks.
class BareDecoder {
  public:
    BareDecoder() : _out(OUT_SIZE), _ring(LZ4_RING_SIZE), _tmp(OUT_SIZE + 4) {
        _lz4 = LZ4_createStreamDecode();
        _dctx = ZSTD_createDCtx();
        _dstream = ZSTD_createDStream();
        ZSTD_initDStream(_dstream);
        inflateInit(&_zs);
        inflateInit(&_zl);
    }
    ~BareDecoder() {
        LZ4_freeStreamDecode(_lz4);
        ZSTD_freeDCtx(_dctx);
        ZSTD_freeDStream(_dstream);
        inflateEnd(&_zs);
        inflateEnd(&_zl);
    }
    void reset() {
        LZ4_setStreamDecode(_lz4, nullptr, 0);
        _pos = 0;
        ZSTD_initDStream(_dstream);
        inflateReset(&_zs);
    }
    int decompress(int id, const uint8_t* src, size_t len, bool streaming) {
        const char* in = reinterpret_cast<const char*>(src);
        if (id == ENGINE_LZ4 || id == ENGINE_LZ4HC) {
            if (!streaming)
                return LZ4_decompress_safe(in, reinterpret_cast<char*>(_out.data()), int(len), int(LZ4_MAX_BLOCK));
            char* dst = reinterpret_cast<char*>(_ring.data()) + _pos;
            int n = LZ4_decompress_safe_continue(_lz4, in, dst, int(len), int(LZ4_MAX_BLOCK));
            if (n > 0) {
                _pos += uint32_t(n);
                if (_pos > LZ4_RING_WRAP)
                    _pos = 0;
                std::memcpy(_out.data(), dst, size_t(n));
            }
            return n;
        }
        if (id == ENGINE_ZSTD) {
            if (!streaming)
                return int(ZSTD_decompressDCtx(_dctx, _out.data(), OUT_SIZE, src, len));
            ZSTD_inBuffer ib = {src, len, 0};
            ZSTD_outBuffer ob = {_out.data(), OUT_SIZE, 0};
            while (ib.pos < ib.size)
                if (ZSTD_isError(ZSTD_decompressStream(_dstream, &ob, &ib)))
                    return -1;
            return int(ob.pos);
        }
        z_stream* s = streaming ? &_zs : &_zl;
        if (streaming) {  // the packet with the sync-flush trailer put back
            std::memcpy(_tmp.data(), src, len);
            std::memcpy(_tmp.data() + len, "\x00\x00\xff\xff", 4);
            src = _tmp.data();
            len += 4;
        }
        s->next_in = const_cast<Bytef*>(src);
        s->avail_in = uInt(len);
        s->next_out = _out.data();
        s->avail_out = uInt(OUT_SIZE);
        inflate(s, streaming ? Z_SYNC_FLUSH : Z_FINISH);
        if (!streaming)
            inflateReset(s);
        return int(OUT_SIZE - s->avail_out);
    }

  private:
    std::vector<uint8_t> _out, _ring, _tmp;
    uint32_t _pos = 0;
    LZ4_streamDecode_t* _lz4;
    ZSTD_DCtx* _dctx;
    ZSTD_DStream* _dstream;
    z_stream _zs{}, _zl{};
};

// IPv4 + TCP (20 bytes) + payload.
inline std::vector<uint8_t> tcp_packet(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b(40 + payload.size(), 0);
    b[0] = 0x45;
    b[8] = 64;
    b[9] = 6;
    uint8_t a[8] = {10, 0, 0, 1, 192, 168, 0, 1};
    std::memcpy(&b[12], a, 8);
    b[32] = 0x50;
    std::memcpy(&b[40], payload.data(), payload.size());
    set_ip_total(b.data(), uint32_t(b.size()));
    return b;
}

inline std::vector<std::vector<uint8_t>> payloads(const corpus::Sample& s) {
    auto pkts = corpus::packets(s.data, PAYLOAD);
    if (pkts.size() > 1 && pkts.back().size() < PAYLOAD)
        pkts.pop_back();
    return pkts;
}

inline double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

}  // namespace bench
