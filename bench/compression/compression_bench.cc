// Compression engines against the bare library calls on the same 1400-byte
// payloads (text, HTML, executables, already-compressed files of this
// machine), per engine and method, in one run. Prints the throughput ratio
// engine / library (goal: at least 0.8) and the compression ratio of each
// method; streaming against stateless shows what the stream buys.
//
//   compression_bench [--benchmark_min_time=0.2] [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/shim.hh"
#include "compression/compressor_engine.hh"
#include "compression/decompressor_engine.hh"
#include "corpus.hh"

using namespace compression;

namespace {

constexpr size_t PAYLOAD = 1400;
constexpr int ZSTD_LEVEL = 3;
constexpr int ZLIB_LEVEL = 6;

struct Engine {
    int id;
    const char* name;
    int level;
};
const Engine kEngines[] = {
    {ENGINE_LZ4, "lz4", 1}, {ENGINE_LZ4HC, "lz4hc", 1}, {ENGINE_ZSTD, "zstd", ZSTD_LEVEL}, {ENGINE_ZLIB, "zlib", ZLIB_LEVEL}};

std::vector<corpus::Sample>& samples() {
    static auto s = corpus::load(1024 * 1024);
    return s;
}

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

std::vector<std::vector<uint8_t>> payloads(const corpus::Sample& s) {
    auto pkts = corpus::packets(s.data, PAYLOAD);
    if (pkts.size() > 1 && pkts.back().size() < PAYLOAD)
        pkts.pop_back();
    return pkts;
}

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Google Benchmark cases, per packet. Streams restart at every pass over the
// sample so that they never find the previous pass in their history.
void run(benchmark::State& state, const Engine& e, bool streaming, const corpus::Sample& s, bool bare) {
    auto pkts = payloads(s);
    CompressorEngine eng;
    Bare lib(e.id, e.level);
    if (eng.init(e.id, e.level) != 0)
        state.SkipWithError(eng.error());
    size_t i = 0, in = 0;
    for (auto _ : state) {
        const auto& p = pkts[i];
        int n = bare ? lib.compress(p.data(), p.size(), streaming) : eng.compress(p.data(), p.size(), streaming);
        benchmark::DoNotOptimize(n);
        in += p.size();
        if (++i == pkts.size()) {
            i = 0;
            if (bare)
                lib.reset();
            else
                eng.reset_stream();
        }
    }
    state.SetBytesProcessed(int64_t(in));
}

// One timed pass over a sample: returns thread CPU seconds; `wire` gets the output.
template <class F>
double timed_pass(const std::vector<std::vector<uint8_t>>& pkts, F&& f) {
    double t0 = thread_cpu_seconds();
    for (size_t i = 0; i < pkts.size(); ++i)
        f(i);
    return thread_cpu_seconds() - t0;
}

struct Row {
    std::string name;
    double lib_mbs, eng_mbs, ratio, cx;
};

// Library and engine alternate pass by pass; the fastest of `rounds` passes of
// each is kept, which filters out the other processes on the machine.
Row compare_compress(const Engine& e, bool streaming, const corpus::Sample& s, int rounds) {
    auto pkts = payloads(s);
    size_t bytes = 0;
    for (const auto& p : pkts)
        bytes += p.size();
    CompressorEngine eng;
    eng.init(e.id, e.level);
    Bare lib(e.id, e.level);
    double best_lib = 1e9, best_eng = 1e9;
    size_t out = 0;
    for (int r = 0; r < rounds; ++r) {
        lib.reset();
        best_lib = std::min(best_lib, timed_pass(pkts, [&](size_t i) {
                                benchmark::DoNotOptimize(lib.compress(pkts[i].data(), pkts[i].size(), streaming));
                            }));
        eng.reset_stream();
        size_t o = 0;
        best_eng = std::min(best_eng, timed_pass(pkts, [&](size_t i) {
                                int n = eng.compress(pkts[i].data(), pkts[i].size(), streaming);
                                // Stateless packets that do not shrink go out uncompressed.
                                bool used = n > 0 && (streaming || size_t(n) < pkts[i].size());
                                o += used ? size_t(n) : pkts[i].size();
                            }));
        out = o;
    }
    return {std::string(e.name) + (streaming ? "/streaming/" : "/stateless/") + s.kind, bytes / best_lib / 1e6,
            bytes / best_eng / 1e6, best_lib / best_eng, double(bytes) / double(out)};
}

Row compare_decompress(const Engine& e, bool streaming, const corpus::Sample& s, int rounds) {
    auto pkts = payloads(s);
    size_t bytes = 0;
    for (const auto& p : pkts)
        bytes += p.size();
    CompressorEngine c;
    c.init(e.id, e.level);
    std::vector<std::vector<uint8_t>> wire;
    for (const auto& p : pkts) {
        int n = c.compress(p.data(), p.size(), streaming);
        wire.emplace_back(c.out(), c.out() + (n > 0 ? n : 0));
    }
    DecompressorEngine eng;
    eng.init();
    BareDecoder lib;
    uint8_t flags = uint8_t(shim_flag(e.id) | (streaming ? WSHIM_STREAM : 0));
    double best_lib = 1e9, best_eng = 1e9;
    size_t bad = 0;
    for (int r = 0; r < rounds; ++r) {
        lib.reset();
        best_lib = std::min(best_lib, timed_pass(pkts, [&](size_t i) {
                                benchmark::DoNotOptimize(lib.decompress(e.id, wire[i].data(), wire[i].size(), streaming));
                            }));
        // A fresh decoder for each pass: the LZ4 stream decoder is never reset.
        eng.cleanup();
        eng.init();
        best_eng = std::min(best_eng, timed_pass(pkts, [&](size_t i) {
                                int n = eng.decompress(flags, wire[i].data(), wire[i].size());
                                bad += n != int(pkts[i].size());
                            }));
    }
    if (bad)
        std::fprintf(stderr, "%s: %zu packets did not decode\n", e.name, bad);
    return {std::string(e.name) + (streaming ? "/streaming/" : "/stateless/") + s.kind, bytes / best_lib / 1e6,
            bytes / best_eng / 1e6, best_lib / best_eng, 0};
}

}  // namespace

int main(int argc, char** argv) {
    // Per-packet Google Benchmark cases run only when asked for with
    // --benchmark_filter; the comparison table below always runs.
    bool gbench = false;
    int rounds = 7;
    for (int i = 1; i < argc; ++i) {
        gbench |= std::strncmp(argv[i], "--benchmark_filter", 18) == 0;
        if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, std::atoi(argv[i] + 9));
    }
    benchmark::Initialize(&argc, argv);
    if (gbench) {
        for (const auto& s : samples())
            for (const auto& e : kEngines)
                for (bool streaming : {false, true})
                    for (bool bare : {true, false}) {
                        std::string name = std::string("compress/") + e.name + "/" +
                                           (streaming ? "streaming" : "stateless") + "/" + s.kind + "/" +
                                           (bare ? "library" : "engine");
                        benchmark::RegisterBenchmark(name.c_str(), [&e, streaming, &s, bare](benchmark::State& st) {
                            run(st, e, streaming, s, bare);
                        });
                    }
        benchmark::RunSpecifiedBenchmarks();
    }

    std::printf("Payloads of %zu bytes; zstd level %d, zlib level %d; best of %d passes, thread CPU time.\n", PAYLOAD,
                ZSTD_LEVEL, ZLIB_LEVEL, rounds);
    std::printf("data: ");
    for (const auto& s : samples())
        std::printf("%s=%s (%zu bytes)  ", s.kind.c_str(), s.source.c_str(), s.data.size());
    std::printf("\n\n%-28s %10s %10s %8s %8s\n", "compress", "lib MB/s", "eng MB/s", "eng/lib", "comp.x");
    double worst = 1e9;
    std::map<std::string, double> cx;
    for (const auto& e : kEngines)
        for (bool streaming : {false, true})
            for (const auto& s : samples()) {
                Row r = compare_compress(e, streaming, s, rounds);
                worst = std::min(worst, r.ratio);
                cx[r.name] = r.cx;
                std::printf("%-28s %10.1f %10.1f %8.2f %8.2f\n", r.name.c_str(), r.lib_mbs, r.eng_mbs, r.ratio, r.cx);
            }
    std::printf("\n%-28s %10s %10s %8s\n", "decompress", "lib MB/s", "eng MB/s", "eng/lib");
    for (const auto& e : kEngines)
        for (bool streaming : {false, true})
            for (const auto& s : samples()) {
                Row r = compare_decompress(e, streaming, s, rounds);
                worst = std::min(worst, r.ratio);
                std::printf("%-28s %10.1f %10.1f %8.2f\n", r.name.c_str(), r.lib_mbs, r.eng_mbs, r.ratio);
            }
    std::printf("\n%-20s %10s %10s %8s   (original / compressed, one pass, incompressible packets counted as sent)\n",
                "compression ratio", "stateless", "streaming", "gain");
    for (const auto& e : kEngines)
        for (const auto& s : samples()) {
            double a = cx[std::string(e.name) + "/stateless/" + s.kind];
            double b = cx[std::string(e.name) + "/streaming/" + s.kind];
            std::printf("%-20s %10.2f %10.2f %7.2fx\n", (std::string(e.name) + "/" + s.kind).c_str(), a, b,
                        a > 0 ? b / a : 0.0);
        }
    std::printf("\nworst engine/library throughput ratio: %.2f (goal >= 0.80)\n", worst);
    benchmark::Shutdown();
    return 0;
}
