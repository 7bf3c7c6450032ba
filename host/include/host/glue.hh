// Process-level glue: jiffies, thread identity, branch hints.
#ifndef QUILO_HOST_GLUE_HH
#define QUILO_HOST_GLUE_HH

#include <cstdint>

#define CLICK_HZ 1000

#ifndef likely
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#endif

// Milliseconds of the wall clock, truncated to 32 bits.  Packet timestamps
// (Timestamp::now()) come from the same clock, so
//   (uint32_t) p->timestamp_anno().msecval() - jiffies_sent
// is a round trip in milliseconds.
uint32_t click_jiffies();

// Index of the router thread the caller runs on, 0 .. click_nthreads() - 1.
// Threads that are not router threads (package helper threads, a test's own
// threads) report 0.
int click_current_thread_id();
// Number of router threads of the running master (the driver's -j).
int click_nthreads();

// Makes the calling thread count as router thread `id` (tests that drive
// elements from their own std::threads); -1 makes it a foreign thread again.
void click_set_current_thread_id(int id);

// True on a router thread (as opposed to a helper thread of some element).
bool click_is_router_thread();

// A random 32-bit value from a per-thread generator.
uint32_t click_random();
// A random value in [lo, hi].
uint32_t click_random(uint32_t lo, uint32_t hi);

#endif
