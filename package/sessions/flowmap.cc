#include "sessions/flowmap.hh"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <random>

uint64_t flowmap_detail::random_seed() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    return gen();
}

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
}

FlowMap::Slot* FlowMap::alloc_slots(size_t n) {
    size_t bytes = n * sizeof(Slot);
    void* p;
    if (bytes >= kHugePage) {
        bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        p = std::aligned_alloc(kHugePage, bytes);
        if (p)
            madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
    } else {
        bytes = (bytes + 63) & ~size_t(63);  // slots never straddle a cache line
        p = std::aligned_alloc(64, bytes);
    }
    if (!p)
        throw std::bad_alloc();
    std::memset(p, 0, n * sizeof(Slot));
    return static_cast<Slot*>(p);
}

void FlowMap::free_arrays() {
    std::free(_slots);
    delete[] _macs;
}

void FlowMap::grow() {
    size_t ncap = _cap ? _cap * 2 : 64;
    Slot* old = _slots;
    std::unique_ptr<Macs[]> old_macs(_macs);
    size_t ocap = _cap;
    _macs = new Macs[ncap]();
    try {
        _slots = alloc_slots(ncap);
    } catch (...) {
        delete[] _macs;
        _macs = old_macs.release();
        throw;
    }
    _cap = ncap;
    size_t mask = _cap - 1;
    for (size_t i = 0; i < ocap; ++i)
        if (old[i].session_id) {
            size_t j = hash(old[i].key_addrs, old[i].key_ports) & mask;
            while (_slots[j].session_id)
                j = (j + 1) & mask;
            _slots[j] = old[i];
            _macs[j] = old_macs[i];
        }
    std::free(old);
}
