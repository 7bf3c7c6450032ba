#include "etherswitch/ethertable.hh"

#include <cstring>

namespace {
constexpr int min_bits = 6;
constexpr int64_t sweep_interval = 1000000000;  // 1 s
}  // namespace

size_t EtherTable::home(const uint8_t* mac) const {
    uint64_t k = 0;
    std::memcpy(&k, mac, 6);
    return size_t((k * 0x9E3779B97F4A7C15ull) >> (64 - _bits));
}

EtherTable::Entry* EtherTable::probe(const uint8_t* mac) {
    size_t mask = _slots.size() - 1;
    for (size_t i = home(mac);; i = (i + 1) & mask) {
        Entry& e = _slots[i];
        if (!e.used || std::memcmp(e.mac, mac, 6) == 0)
            return &e;
    }
}

EtherTable::Entry* EtherTable::find(const uint8_t* mac) {
    if (!_count)
        return nullptr;
    Entry* e = probe(mac);
    return e->used ? e : nullptr;
}

void EtherTable::grow() {
    std::vector<Entry> old;
    old.swap(_slots);
    _bits = _bits ? _bits + 1 : min_bits;
    _slots.assign(size_t(1) << _bits, Entry{});
    for (const Entry& e : old)
        if (e.used)
            *probe(e.mac) = e;
}

bool EtherTable::learn(const uint8_t* mac, int32_t port, int64_t stamp, int64_t timeout_ns) {
    if (_slots.empty())
        grow();
    Entry* e = probe(mac);
    if (!e->used) {
        if (_count >= max_entries) {
            if (stamp < _next_sweep)
                return false;
            _next_sweep = stamp + sweep_interval;
            sweep(stamp, timeout_ns);
            if (_count >= max_entries)
                return false;
        }
        // Keep the load at most one half.
        if ((_count + 1) * 2 > _slots.size())
            grow();
        e = probe(mac);
        std::memcpy(e->mac, mac, 6);
        e->used = 1;
        ++_count;
    }
    e->port = port;
    e->stamp = stamp;
    return true;
}

void EtherTable::erase(Entry* e) {
    size_t mask = _slots.size() - 1;
    size_t hole = size_t(e - _slots.data());
    _slots[hole].used = 0;
    --_count;
    // Move back every later entry of the run that may sit in the hole.
    for (size_t j = (hole + 1) & mask; _slots[j].used; j = (j + 1) & mask) {
        size_t k = home(_slots[j].mac);
        bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
        if (!stays) {
            _slots[hole] = _slots[j];
            _slots[j].used = 0;
            hole = j;
        }
    }
}

void EtherTable::sweep(int64_t now, int64_t timeout_ns) {
    for (size_t i = 0; i < _slots.size();) {
        // erase() may move a later entry into slot i: look at it again.
        if (_slots[i].used && now >= _slots[i].stamp + timeout_ns)
            erase(&_slots[i]);
        else
            ++i;
    }
}

void EtherTable::clear() {
    _slots.clear();
    _count = 0;
    _bits = 0;
}
