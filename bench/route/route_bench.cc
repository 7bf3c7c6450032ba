// Route lookups on one thread, with 100,000 prefixes of a realistic length
// mix (60% /24, 35% /16 to /23, 5% /25 to /32, in 10,000 allocated /16
// blocks) and destinations drawn from the routes (a random route, a random
// address inside it), measured in one run against:
//   - a plain longest-prefix match: one hash table per prefix length,
//     probed from the longest length down;
//   - this machine's rate of dependent random reads (a pointer chase over
//     cache lines in a random cycle) over a table of the trie's size;
// and WRadixIPLookup on packets (destination annotation rewritten before
// each push). Prints the ratios at the end; the goal is radix lookups at
// no less than a third of the pointer-chase rate (a lookup costs at most
// three dependent reads). Independent lookups overlap in the processor as
// packets' lookups do; a run with each destination taken from the previous
// answer shows what one lookup costs alone, in pointer-chase reads.
#include <benchmark/benchmark.h>

#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <arpa/inet.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wradixiplookup.hh"

namespace {

constexpr size_t nroutes = 100000;
constexpr size_t ndests = size_t(1) << 20;

// Leaves packets with their owner: the benchmark reuses them.
class Hold : public Element {
  public:
    const char* class_name() const override { return "QuiloBenchHold"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet*) override {}
};

struct Route {
    uint32_t addr;  // host order, masked
    int len;
    uint32_t gw;  // network order
    int port;
};

uint32_t mask_of(int len) { return len ? ~uint32_t(0) << (32 - len) : 0; }

struct Setup {
    std::vector<Route> routes;
    std::vector<uint32_t> dests;  // host order
    Master* master = nullptr;
    Router* router = nullptr;
    WRadixIPLookup* rt = nullptr;
    // The reference: per length, masked address -> gateway << 32 | port.
    std::unordered_map<uint32_t, uint64_t> by_len[33];
    std::vector<int> lengths;  // lengths in use, longest first
};

Setup& setup() {
    static Setup s = [] {
        Setup s;
        std::mt19937_64 rng(42);
        std::set<uint32_t> blocks;
        while (blocks.size() < 10000)
            blocks.insert(uint32_t(1 + rng() % 223) << 24 | uint32_t(rng() & 0xff) << 16);
        std::vector<uint32_t> block(blocks.begin(), blocks.end());
        std::set<uint64_t> seen;
        while (s.routes.size() < nroutes) {
            unsigned r = unsigned(rng() % 100);
            int len = r < 60 ? 24 : r < 95 ? 16 + int(rng() % 8) : 25 + int(rng() % 8);
            uint32_t addr = (block[rng() % block.size()] | uint32_t(rng() & 0xffff)) & mask_of(len);
            if (!seen.insert(uint64_t(len) << 32 | addr).second)
                continue;
            int pair = int(rng() % 200);
            s.routes.push_back({addr, len, pair < 8 ? 0 : htonl(0x0a000000u | uint32_t(pair)), pair % 8});
        }
        for (size_t i = 0; i < ndests; ++i) {
            const Route& r = s.routes[rng() % s.routes.size()];
            s.dests.push_back(r.addr | (uint32_t(rng()) & ~mask_of(r.len)));
        }
        for (const Route& r : s.routes)
            s.by_len[r.len][r.addr] = uint64_t(r.gw) << 32 | uint32_t(r.port);
        for (int len = 32; len >= 0; --len)
            if (!s.by_len[len].empty())
                s.lengths.push_back(len);

        click_add_element_type<Hold>("QuiloBenchHold");
        init_module();
        s.master = new Master(1);
        std::string conf = "rt :: WRadixIPLookup; h :: QuiloBenchHold; Idle -> rt;";
        for (int i = 0; i < 8; ++i)
            conf += "rt[" + std::to_string(i) + "] -> [" + std::to_string(i) + "]h;";
        s.router = Router::create(conf, "bench", {}, ErrorHandler::default_handler(), s.master);
        if (!s.router || s.router->initialize(ErrorHandler::default_handler()) < 0)
            abort();
        s.rt = static_cast<WRadixIPLookup*>(s.router->find("rt"));
        s.rt->begin_edits();
        for (const Route& r : s.routes)
            if (s.rt->add_route(IPRoute(IPAddress(htonl(r.addr)), IPAddress::make_prefix(r.len), IPAddress(r.gw), r.port),
                                false, nullptr, ErrorHandler::default_handler()) < 0)
                abort();
        s.rt->end_edits();
        std::fprintf(stderr, "%zu routes, %d (gateway, output) pairs, trie %zu nodes, %.1f MB\n", s.rt->route_count(),
                     s.rt->pairs_in_use(), s.rt->trie().nodes_in_use(), s.rt->trie().memory_bytes() / 1048576.0);
        return s;
    }();
    return s;
}

void BM_RadixLookup(benchmark::State& state) {
    Setup& s = setup();
    const RadixTrie& t = s.rt->trie();
    size_t i = 0;
    uint64_t acc = 0;
    for (auto _ : state) {
        uint32_t gw;
        int32_t port;
        if (t.lookup(s.dests[i++ & (ndests - 1)], &gw, &port))
            acc += uint32_t(port) + gw;
    }
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(state.iterations());
}

// The same with each destination chosen by the previous answer, so that
// lookups cannot overlap: the latency of one, in pointer-chase reads.
void BM_RadixLookupDependent(benchmark::State& state) {
    Setup& s = setup();
    const RadixTrie& t = s.rt->trie();
    size_t i = 0;
    uint32_t gw = 0;
    int32_t port = 0;
    for (auto _ : state) {
        t.lookup(s.dests[(i++ + uint32_t(port)) & (ndests - 1)], &gw, &port);
    }
    benchmark::DoNotOptimize(gw);
    state.SetItemsProcessed(state.iterations());
}

void BM_ReferenceLookup(benchmark::State& state) {
    Setup& s = setup();
    size_t i = 0;
    uint64_t acc = 0;
    for (auto _ : state) {
        uint32_t a = s.dests[i++ & (ndests - 1)];
        for (int len : s.lengths) {
            auto it = s.by_len[len].find(a & mask_of(len));
            if (it != s.by_len[len].end()) {
                acc += it->second;
                break;
            }
        }
    }
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(state.iterations());
}

// Dependent random reads over as many bytes as the trie holds, in memory
// taken the same way (huge-page aligned and advised).
void BM_PointerChase(benchmark::State& state) {
    Setup& s = setup();
    struct alignas(64) Line {
        size_t next;
    };
    size_t bytes = s.rt->trie().memory_bytes();
    bytes = (bytes + (size_t(2) << 20) - 1) & ~((size_t(2) << 20) - 1);
    size_t n = bytes / sizeof(Line);
    auto* lines = static_cast<Line*>(std::aligned_alloc(size_t(2) << 20, bytes));
    madvise(lines, bytes, MADV_HUGEPAGE);
    std::vector<size_t> order(n);
    for (size_t k = 0; k < n; ++k)
        order[k] = k;
    std::mt19937_64 rng(7);
    for (size_t k = n - 1; k > 0; --k)  // one cycle through every line
        std::swap(order[k], order[rng() % k]);
    for (size_t k = 0; k < n; ++k)
        lines[order[k]].next = order[(k + 1) % n];
    size_t at = order[0];
    for (auto _ : state)
        at = lines[at].next;
    benchmark::DoNotOptimize(at);
    std::free(lines);
    state.SetItemsProcessed(state.iterations());
}

void BM_ElementPacket(benchmark::State& state) {
    Setup& s = setup();
    uint8_t b[34] = {};
    b[14] = 0x45;
    WritablePacket* p = Packet::make(64, b, sizeof b, 0);
    p->set_network_header(p->data() + 14, 20);
    size_t i = 0;
    for (auto _ : state) {
        set_dst_ip_anno(p, htonl(s.dests[i++ & (ndests - 1)]));
        s.rt->push(0, p);
    }
    p->kill();
    if (s.rt->no_route_count())
        state.SkipWithError("a destination had no route");
    state.SetItemsProcessed(state.iterations());
}

// Prints every run as usual, then the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end())
                rate[r.run_name.function_name] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double dep = rate["BM_RadixLookupDependent"];
        double radix = rate["BM_RadixLookup"], ref = rate["BM_ReferenceLookup"], chase = rate["BM_PointerChase"],
               elem = rate["BM_ElementPacket"];
        if (!radix || !chase)
            return;
        std::printf("\nradix lookups       %8.2f M/s\n", radix / 1e6);
        std::printf("reference (hash/len) %7.2f M/s  radix/reference = %.2f\n", ref / 1e6, radix / ref);
        std::printf("pointer chase       %8.2f M/s  radix/chase = %.2f (goal >= 0.33: %s)\n", chase / 1e6,
                    radix / chase, radix * 3 >= chase ? "met" : "missed");
        if (dep)
            std::printf("one at a time       %8.2f M/s  a lookup costs %.2f pointer-chase reads\n", dep / 1e6,
                        chase / dep);
        std::printf("element on packets  %8.2f M/s  element/radix = %.2f\n", elem / 1e6, elem / radix);
    }

  private:
    std::map<std::string, double> rate;
};

}  // namespace

BENCHMARK(BM_PointerChase)->MinTime(1.0);
BENCHMARK(BM_RadixLookup)->MinTime(1.0);
BENCHMARK(BM_RadixLookupDependent)->MinTime(1.0);
BENCHMARK(BM_ReferenceLookup)->MinTime(1.0);
BENCHMARK(BM_ElementPacket)->MinTime(1.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
