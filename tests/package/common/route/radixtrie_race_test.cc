// Edits on one thread, lookups on another: a lookup answers from the trie as
// it stood between updates, never from one half-written. Built into the
// route tests (plain and sanitizer builds) and, where the compiler offers
// it, into a ThreadSanitizer program of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "common/radixtrie.hh"

namespace {

struct Pair {
    uint32_t gw;
    int32_t port;
};
constexpr Pair A{0x01010101, 1}, B{0x02020202, 2}, D{0x04040404, 3}, E{0x05050505, 0};

bool is(uint32_t gw, int32_t port, Pair p) { return gw == p.gw && port == p.port; }

// Stores or removes one prefix, keeping the pair counts right.
struct Writer {
    RadixTrie& t;
    void put(uint32_t addr, int len, Pair p, uint32_t slot) {
        int k = t.acquire_pair(p.gw, p.port);
        ASSERT_GT(k, 0);
        uint32_t old = t.get(addr, len);
        t.set(addr, len, RadixTrie::make_key(k, slot));
        if (old)
            t.release_pair(RadixTrie::key_pair(old));
    }
    void drop(uint32_t addr, int len) {
        if (uint32_t old = t.get(addr, len)) {
            t.erase(addr, len);
            t.release_pair(RadixTrie::key_pair(old));
        }
    }
};

}  // namespace

// The ThreadSanitizer program names its copy apart.
#ifndef QUILO_RACE_SUITE
#define QUILO_RACE_SUITE RadixTrie
#endif

TEST(QUILO_RACE_SUITE, LookupsNeverSeeHalfAnUpdate) {
    constexpr uint32_t net12 = 0x0a000000, net24 = 0x0a010200, probe = 0x0a010205;
    RadixTrie t;
    Writer w{t};
    w.put(net12, 12, A, 0);

    std::atomic<bool> done{false};
    std::atomic<uint64_t> lookups{0}, wrong{0};
    std::thread reader([&] {
        std::mt19937 rng(2);
        while (!done.load(std::memory_order_acquire)) {
            uint32_t gw;
            int32_t port;
            // 10.1.2.5 always has a route: the /12 (A) or the /24 (B or D).
            if (!t.lookup(probe, &gw, &port) || !(is(gw, port, A) || is(gw, port, B) || is(gw, port, D)))
                wrong.fetch_add(1, std::memory_order_relaxed);
            // 20.0.0.0/8 holds only churn routes (E).
            uint32_t c = 0x14000000 | (rng() & 0x00ffffff);
            if (t.lookup(c, &gw, &port) && !is(gw, port, E))
                wrong.fetch_add(1, std::memory_order_relaxed);
            lookups.fetch_add(1, std::memory_order_relaxed);
        }
    });

    // Under a loaded machine the writer could finish before the reader's
    // first lookup; start the edits only once lookups are running.
    for (int spins = 0; lookups.load(std::memory_order_relaxed) == 0 && spins < 10000; ++spins)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::mt19937 rng(1);
    static const int churn_lens[] = {9, 16, 20, 24, 28, 32};
    for (int i = 0; i < 2000; ++i) {
        w.put(net24, 24, B, 1);
        {
            // Gone and back with another pair: the /12's answer in between
            // must stay invisible.
            RadixTrie::Update u(t);
            w.drop(net24, 24);
            w.put(net24, 24, D, 1);
        }
        w.drop(net24, 24);
        // Churn elsewhere, so that nodes are emptied, recycled and reused.
        for (int k = 0; k < 8; ++k) {
            uint32_t slot = 2 + rng() % 64;
            uint32_t addr = 0x14000000 | (slot * 0x00010101u);
            int len = churn_lens[slot % 6];
            if (rng() % 2)
                w.put(addr, len, E, slot);
            else
                w.drop(addr, len);
        }
        if (i % 50 == 49) {
            // Flush and rebuild in one update, the pairs taken in another
            // order: the /12's pair slot held E before.
            RadixTrie::Update u(t);
            t.clear();
            w.put(0x14000000, 9, E, 2);
            w.put(net12, 12, A, 0);
            ASSERT_EQ(RadixTrie::key_pair(t.get(net12, 12)), 2);
        }
    }
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_EQ(wrong.load(), 0u) << "of " << lookups.load() << " lookups";
    EXPECT_GT(lookups.load(), 0u);
    EXPECT_LE(t.pairs_in_use(), 2);
}
