// ARPTable(CAPACITY, ENTRY_CAPACITY, ENTRY_PACKET_CAPACITY, TIMEOUT): a
// neighbour table that ARPQuerier elements share through their TABLE
// keyword and that other elements drive through handlers.
// Keywords: CAPACITY (packets held while queries are pending, default 2048,
// 0 no limit), ENTRY_CAPACITY (entries, default 0 = no limit),
// ENTRY_PACKET_CAPACITY (packets held per address, default 16), TIMEOUT
// (entry lifetime, default 300 s, 0 = forever).
// Ports: none.
// Handlers: table (read: one line per entry "ADDR FLAG MAC AGE", the MAC in
// upper-case dash form two words after the address), insert (write
// "ADDR MAC"), delete (write "ADDR"), clear (write), drops (read).
#pragma once
#include <host/element.hh>

#include "../lib/arpcache.hh"

class ARPTable : public Element {
 public:
    const char* class_name() const override { return "ARPTable"; }
    const char* port_count() const override { return PORTS_0_0; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage) override { _cache.clear(); }
    ArpCache& cache() { return _cache; }

    // Parses ARPTable/ARPQuerier limit keywords out of conf (consumed).
    static int parse_limits(std::vector<std::string>& conf, Element* e, ErrorHandler* errh, ArpCache::Limits& l);
    // The handler bodies, shared with ARPQuerier.
    static int write_insert(ArpCache& c, const std::string& s, ErrorHandler* errh);
    static int write_delete(ArpCache& c, const std::string& s, ErrorHandler* errh);
    static void add_cache_handlers(Element* e, ArpCache* c);

 private:
    ArpCache _cache;
};
