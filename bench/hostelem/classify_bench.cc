// IPClassifier expression matching against a hand-written test of the same
// condition, over the same packets in the same run. The last line prints
// the ratio (hand-written time / expression time: 1.0 means as fast).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "classifierexpr.hh"
#include "ipfilterexpr.hh"

namespace {

std::vector<std::vector<uint8_t>> make_packets() {
    std::mt19937 rng(1);
    std::vector<std::vector<uint8_t>> v;
    for (int i = 0; i < 1024; ++i) {
        std::vector<uint8_t> p(60, 0);
        p[0] = 0x45;
        p[9] = (i % 3 == 0) ? 17 : 6;
        uint32_t src = htonl(0x0A000000 | (rng() & 0xFFFF)), dst = htonl(0xC0A80000 | (rng() & 0xFF));
        memcpy(&p[12], &src, 4);
        memcpy(&p[16], &dst, 4);
        uint16_t sport = htons(uint16_t(1024 + rng() % 60000)), dport = htons(i % 4 ? 80 : 443);
        memcpy(&p[20], &sport, 2);
        memcpy(&p[22], &dport, 2);
        p[33] = (i % 5) ? 0x10 : 0x02;
        v.push_back(p);
    }
    return v;
}

const auto packets = make_packets();
const char* const kExpr = "tcp dst port 80 and src net 10.0.0.0/8 or udp";

bool hand(const uint8_t* p, size_t len) {
    if (len < 20)
        return false;
    size_t hl = (p[0] & 15) * 4u;
    if (p[9] == 17)
        return true;
    if (p[9] != 6 || hl < 20 || len < hl + 4 || (((p[6] << 8) | p[7]) & 0x1FFF))
        return false;
    return ((p[hl + 2] << 8) | p[hl + 3]) == 80 && p[12] == 10;
}

double t_expr = 0, t_hand = 0;

void BM_Expression(benchmark::State& st) {
    ipfilter::Expr e;
    ipfilter::parse_expr(kExpr, e, nullptr);
    size_t n = 0, hits = 0;
    for (auto _ : st) {
        const auto& p = packets[n++ & 1023];
        hits += e.match(p.data(), p.size());
    }
    benchmark::DoNotOptimize(hits);
    st.SetItemsProcessed(int64_t(n));
}

void BM_HandWritten(benchmark::State& st) {
    size_t n = 0, hits = 0;
    for (auto _ : st) {
        const auto& p = packets[n++ & 1023];
        hits += hand(p.data(), p.size());
    }
    benchmark::DoNotOptimize(hits);
    st.SetItemsProcessed(int64_t(n));
}

void BM_ClassifierPattern(benchmark::State& st) {
    classifier::Pattern pat;
    classifier::parse_pattern("9/06 22/0050", pat, nullptr);
    size_t n = 0, hits = 0;
    for (auto _ : st) {
        const auto& p = packets[n++ & 1023];
        hits += pat.match(p.data(), p.size());
    }
    benchmark::DoNotOptimize(hits);
    st.SetItemsProcessed(int64_t(n));
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            if (r.benchmark_name() == "BM_Expression")
                t_expr = r.GetAdjustedRealTime();
            if (r.benchmark_name() == "BM_HandWritten")
                t_hand = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_Expression);
BENCHMARK(BM_HandWritten);
BENCHMARK(BM_ClassifierPattern);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    if (t_expr > 0)
        printf("IPClassifier expression vs hand-written test: ratio %.2f (hand-written time / expression time)\n",
               t_hand / t_expr);
    return 0;
}
