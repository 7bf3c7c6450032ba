// Re-entrant spinlock: the owning thread may acquire it again; it is
// released when every acquire has been matched by a release.
#ifndef QUILO_HOST_SPINLOCK_HH
#define QUILO_HOST_SPINLOCK_HH

#include <atomic>
#include <cstdint>

class Spinlock {
 public:
    Spinlock() : _owner(nullptr), _depth(0) {}
    Spinlock(const Spinlock&) = delete;
    Spinlock& operator=(const Spinlock&) = delete;

    void acquire() {
        const void* me = self();
        if (_owner.load(std::memory_order_relaxed) == me) {
            ++_depth;
            return;
        }
        const void* expected = nullptr;
        while (!_owner.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) {
            expected = nullptr;
            while (_owner.load(std::memory_order_relaxed) != nullptr)
                __builtin_ia32_pause();
        }
        _depth = 1;
    }
    bool attempt() {
        const void* me = self();
        if (_owner.load(std::memory_order_relaxed) == me) {
            ++_depth;
            return true;
        }
        const void* expected = nullptr;
        if (_owner.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) {
            _depth = 1;
            return true;
        }
        return false;
    }
    void release() {
        if (--_depth == 0)
            _owner.store(nullptr, std::memory_order_release);
    }
    // True if the calling thread holds the lock.
    bool nested() const { return _owner.load(std::memory_order_relaxed) == self(); }
    bool locked() const { return _owner.load(std::memory_order_relaxed) != nullptr; }
    int depth() const { return nested() ? _depth : 0; }

 private:
    // One distinct address per OS thread identifies the owner.
    static const void* self() {
        static thread_local char token;
        return &token;
    }
    std::atomic<const void*> _owner;
    int _depth;
};

// Click's interrupt-safe variant; at user level the same as Spinlock.
class SpinlockIRQ {
 public:
    typedef int flags_t;
    flags_t acquire() { _lock.acquire(); return 0; }
    void release(flags_t) { _lock.release(); }

 private:
    Spinlock _lock;
};

// Scoped holder.
class SpinlockGuard {
 public:
    explicit SpinlockGuard(Spinlock& l) : _l(l) { _l.acquire(); }
    ~SpinlockGuard() { _l.release(); }
    SpinlockGuard(const SpinlockGuard&) = delete;
    SpinlockGuard& operator=(const SpinlockGuard&) = delete;

 private:
    Spinlock& _l;
};

#endif
