// The neighbour cache behind ARPTable and ARPQuerier: IPv4 address to
// Ethernet address, with packets held while a query is outstanding.
// Thread-safe; no lock is held while the caller pushes packets on.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include <host/etheraddress.hh>
#include <host/ipaddress.hh>
#include <host/packet.hh>

class ArpCache {
  public:
    struct Limits {
        uint32_t capacity = 2048;          // packets held over all entries (0: no limit)
        uint32_t entry_capacity = 0;       // entries (0: no limit)
        uint32_t entry_packet_capacity = 16;
        int64_t timeout_ns = 300LL * 1000000000;   // entries older than this are stale (0: never)
    };

    ArpCache() = default;
    ~ArpCache() { clear(); }
    ArpCache(const ArpCache&) = delete;
    ArpCache& operator=(const ArpCache&) = delete;

    void set_limits(const Limits& l) { _lim = l; }
    const Limits& limits() const { return _lim; }

    // True (and *eth set) if ip has a fresh entry.
    bool lookup(IPAddress ip, EtherAddress* eth);

    enum HoldResult { HOLD_QUERY, HOLD_WAIT, HOLD_DROPPED };
    // Keeps p until ip resolves. HOLD_QUERY: the caller should send a query
    // now (none was sent for ip within poll_ns); HOLD_WAIT: one is pending;
    // HOLD_DROPPED: p was killed because a limit was reached.
    HoldResult hold(IPAddress ip, Packet* p, int64_t poll_ns);

    // Records ip -> eth; returns the packets that were waiting for ip as a
    // list linked by next() (null if none).
    Packet* insert(IPAddress ip, const EtherAddress& eth);
    // Removes ip; returns false if it had no entry. Held packets are killed.
    bool remove(IPAddress ip);
    void clear();

    // One line per entry: "ADDR FLAG MAC AGE", FLAG 1 for resolved entries
    // and 0 for pending ones (MAC 00-00-00-00-00-00); MAC in upper-case dash
    // form; AGE in seconds since the entry was learned. Stale entries are
    // not listed.
    std::string unparse();

    // Who sends on packets that an insert from a handler resolved (the
    // querier using this cache); without one they are dropped.
    void set_release_hook(std::function<void(Packet*)> f) { _release = std::move(f); }
    // Hands a list returned by insert() to the release hook (or kills it).
    void release(Packet* list);

    uint64_t drops() const { return _drops; }
    uint32_t held_packets() const { return _held; }
    size_t size();

  private:
    struct Entry {
        EtherAddress eth;
        bool known = false;
        int64_t learned = 0;     // steady ns
        int64_t polled = 0;      // steady ns of the last query, 0 = never
        Packet* head = nullptr;
        Packet* tail = nullptr;
        uint32_t npackets = 0;
    };
    bool stale(const Entry& e, int64_t now) const {
        return e.known && _lim.timeout_ns > 0 && now - e.learned > _lim.timeout_ns;
    }
    void drop_held(Entry& e);

    std::mutex _lock;
    std::unordered_map<uint32_t, Entry> _map;
    Limits _lim;
    std::function<void(Packet*)> _release;
    uint32_t _held = 0;
    uint64_t _drops = 0;
};
