// EtherTable: the address table of the learning switches. Ethernet address
// -> (port, stamp of the frame that last showed it as a source), in one
// open-addressing array (linear probing, backward-shift removal).
//
// The table is bounded: at most max_entries addresses, so that a flood of
// made-up source addresses cannot take the appliance's memory. When it is
// full, learning a new address first sweeps out entries older than the
// timeout (at most once a second of frame time); if none are, the address is
// not learned and frames to it are flooded, as for any unknown address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class EtherTable {
  public:
    static constexpr size_t max_entries = 65536;

    struct Entry {
        uint8_t mac[6];
        uint16_t used;
        int32_t port;
        int64_t stamp;  // nanoseconds
    };

    // table[mac] = (port, stamp). False when the table is full of live entries.
    bool learn(const uint8_t* mac, int32_t port, int64_t stamp, int64_t timeout_ns);
    // The entry of `mac`, or null; valid until the next change.
    Entry* find(const uint8_t* mac);
    void erase(Entry* e);
    void clear();
    size_t size() const { return _count; }
    template <typename F> void for_each(F f) const {
        for (const Entry& e : _slots)
            if (e.used)
                f(e);
    }

  private:
    size_t home(const uint8_t* mac) const;
    Entry* probe(const uint8_t* mac);  // the entry of mac, or the empty slot where it belongs
    void grow();
    void sweep(int64_t now, int64_t timeout_ns);

    std::vector<Entry> _slots;
    size_t _count = 0;
    int _bits = 0;
    int64_t _next_sweep = 0;
};
