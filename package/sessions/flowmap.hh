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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
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
        uint64_t key_addrs;   // the IPFlowID's bytes 0-7 (addresses)
        uint32_t key_ports;   // its bytes 8-11 (ports)
        uint32_t session_id;  // 0: empty slot
        Timestamp last_activity;
        uint8_t flags;
        uint8_t spare;
        uint16_t vlan;
        uint32_t spare2;

        IPFlowID key() const {
            IPFlowID k;
            std::memcpy(reinterpret_cast<char*>(&k), &key_addrs, 8);
            std::memcpy(reinterpret_cast<char*>(&k) + 8, &key_ports, 4);
            return k;
        }
    };
    static_assert(sizeof(Slot) == 32, "session slots are half a cache line");
    static_assert(std::is_trivially_copyable_v<IPFlowID> && sizeof(IPFlowID) == 12, "keys are copied as bytes");

    struct Macs {
        uint8_t wan[6];
        uint8_t lan[6];
    };

    FlowMap() : _seed0(flowmap_detail::random_seed()), _seed1(flowmap_detail::random_seed() | 1) {}
    ~FlowMap() { free_arrays(); }
    FlowMap(const FlowMap&) = delete;
    FlowMap& operator=(const FlowMap&) = delete;

    // Concurrency: find and for_each may run while one writer inserts
    // (insert, insert_unpublished, publish): a new slot is filled first and
    // made visible by a release store of its session id, and readers load
    // the id (acquire) before the key. Everything else (erase, grow, clear,
    // swap) needs the readers gone.

    size_t size() const { return _size.load(std::memory_order_relaxed); }
    size_t capacity() const { return _cap; }

    // A key as the two words a slot holds: the IPFlowID's addresses (bytes
    // 0-7) and ports (bytes 8-11), each field in network byte order.
    struct Words {
        uint64_t addrs;
        uint32_t ports;
    };
    static Words words(uint32_t saddr, uint32_t daddr, uint16_t sport, uint16_t dport) {
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "key words assume little-endian layout");
        return {uint64_t(saddr) | uint64_t(daddr) << 32, uint32_t(sport) | uint32_t(dport) << 16};
    }
    static Words words(const IPFlowID& key) {
        Words w;
        split(key, w.addrs, w.ports);
        return w;
    }

    Slot* find(const IPFlowID& key) const { return find(words(key)); }

    // Built from the packet's fields in registers, a key never goes through
    // memory in pieces: a wide load of narrower stores would wait for the
    // stores to retire, that is for the previous packet's cache miss.
    __attribute__((always_inline)) Slot* find(Words w) const {
        if (!_cap)
            return nullptr;
        uint64_t ka = w.addrs;
        uint32_t kp = w.ports;
        size_t mask = _cap - 1;
        size_t i = hash(ka, kp) & mask;
        // The home slot and its neighbour hold most keys. Both are read and
        // the match chosen without a branch on their contents, so a lookup
        // whose slot misses the cache does not stall the packets behind it
        // on a mispredicted branch.
        Slot* a = &_slots[i];
        Slot* b = &_slots[(i + 1) & mask];
        uint32_t ida = load_id(a), idb = load_id(b);
        unsigned ha = unsigned(ida != 0) & unsigned(load_addrs(a) == ka) & unsigned(load_ports(a) == kp);
        unsigned hb = unsigned(ida != 0) & unsigned(idb != 0) & unsigned(load_addrs(b) == ka) &
                      unsigned(load_ports(b) == kp);
        unsigned found = ha | hb;
        asm("" : "+r"(found));  // one test of the union, not a branch per slot
        if (__builtin_expect(found, 1)) {
            // a when ha, else b, as arithmetic: a conditional here would
            // come back as a branch on ha.
            uintptr_t pick = uintptr_t(0) - uintptr_t(ha);
            return reinterpret_cast<Slot*>((reinterpret_cast<uintptr_t>(a) & pick) |
                                           (reinterpret_cast<uintptr_t>(b) & ~pick));
        }
        if (!ida || !idb)
            return nullptr;
        for (i = (i + 2) & mask;; i = (i + 1) & mask) {
            Slot* s = &_slots[i];
            if (!load_id(s))
                return nullptr;
            if (load_addrs(s) == ka && load_ports(s) == kp)
                return s;
        }
    }

    // True when the next insert must grow the table first.
    bool needs_grow() const { return (size() + 1) * 4 > _cap * 3; }
    // Doubles the capacity (readers gone).
    void grow();

    // Inserts a key that is not present and returns its slot, zeroed (MAC
    // addresses included) except for session_id, which must be non-zero.
    Slot* insert(const IPFlowID& key, uint32_t session_id) {
        Slot* s = insert_unpublished(key);
        publish(s, session_id);
        return s;
    }

    // Fills a slot for a key that is not present but leaves it invisible
    // (session id 0) to every lookup until publish(). Nothing else may
    // insert or erase in between.
    Slot* insert_unpublished(const IPFlowID& key) {
        if (needs_grow())
            grow();
        uint64_t ka;
        uint32_t kp;
        split(key, ka, kp);
        size_t mask = _cap - 1;
        size_t i = hash(ka, kp) & mask;
        while (_slots[i].session_id)
            i = (i + 1) & mask;
        Slot& s = _slots[i];
        s.last_activity = Timestamp();
        s.flags = 0;
        s.vlan = 0;
        std::atomic_ref<uint64_t>(s.key_addrs).store(ka, std::memory_order_relaxed);
        std::atomic_ref<uint32_t>(s.key_ports).store(kp, std::memory_order_relaxed);
        _macs[i] = Macs{};
        _size.store(size() + 1, std::memory_order_relaxed);
        return &s;
    }

    // Makes an unpublished slot visible with `session_id` (non-zero).
    static void publish(Slot* s, uint32_t session_id) {
        std::atomic_ref<uint32_t>(s->session_id).store(session_id, std::memory_order_release);
    }

    // The Ethernet addresses of the session in `s` (a slot of this map).
    Macs& macs(const Slot* s) const { return _macs[size_t(s - _slots)]; }

    // Removes `key`; returns false when absent.
    bool erase(const IPFlowID& key) {
        if (!_cap)
            return false;
        uint64_t ka;
        uint32_t kp;
        split(key, ka, kp);
        size_t mask = _cap - 1;
        size_t i = hash(ka, kp) & mask;
        for (;; i = (i + 1) & mask) {
            if (!_slots[i].session_id)
                return false;
            if (_slots[i].key_addrs == ka && _slots[i].key_ports == kp)
                break;
        }
        // Shift later members of the probe run back over the hole.
        size_t hole = i;
        for (size_t j = (i + 1) & mask; _slots[j].session_id; j = (j + 1) & mask) {
            size_t home = hash(_slots[j].key_addrs, _slots[j].key_ports) & mask;
            // Move j into the hole unless its home lies cyclically in (hole, j].
            bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (!stays) {
                _slots[hole] = _slots[j];
                _macs[hole] = _macs[j];
                hole = j;
            }
        }
        _slots[hole] = Slot{};
        _size.store(size() - 1, std::memory_order_relaxed);
        return true;
    }

    // Calls f(key, slot) for every published entry; f must not insert or erase.
    template <typename F>
    void for_each(F&& f) const {
        for (size_t i = 0; i < _cap; ++i)
            if (load_id(&_slots[i])) {
                IPFlowID k = _slots[i].key();
                f(k, _slots[i]);
            }
    }

    void clear() {
        free_arrays();
        _slots = nullptr;
        _macs = nullptr;
        _cap = 0;
        _size.store(0, std::memory_order_relaxed);
    }

    void swap(FlowMap& o) {
        std::swap(_slots, o._slots);
        std::swap(_macs, o._macs);
        std::swap(_cap, o._cap);
        size_t n = size();
        _size.store(o.size(), std::memory_order_relaxed);
        o._size.store(n, std::memory_order_relaxed);
        std::swap(_seed0, o._seed0);
        std::swap(_seed1, o._seed1);
    }

  private:
    static void split(const IPFlowID& k, uint64_t& addrs, uint32_t& ports) {
        std::memcpy(&addrs, reinterpret_cast<const char*>(&k), 8);
        std::memcpy(&ports, reinterpret_cast<const char*>(&k) + 8, 4);
    }
    static uint32_t load_id(const Slot* s) {
        return std::atomic_ref<uint32_t>(const_cast<Slot*>(s)->session_id).load(std::memory_order_acquire);
    }
    static uint64_t load_addrs(const Slot* s) {
        return std::atomic_ref<uint64_t>(const_cast<Slot*>(s)->key_addrs).load(std::memory_order_relaxed);
    }
    static uint32_t load_ports(const Slot* s) {
        return std::atomic_ref<uint32_t>(const_cast<Slot*>(s)->key_ports).load(std::memory_order_relaxed);
    }

    size_t hash(uint64_t addrs, uint32_t ports) const {
        // Seeds chosen per table keep crafted keys from sharing a probe run.
        return size_t(flowmap_detail::mum(addrs ^ _seed0, uint64_t(ports) ^ _seed1));
    }

    // Zeroed slot arrays; large ones are backed by huge pages where the
    // kernel allows it, so random lookups in big tables miss the TLB less.
    static Slot* alloc_slots(size_t n);
    void free_arrays();

    Slot* _slots = nullptr;
    Macs* _macs = nullptr;
    size_t _cap = 0;
    std::atomic<size_t> _size{0};
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
