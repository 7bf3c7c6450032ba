// Open-addressing hash tables for the session manager.
//
// FlowMap maps a session key (IPFlowID) to its record pointer; IdSet holds the
// session ids in use. Both use linear probing with backward-shift deletion
// (no tombstones), a power-of-two capacity kept at most 3/4 full, and a seed
// chosen per table so that crafted addresses cannot line up a long probe run.
// Neither is thread-safe: the caller holds the session manager's lock.
#pragma once

#include <host/ipflowid.hh>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

struct WSessionInfo;

namespace flowmap_detail {

inline uint64_t mix(uint64_t h) {
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    return h;
}

uint64_t random_seed();

}  // namespace flowmap_detail

class FlowMap {
  public:
    struct Slot {
        IPFlowID key;
        WSessionInfo* value;  // null: empty slot
    };

    FlowMap() : _seed(flowmap_detail::random_seed()) {}
    FlowMap(const FlowMap&) = delete;
    FlowMap& operator=(const FlowMap&) = delete;

    size_t size() const { return _size; }
    size_t capacity() const { return _cap; }

    WSessionInfo* find(const IPFlowID& key) const {
        if (!_size)
            return nullptr;
        size_t mask = _cap - 1;
        for (size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            const Slot& s = _slots[i];
            if (!s.value)
                return nullptr;
            if (s.key == key)
                return s.value;
        }
    }

    // Inserts a key that is not present; `value` must not be null.
    void insert(const IPFlowID& key, WSessionInfo* value) {
        if ((_size + 1) * 4 > _cap * 3)
            grow();
        size_t mask = _cap - 1;
        size_t i = hash(key) & mask;
        while (_slots[i].value)
            i = (i + 1) & mask;
        _slots[i].key = key;
        _slots[i].value = value;
        ++_size;
    }

    // Removes `key` and returns its value, or null when absent.
    WSessionInfo* erase(const IPFlowID& key) {
        if (!_size)
            return nullptr;
        size_t mask = _cap - 1;
        size_t i = hash(key) & mask;
        for (;; i = (i + 1) & mask) {
            if (!_slots[i].value)
                return nullptr;
            if (_slots[i].key == key)
                break;
        }
        WSessionInfo* v = _slots[i].value;
        // Shift later members of the probe run back over the hole.
        size_t hole = i;
        for (size_t j = (i + 1) & mask; _slots[j].value; j = (j + 1) & mask) {
            size_t home = hash(_slots[j].key) & mask;
            // Move j into the hole unless its home lies cyclically in (hole, j].
            bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (!stays) {
                _slots[hole] = _slots[j];
                hole = j;
            }
        }
        _slots[hole].value = nullptr;
        --_size;
        return v;
    }

    // Calls f(key, value) for every entry; f must not change the map.
    template <typename F>
    void for_each(F&& f) const {
        for (size_t i = 0; i < _cap; ++i)
            if (_slots[i].value)
                f(_slots[i].key, _slots[i].value);
    }

    // Empties the map, returning every value to `f` first.
    template <typename F>
    void clear(F&& f) {
        for (size_t i = 0; i < _cap; ++i)
            if (_slots[i].value) {
                f(_slots[i].value);
                _slots[i].value = nullptr;
            }
        _size = 0;
    }

    void swap(FlowMap& o) {
        std::swap(_slots, o._slots);
        std::swap(_cap, o._cap);
        std::swap(_size, o._size);
        std::swap(_seed, o._seed);
    }

  private:
    size_t hash(const IPFlowID& k) const {
        uint32_t s = k.saddr().addr(), d = k.daddr().addr();
        uint64_t a = (uint64_t(s) << 32) | d;
        uint64_t b = (uint64_t(k.sport()) << 16) | k.dport();
        return size_t(flowmap_detail::mix(a ^ _seed) ^ flowmap_detail::mix(b + _seed));
    }

    void grow() {
        size_t ncap = _cap ? _cap * 2 : 64;
        std::unique_ptr<Slot[]> old(std::move(_slots));
        size_t ocap = _cap;
        _slots.reset(new Slot[ncap]);
        for (size_t i = 0; i < ncap; ++i)
            _slots[i].value = nullptr;
        _cap = ncap;
        size_t mask = _cap - 1;
        for (size_t i = 0; i < ocap; ++i)
            if (old[i].value) {
                size_t j = hash(old[i].key) & mask;
                while (_slots[j].value)
                    j = (j + 1) & mask;
                _slots[j] = old[i];
            }
    }

    std::unique_ptr<Slot[]> _slots;
    size_t _cap = 0;
    size_t _size = 0;
    uint64_t _seed;
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
