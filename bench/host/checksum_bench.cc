// The Internet checksum (click_in_cksum) against a plain loop over
// 16-bit words on the same buffers, at header, small-packet, MTU and jumbo
// lengths and at an odd address.  Prints Google Benchmark's table, then the
// speed-up of the host's checksum over the plain loop for each length.
#include <host/checksum.hh>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace {

std::vector<unsigned char> buffer() {
    std::vector<unsigned char> b(9001 + 1);
    uint32_t x = 12345;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = (unsigned char) (x >> 16);
    }
    return b;
}

// RFC 1071 as usually first written: one 16-bit word per step (kept out of
// line, as the host's checksum is a call into the runtime library).
__attribute__((noinline)) uint16_t plain_cksum(const unsigned char* p, int len) {
    uint32_t sum = 0;
    for (; len > 1; len -= 2, p += 2) {
        uint16_t w;
        std::memcpy(&w, p, 2);
        sum += w;
    }
    if (len == 1)
        sum += *p;  // little-endian: the odd byte is the low byte of its word
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

std::map<std::pair<int, bool>, double> g_rate;  // (len, host?) -> bytes/s

template <bool Host>
void BM_Cksum(benchmark::State& state) {
    static const auto buf = buffer();
    int len = int(state.range(0));
    const unsigned char* p = buf.data() + 1;  // odd address on purpose
    for (auto _ : state) {
        uint16_t c = Host ? click_in_cksum(p, len) : plain_cksum(p, len);
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * len);
}

void BM_Host(benchmark::State& s) { BM_Cksum<true>(s); }
void BM_Plain(benchmark::State& s) { BM_Cksum<false>(s); }

BENCHMARK(BM_Host)->Arg(20)->Arg(64)->Arg(1500)->Arg(9000)->MinTime(0.3);
BENCHMARK(BM_Plain)->Arg(20)->Arg(64)->Arg(1500)->Arg(9000)->MinTime(0.3);

// Collects each run's bytes per second of CPU time for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            std::string name = r.benchmark_name();
            bool host = name.rfind("BM_Host", 0) == 0;
            int len = std::atoi(name.substr(name.find('/') + 1).c_str());
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end())
                g_rate[{len, host}] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    for (int len : {20, 64, 1500, 9000}) {
        auto h = g_rate.find({len, true}), p = g_rate.find({len, false});
        if (h != g_rate.end() && p != g_rate.end() && p->second > 0)
            std::printf("click_in_cksum / plain loop, %5d bytes: %.2fx\n", len, h->second / p->second);
    }
    return 0;
}
