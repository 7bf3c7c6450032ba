#include <host/glue.hh>
#include <host/routerthread.hh>
#include <host/timestamp.hh>

#include <random>

namespace quilo_host {
// Set by RouterThread on its own thread; -1 elsewhere.
thread_local int current_thread_id = -1;
}

uint32_t click_jiffies() {
    return uint32_t(Timestamp::now().msecval());
}

int click_current_thread_id() {
    int id = quilo_host::current_thread_id;
    return id < 0 ? 0 : id;
}

void click_set_current_thread_id(int id) {
    quilo_host::current_thread_id = id;
}

bool click_is_router_thread() {
    return quilo_host::current_thread_id >= 0;
}

int click_nthreads() {
    Master* m = Master::current();
    return m ? m->nthreads() : 1;
}

uint32_t click_random() {
    static thread_local std::mt19937 gen(std::random_device{}());
    return uint32_t(gen());
}

uint32_t click_random(uint32_t lo, uint32_t hi) {
    if (hi <= lo)
        return lo;
    uint64_t span = uint64_t(hi) - lo + 1;
    return lo + uint32_t(click_random() % span);
}
