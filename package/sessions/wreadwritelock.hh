// WReadWriteLock: a reader-writer lock built from one host Spinlock per host
// thread. The shared side is the calling thread's own spinlock, so readers on
// different threads never touch the same cache line; the exclusive side takes
// every spinlock in index order. Spinlocks are re-entrant for their owner, so
// a thread holding the exclusive side may take its shared side again (a
// session listener that calls unparse_session from inside a notification).
//
// Fast readers (optional, for per-packet paths): the first router thread to
// read through a slot becomes its fast reader and from then on enters the shared
// side with plain stores to a flag in its own slot instead of an atomic
// read-modify-write. A locked instruction per packet would wait for the
// previous packet's stores and so serialise every packet's table miss; the
// flag lets the misses of consecutive packets overlap. The exclusive side
// then has two levels:
//   - acquire_write() takes every spinlock and waits until no fast reader is
//     inside (one process-wide memory barrier, membarrier(2), pairs with the
//     readers' compiler-only fence);
//   - acquire_insert() takes every spinlock only: it excludes other writers
//     and spinlock readers, while fast readers go on. It is for changes made
//     safe for concurrent readers (publishing a new table entry).
// Other threads sharing the slot, and every thread when the kernel lacks
// membarrier(2), take the spinlock (or a full fence) as before.
#pragma once

#include <host/glue.hh>
#include <host/spinlock.hh>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class WReadWriteLock {
  public:
    enum Readers { SPIN_READERS, FAST_READERS };

    // `nthreads` slots; 0 means the host's thread count.
    explicit WReadWriteLock(int nthreads = 0, Readers mode = SPIN_READERS)
        : _fast(mode == FAST_READERS), _asym(_fast && asymmetric()) {
        resize(nthreads);
    }

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
        _owners.reset(new Owner[size_t(_n)]);
    }

    int size() const { return _n; }

    // How a holder of the shared side entered it; release with the same.
    struct ReadTicket {
        void* slot;
        bool fast;
    };

    __attribute__((always_inline)) ReadTicket acquire_read() {
        if (_fast) {
            // The fast reader finds its slot by its thread pointer in the
            // owners array (one cache line, read-only once claimed): a few
            // instructions instead of calls into the host and thread-local
            // lookups per packet. Any slot is correct for any thread (writers
            // take them all), so a router thread id that changes later costs
            // speed only.
            const void* me = thread_token();
            int i = 0;
            while (i < _n && _owners[size_t(i)].thread.load(std::memory_order_relaxed) != me)
                ++i;
            if (__builtin_expect(i == _n, 0))
                i = claim(me);
            Slot& s = _locks[size_t(i)];
            if (_owners[size_t(i)].thread.load(std::memory_order_relaxed) == me) {
                if (s.fast_depth++ > 0)
                    return {&s, true};
                s.reading.store(1, std::memory_order_relaxed);
                reader_fence();
                if (__builtin_expect(!_draining.value.load(std::memory_order_relaxed), 1)) {
                    std::atomic_thread_fence(std::memory_order_acquire);
                    return {&s, true};
                }
                // A writer is draining the readers: wait on the spinlock.
                s.fast_depth = 0;
                s.reading.store(0, std::memory_order_release);
            }
            s.lock.acquire();
            return {&s, false};
        }
        Slot& s = slot();
        s.lock.acquire();
        return {&s, false};
    }

    __attribute__((always_inline)) void release_read(ReadTicket t) {
        Slot& s = *static_cast<Slot*>(t.slot);
        if (t.fast) {
            if (--s.fast_depth == 0)
                s.reading.store(0, std::memory_order_release);
        } else {
            s.lock.release();
        }
    }

    // Exclusive side with fast readers drained.
    void acquire_write() {
        acquire_insert();
        drain_readers();
    }
    void release_write() {
        undrain_readers();
        release_insert();
    }

    // Exclusive side among writers and spinlock readers only.
    void acquire_insert() {
        for (int i = 0; i < _n; ++i)
            _locks[size_t(i)].lock.acquire();
    }
    void release_insert() {
        for (int i = 0; i < _n; ++i)
            _locks[size_t(i)].lock.release();
    }

    // With acquire_insert() held: waits until no fast reader is inside; the
    // caller's own shared side (if it reads too) does not count. Nests.
    void drain_readers();
    void undrain_readers() {
        if (_fast && --_drain_depth == 0)
            _draining.value.store(0, std::memory_order_release);
    }

  private:
    // The slot's index for the calling thread, made its fast reader's when
    // it has none yet.
    int claim(const void* me);

    struct alignas(64) Slot {
        Spinlock lock;
        std::atomic<uint32_t> reading{0};
        uint32_t fast_depth = 0;  // touched by the fast owner only
    };
    struct alignas(64) Flag {
        std::atomic<uint32_t> value{0};
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

    // Distinct for every live thread, and read without a thread-local lookup.
    static const void* thread_token() { return __builtin_thread_pointer(); }

    // True when membarrier(2) serves the writers, so readers need only stop
    // the compiler from moving their accesses.
    static bool asymmetric();
    void reader_fence() const {
        if (_asym)
            std::atomic_signal_fence(std::memory_order_seq_cst);
        else
            std::atomic_thread_fence(std::memory_order_seq_cst);
    }

    int _n = 0;
    bool _fast;
    bool _asym;  // writers use membarrier(2); fixed for the lock's life
    unsigned _drain_depth = 0;  // writers only
    std::unique_ptr<Slot[]> _locks;
    struct Owner {
        std::atomic<const void*> thread{nullptr};  // the slot's fast reader
    };
    std::unique_ptr<Owner[]> _owners;
    Flag _draining;
};

// Scoped holders.
class WReadLock {
  public:
    __attribute__((always_inline)) explicit WReadLock(WReadWriteLock& l) : _l(l), _t(l.acquire_read()) {}
    __attribute__((always_inline)) ~WReadLock() { _l.release_read(_t); }
    WReadLock(const WReadLock&) = delete;
    WReadLock& operator=(const WReadLock&) = delete;

  private:
    WReadWriteLock& _l;
    WReadWriteLock::ReadTicket _t;
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

// Holds the insert level of the exclusive side (see acquire_insert).
class WInsertLock {
  public:
    explicit WInsertLock(WReadWriteLock& l) : _l(l) { _l.acquire_insert(); }
    ~WInsertLock() { _l.release_insert(); }
    WInsertLock(const WInsertLock&) = delete;
    WInsertLock& operator=(const WInsertLock&) = delete;

  private:
    WReadWriteLock& _l;
};
