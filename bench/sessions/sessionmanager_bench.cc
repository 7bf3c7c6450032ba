// Per-packet cost of SessionManager for packets of existing sessions, with
// 1,000 and 1,000,000 sessions in the table, on one and two threads.
//
// Each thread owns one packet and rewrites its source address and port before
// every push so that successive packets hit random sessions (and, with a
// million sessions, miss the caches as real traffic does). The "rewrite_only"
// baseline measures that rewriting alone; subtract it for the manager's share.
#include <benchmark/benchmark.h>

#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <arpa/inet.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "sessions/sessionmanager.hh"

namespace {

// Leaves packets with their owner: the benchmark reuses them.
class Hold : public Element {
  public:
    const char* class_name() const override { return "QuiloBenchHold"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet*) override {}
};

struct Setup {
    Master* master = nullptr;
    Router* router = nullptr;
    SessionManager* sm = nullptr;
    size_t sessions = 0;
};

// One router per table size, built on first use and kept for the run.
Setup& setup(size_t nsessions) {
    static std::mutex m;
    std::lock_guard<std::mutex> g(m);
    static std::map<size_t, Setup> setups;
    static bool loaded = [] {
        click_add_element_type<Hold>("QuiloBenchHold");
        return init_module() == 0;
    }();
    (void)loaded;
    Setup& s = setups[nsessions];
    if (s.sm)
        return s;
    s.master = new Master(2);
    s.router = Router::create("WConf(MAX_PEERS 1, LOG_LEVEL 4); sm :: SessionManager; h :: QuiloBenchHold;"
                              "Idle -> [0]sm[0] -> [0]h; Idle -> [1]sm[1] -> [1]h;",
                              "bench", {}, ErrorHandler::default_handler(), s.master);
    if (!s.router || s.router->initialize(ErrorHandler::default_handler()) < 0)
        abort();
    s.sm = static_cast<SessionManager*>(s.router->find("sm"));
    SessionPacket sp{};
    sp.proto = 6;
    sp.tcp_flags = 0x10;
    sp.daddr = htonl(0xc0a80001);
    sp.dport = htons(443);
    for (size_t i = 0; i < nsessions; ++i) {
        sp.saddr = htonl(0x0a000000u + uint32_t(i >> 8));
        sp.sport = htons(uint16_t(1024 + (i & 0xFF)));
        s.sm->track(sp, 1, Timestamp::make_sec(1000), nullptr, 0);
    }
    s.sessions = s.sm->tcp_sessions();
    if (s.sessions != nsessions)
        abort();
    return s;
}

// Ethernet + IPv4 + TCP frame of session 0.
Packet* make_frame() {
    uint8_t b[54] = {};
    b[12] = 0x08;
    uint8_t* ip = b + 14;
    ip[0] = 0x45;
    ip[3] = 40;
    ip[8] = 64;
    ip[9] = 6;
    uint32_t d = htonl(0xc0a80001);
    std::memcpy(ip + 16, &d, 4);
    uint16_t dp = htons(443);
    std::memcpy(ip + 22, &dp, 2);
    ip[32] = 0x50;
    ip[33] = 0x10;
    WritablePacket* p = Packet::make(64, b, sizeof b, 0);
    p->set_mac_header(p->data(), 14);
    p->set_timestamp_anno(Timestamp::make_sec(1000));
    return p;
}

std::vector<uint32_t> random_sessions(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> v(1 << 16);
    for (auto& x : v)
        x = uint32_t(rng() % n);
    return v;
}

inline void rewrite(Packet* p, uint32_t i) {
    unsigned char* ip = const_cast<unsigned char*>(p->network_header());
    uint32_t s = htonl(0x0a000000u + (i >> 8));
    uint16_t sp = htons(uint16_t(1024 + (i & 0xFF)));
    std::memcpy(ip + 12, &s, 4);
    std::memcpy(ip + 20, &sp, 2);
}

void BM_SessionManagerExisting(benchmark::State& state) {
    Setup& s = setup(size_t(state.range(0)));
    click_set_current_thread_id(state.thread_index());  // router threads 0 and 1
    Packet* p = make_frame();
    auto idx = random_sessions(s.sessions, 17 + unsigned(state.thread_index()));
    size_t k = 0;
    for (auto _ : state) {
        rewrite(p, idx[k++ & 0xFFFF]);
        s.sm->push(0, p);
    }
    if (session_id_anno(p) == 0)
        state.SkipWithError("packet was not tracked");
    p->kill();
    click_set_current_thread_id(-1);
    state.SetItemsProcessed(state.iterations());
}

void BM_RewriteOnly(benchmark::State& state) {
    Packet* p = make_frame();
    auto idx = random_sessions(size_t(state.range(0)), 17 + unsigned(state.thread_index()));
    size_t k = 0;
    for (auto _ : state) {
        rewrite(p, idx[k++ & 0xFFFF]);
        benchmark::DoNotOptimize(p->network_header()[12]);
        benchmark::ClobberMemory();
    }
    p->kill();
    state.SetItemsProcessed(state.iterations());
}

// Baselines for the large table: random reads from a huge-page array the
// size of the manager's slot array at this session count. Dependent reads
// (each address needs the previous value) give this machine's memory latency;
// independent reads show how far overlapping misses bring it down, the floor
// for a manager whose packets' lookups overlap.
void BM_RandomMemoryRead(benchmark::State& state) {
    bool dependent = state.range(1) != 0;
    // The manager's slot array at this session count: 32-byte slots, the
    // table kept under 3/4 full with a power-of-two size (2^21 slots for a
    // million sessions, 2^11 for a thousand).
    size_t slots = 64;
    while (slots * 3 < size_t(state.range(0)) * 4)
        slots *= 2;
    size_t bytes = slots * 32;
    bytes = (bytes + (size_t(2) << 20) - 1) & ~((size_t(2) << 20) - 1);
    auto* mem = static_cast<uint64_t*>(std::aligned_alloc(size_t(2) << 20, bytes));
    madvise(mem, bytes, MADV_HUGEPAGE);
    std::memset(mem, 1, bytes);
    size_t words = bytes / 8;
    auto idx = random_sessions(words, 23);
    size_t k = 0;
    uint64_t acc = 0;
    if (dependent) {
        for (auto _ : state) {
            acc += mem[(idx[k++ & 0xFFFF] * 2654435761u + acc) % words];
            benchmark::DoNotOptimize(acc);
        }
    } else {
        for (auto _ : state) {
            acc += mem[idx[k++ & 0xFFFF]];
            benchmark::DoNotOptimize(acc);
        }
    }
    std::free(mem);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_SessionManagerExisting)->Arg(1000)->Arg(1000000)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_RewriteOnly)->Arg(1000)->Arg(1000000)->Threads(1);
BENCHMARK(BM_RandomMemoryRead)->ArgNames({"sessions", "dependent"})->ArgsProduct({{1000, 1000000}, {1, 0}})->Threads(1);

BENCHMARK_MAIN();
