// WReadWriteLock: a reader-writer lock built from one host Spinlock per host
// thread. The shared side is the calling thread's own spinlock, so readers on
// different threads never touch the same cache line; the exclusive side takes
// every spinlock in index order. Spinlocks are re-entrant for their owner, so
// a thread holding the exclusive side may take its shared side again (a
// session listener that calls unparse_session from inside a notification).
#pragma once

#include <host/spinlock.hh>
#include <host/glue.hh>

#include <atomic>
#include <cstddef>
#include <memory>

class WReadWriteLock {
  public:
    // `nthreads` slots; 0 means the host's thread count.
    explicit WReadWriteLock(int nthreads = 0) { resize(nthreads); }

    WReadWriteLock(const WReadWriteLock&) = delete;
    WReadWriteLock& operator=(const WReadWriteLock&) = delete;

    // Only while no thread holds the lock (configuration time).
    void resize(int nthreads) {
        if (nthreads <= 0)
            nthreads = click_nthreads();
        if (nthreads <= 0)
            nthreads = 1;
        _n = nthreads;
        _locks.reset(new Slot[size_t(_n)]);
    }

    int size() const { return _n; }

    void acquire_read() { slot().lock.acquire(); }
    void release_read() { slot().lock.release(); }

    // The calling thread's shared side, for holders that release what they
    // took without looking the thread up again.
    Spinlock& read_lock() { return slot().lock; }

    void acquire_write() {
        for (int i = 0; i < _n; ++i)
            _locks[size_t(i)].lock.acquire();
    }
    void release_write() {
        for (int i = 0; i < _n; ++i)
            _locks[size_t(i)].lock.release();
    }

  private:
    struct alignas(64) Slot {
        Spinlock lock;
    };

    Slot& slot() {
        // Router threads use their own index. Other threads (helper threads of
        // elements, tests) get a fixed slot each, spread over the array; the
        // spinlocks are owned per OS thread, so sharing a slot stays correct.
        unsigned id = unsigned(click_is_router_thread() ? click_current_thread_id() : helper_index());
        return _locks[id < unsigned(_n) ? id : id % unsigned(_n)];
    }

    static int helper_index() {
        static std::atomic<int> next{0};
        static thread_local int index = next.fetch_add(1, std::memory_order_relaxed) & 0xFFFF;
        return index;
    }

    int _n = 0;
    std::unique_ptr<Slot[]> _locks;
};

// Scoped holders.
class WReadLock {
  public:
    explicit WReadLock(WReadWriteLock& l) : _l(l.read_lock()) { _l.acquire(); }
    ~WReadLock() { _l.release(); }
    WReadLock(const WReadLock&) = delete;
    WReadLock& operator=(const WReadLock&) = delete;

  private:
    Spinlock& _l;
};

class WWriteLock {
  public:
    explicit WWriteLock(WReadWriteLock& l) : _l(l) { _l.acquire_write(); }
    ~WWriteLock() { _l.release_write(); }
    WWriteLock(const WWriteLock&) = delete;
    WWriteLock& operator=(const WWriteLock&) = delete;

  private:
    WReadWriteLock& _l;
};
