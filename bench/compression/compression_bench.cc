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
#include "bare.hh"
#include "corpus.hh"

using namespace compression;
using namespace bench;

namespace {


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
