// Packets per second through the runtime against a hand-written loop that
// does the same work without it: take a buffer from the same per-thread
// pool, copy the packet bytes in, count the packet and its bytes, free it.
//
//   InfiniteSource -> Counter -> Discard          (the short chain)
//   InfiniteSource -> Null x 10 -> Counter -> Discard
//
// at 64 and 1500 bytes, one thread.  Prints Google Benchmark's table, then
// the ratio runtime / hand loop for each case.
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int64_t packets_per_iteration = 1000000;

std::string payload(int len) {
    std::string s(size_t(len), '\0');
    for (int i = 0; i < len; ++i)
        s[size_t(i)] = char('a' + i % 26);
    return s;
}

void BM_HandLoop(benchmark::State& state) {
    int len = int(state.range(0));
    std::string data = payload(len);
    uint64_t count = 0, bytes = 0;
    for (auto _ : state) {
        for (int64_t i = 0; i < packets_per_iteration; ++i) {
            WritablePacket* p = Packet::make(Packet::default_headroom, data.data(), uint32_t(len), 0);
            ++count;
            bytes += p->length();
            benchmark::DoNotOptimize(p->data()[0]);
            p->kill();
        }
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(int64_t(count));
}

void run_router(benchmark::State& state, int nulls) {
    int len = int(state.range(0));
    std::string chain;
    for (int i = 0; i < nulls; ++i)
        chain += " -> Null";
    std::string conf = "InfiniteSource(LENGTH " + std::to_string(len) + ", LIMIT " +
                       std::to_string(packets_per_iteration) + ", BURST 32, STOP true)" + chain +
                       " -> c :: Counter -> Discard;";
    int64_t total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Master m(1);
        Router* r = Router::create(conf, "bench", {}, ErrorHandler::default_handler(), &m);
        if (!r || r->initialize(ErrorHandler::default_handler()) < 0) {
            state.SkipWithError("configuration failed");
            delete r;
            return;
        }
        state.ResumeTiming();
        m.run(r);
        state.PauseTiming();
        total += std::stoll(HandlerCall::call_read(r, "c.count"));
        delete r;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(total);
}

void BM_CounterChain(benchmark::State& state) { run_router(state, 0); }
void BM_NullChain10(benchmark::State& state) { run_router(state, 10); }

BENCHMARK(BM_HandLoop)->Arg(64)->Arg(1500)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_CounterChain)->Arg(64)->Arg(1500)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_NullChain10)->Arg(64)->Arg(1500)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// Remembers items/s per benchmark name for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (auto& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end())
                rate[r.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rate;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    printf("\nruntime / hand-written loop (packets per second):\n");
    for (const char* size : {"64", "1500"}) {
        double hand = rep.rate[std::string("BM_HandLoop/") + size + "/min_time:0.500"];
        for (const char* b : {"BM_CounterChain", "BM_NullChain10"}) {
            double v = rep.rate[std::string(b) + "/" + size + "/min_time:0.500"];
            if (hand > 0 && v > 0)
                printf("  %-16s %5s bytes: %6.2f Mpps vs %6.2f Mpps  ratio %.2f\n", b, size, v / 1e6, hand / 1e6,
                       v / hand);
        }
    }
    benchmark::Shutdown();
    return 0;
}
