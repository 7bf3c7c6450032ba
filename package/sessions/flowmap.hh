// Open-addressing hash tables for the session manager.
//
// FlowMap maps a session key (IPFlowID) to its record; IdSet holds the
// session ids in use. Both use linear probing with backward-shift deletion
// (no tombstones), a power-of-two capacity kept at most 3/4 full, and a seed
// chosen per table so that crafted addresses cannot line up a long probe run.
// Neither is thread-safe: the caller holds the session manager's lock.
#pragma once

#include <host/ipflowid.hh>
#include <host/timestamp.hh>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "sessions/sessionnotifier.hh"

namespace flowmap_detail {

inline uint64_t mix(uint64_t h) {
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    return h;
}

// One 64x64->128-bit multiply folded to 64 bits: a strong, cheap mix of two
// words (the per-packet hash of a session key is one multiply deep).
inline uint64_t mum(uint64_t a, uint64_t b) {
    unsigned __int128 r = (unsigned __int128)a * b;
    return uint64_t(r) ^ uint64_t(r >> 64);
}

uint64_t random_seed();

}  // namespace flowmap_detail

class FlowMap {
  public:
    // The part of a session a packet touches lives in one 32-byte slot, two
    // to a cache line, key included: a lookup of an existing session costs
    // one cache miss. The Ethernet addresses, read only when a session is
    // created or inspected, sit in a parallel array (same index) so they do
    // not dilute the slots. A slot's address is stable only until the next
    // insert or erase.
    struct alignas(32) Slot {
        IPFlowID key;
        uint32_t session_id;  // 0: empty slot
        Timestamp last_activity;
        uint8_t flags;
        uint8_t spare;
        uint16_t vlan;
        uint32_t spare2;
    };
    static_assert(sizeof(Slot) == 32, "session slots are half a cache line");

    struct Macs {
        uint8_t wan[6];
        uint8_t lan[6];
    };

    FlowMap() : _seed0(flowmap_detail::random_seed()), _seed1(flowmap_detail::random_seed() | 1) {}
    ~FlowMap() { free_arrays(); }
    FlowMap(const FlowMap&) = delete;
    FlowMap& operator=(const FlowMap&) = delete;

    size_t size() const { return _size; }
    size_t capacity() const { return _cap; }

    Slot* find(const IPFlowID& key) const {
        if (!_size)
            return nullptr;
        size_t mask = _cap - 1;
        for (size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            Slot& s = _slots[i];
            if (!s.session_id)
                return nullptr;
            if (s.key == key)
                return &s;
        }
    }

    // Inserts a key that is not present and returns its slot, zeroed (MAC
    // addresses included) except for session_id, which must be non-zero.
    Slot* insert(const IPFlowID& key, uint32_t session_id) {
        if ((_size + 1) * 4 > _cap * 3)
            grow();
        size_t mask = _cap - 1;
        size_t i = hash(key) & mask;
        while (_slots[i].session_id)
            i = (i + 1) & mask;
        Slot& s = _slots[i];
        s = Slot{};
        s.key = key;
        s.session_id = session_id;
        _macs[i] = Macs{};
        ++_size;
        return &s;
    }

    // The Ethernet addresses of the session in `s` (a slot of this map).
    Macs& macs(const Slot* s) const { return _macs[size_t(s - _slots)]; }

    // Removes `key`; returns false when absent.
    bool erase(const IPFlowID& key) {
        if (!_size)
            return false;
        size_t mask = _cap - 1;
        size_t i = hash(key) & mask;
        for (;; i = (i + 1) & mask) {
            if (!_slots[i].session_id)
                return false;
            if (_slots[i].key == key)
                break;
        }
        // Shift later members of the probe run back over the hole.
        size_t hole = i;
        for (size_t j = (i + 1) & mask; _slots[j].session_id; j = (j + 1) & mask) {
            size_t home = hash(_slots[j].key) & mask;
            // Move j into the hole unless its home lies cyclically in (hole, j].
            bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (!stays) {
                _slots[hole] = _slots[j];
                _macs[hole] = _macs[j];
                hole = j;
            }
        }
        _slots[hole].session_id = 0;
        --_size;
        return true;
    }

    // Calls f(key, slot) for every entry; f must not insert or erase.
    template <typename F>
    void for_each(F&& f) const {
        for (size_t i = 0; i < _cap; ++i)
            if (_slots[i].session_id)
                f(_slots[i].key, _slots[i]);
    }

    void clear() {
        free_arrays();
        _slots = nullptr;
        _macs = nullptr;
        _cap = 0;
        _size = 0;
    }

    void swap(FlowMap& o) {
        std::swap(_slots, o._slots);
        std::swap(_macs, o._macs);
        std::swap(_cap, o._cap);
        std::swap(_size, o._size);
        std::swap(_seed0, o._seed0);
        std::swap(_seed1, o._seed1);
    }

  private:
    size_t hash(const IPFlowID& k) const {
        uint64_t a = (uint64_t(k.saddr().addr()) << 32) | k.daddr().addr();
        uint64_t b = (uint64_t(k.sport()) << 16) | k.dport();
        // Seeds chosen per table keep crafted keys from sharing a probe run.
        return size_t(flowmap_detail::mum(a ^ _seed0, b ^ _seed1));
    }

    // Zeroed slot arrays; large ones are backed by huge pages where the
    // kernel allows it, so random lookups in big tables miss the TLB less.
    static Slot* alloc_slots(size_t n);
    void free_arrays();

    void grow() {
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
                size_t j = hash(old[i].key) & mask;
                while (_slots[j].session_id)
                    j = (j + 1) & mask;
                _slots[j] = old[i];
                _macs[j] = old_macs[i];
            }
        std::free(old);
    }

    Slot* _slots = nullptr;
    Macs* _macs = nullptr;
    size_t _cap = 0;
    size_t _size = 0;
    uint64_t _seed0, _seed1;
};

// Set of non-zero 32-bit ids (0 marks an empty slot; session id 0 is never used).
class IdSet {
  public:
    IdSet() : _seed(flowmap_detail::random_seed()) {}
    IdSet(const IdSet&) = delete;
    IdSet& operator=(const IdSet&) = delete;

    size_t size() const { return _size; }

    bool contains(uint32_t id) const {
        if (!_size || !id)
            return false;
        size_t mask = _cap - 1;
        for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            if (_slots[i] == id)
                return true;
            if (!_slots[i])
                return false;
        }
    }

    void insert(uint32_t id) {
        if (!id || contains(id))
            return;
        if ((_size + 1) * 4 > _cap * 3)
            grow();
        place(id);
        ++_size;
    }

    void erase(uint32_t id) {
        if (!_size || !id)
            return;
        size_t mask = _cap - 1;
        size_t i = hash(id) & mask;
        for (;; i = (i + 1) & mask) {
            if (!_slots[i])
                return;
            if (_slots[i] == id)
                break;
        }
        size_t hole = i;
        for (size_t j = (i + 1) & mask; _slots[j]; j = (j + 1) & mask) {
            size_t home = hash(_slots[j]) & mask;
            bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (!stays) {
                _slots[hole] = _slots[j];
                hole = j;
            }
        }
        _slots[hole] = 0;
        --_size;
    }

    void clear() {
        if (_cap)
            std::memset(_slots.get(), 0, _cap * sizeof(uint32_t));
        _size = 0;
    }

    void swap(IdSet& o) {
        std::swap(_slots, o._slots);
        std::swap(_cap, o._cap);
        std::swap(_size, o._size);
        std::swap(_seed, o._seed);
    }

  private:
    size_t hash(uint32_t id) const { return size_t(flowmap_detail::mix(id ^ _seed)); }

    void place(uint32_t id) {
        size_t mask = _cap - 1;
        size_t i = hash(id) & mask;
        while (_slots[i])
            i = (i + 1) & mask;
        _slots[i] = id;
    }

    void grow() {
        size_t ncap = _cap ? _cap * 2 : 64;
        std::unique_ptr<uint32_t[]> old(std::move(_slots));
        size_t ocap = _cap;
        _slots.reset(new uint32_t[ncap]());
        _cap = ncap;
        for (size_t i = 0; i < ocap; ++i)
            if (old[i])
                place(old[i]);
    }

    std::unique_ptr<uint32_t[]> _slots;
    size_t _cap = 0;
    size_t _size = 0;
    uint64_t _seed;
};
