#include "sessions/wreadwritelock.hh"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long membarrier(int cmd) { return syscall(__NR_membarrier, cmd, 0, 0); }

// Registers the process for expedited private barriers once; false when the
// kernel (or a seccomp filter) refuses, and readers then fence themselves.
bool register_membarrier() {
    long cmds = membarrier(MEMBARRIER_CMD_QUERY);
    if (cmds < 0 || !(cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED))
        return false;
    return membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
}

}  // namespace

int WReadWriteLock::claim(const void* me) {
    int i = int(&slot() - _locks.get());
    // Only router threads become fast readers: a helper thread that reads a
    // handler early must not leave the router thread of its slot on the
    // spinlock for good.
    const void* none = nullptr;
    if (click_is_router_thread())
        _owners[size_t(i)].thread.compare_exchange_strong(none, me, std::memory_order_relaxed);
    return i;
}

bool WReadWriteLock::asymmetric() {
    static const bool ok = register_membarrier();
    return ok;
}

void WReadWriteLock::drain_readers() {
    if (!_fast || _drain_depth++ > 0)
        return;
    _draining.value.store(1, std::memory_order_relaxed);
    // Either a reader's flag store is visible to the loop below, or the
    // reader sees _draining and backs off to its (held) spinlock.
    if (_asym) {
        if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0)
            std::atomic_thread_fence(std::memory_order_seq_cst);  // cannot happen once registered
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    const void* me = thread_token();
    for (int i = 0; i < _n; ++i) {
        Slot& s = _locks[size_t(i)];
        if (_owners[size_t(i)].thread.load(std::memory_order_relaxed) == me)
            continue;  // the caller's own shared side
        while (s.reading.load(std::memory_order_acquire))
            __builtin_ia32_pause();
    }
}
