// WRadixIPLookup: the longest-prefix-match IP route table of the package.
//
//   rt :: WRadixIPLookup(10.0.0.0/8 0, 10.1.2.0/24 10.9.9.1 1, 0.0.0.0/0 2);
//   CheckIPHeader(14) -> rt;
//   rt[0] -> ...; rt[1] -> ...; rt[2] -> ...;
//
// Routes, ports and the add, set, remove, ctrl, table, lookup and no_route
// handlers are those of WIPRouteTable (common/wiproutetable.hh). Also:
//   flush      (write) drops every route and every (gateway, output) pair
//   pairs      (read) distinct (gateway, output) pairs in use, at most 255
//
// Routes are held in a five-level radix trie (common/radixtrie.hh): a /24
// is found with three dependent memory reads. Up to 255 distinct
// (gateway, output) pairs can be in use at once; a route that would need a
// 256th is refused ("no room for route ...") and a pair that no route uses
// any more is free for another. Up to 16,777,215 routes.
//
// Threads: lookups (packets and the lookup handler) run on any thread
// without a lock, concurrently with edits; an edit, a ctrl text or a flush
// is seen by lookups whole or not at all (the trie's sequence counter), and
// edits are serialised among themselves by a mutex.
#pragma once

#include <mutex>
#include <vector>

#include "common/radixtrie.hh"
#include "common/wiproutetable.hh"

class WRadixIPLookup : public WIPRouteTable {
  public:
    const char* class_name() const override { return "WRadixIPLookup"; }
    void add_handlers() override;

    int add_route(const IPRoute& r, bool replace, IPRoute* old, ErrorHandler* errh) override;
    int remove_route(const IPRoute& r, IPRoute* old, ErrorHandler* errh) override;
    int lookup_route(IPAddress dst, IPAddress& gw) const override {
        uint32_t g;
        int32_t port;
        if (!_trie.lookup(dst.hostorder(), &g, &port))
            return -1;
        gw = IPAddress(g);
        return port;
    }
    std::string dump_routes() override;
    void push(int, Packet* p) override {
        IPAddress dst = destination(p);
        IPAddress gw;
        int port = WRadixIPLookup::lookup_route(dst, gw);
        forward(p, dst, port, gw);
    }
    void begin_edits() override;
    void end_edits() override;

    void flush();
    size_t route_count() const;
    int pairs_in_use() const;
    const RadixTrie& trie() const { return _trie; }

  private:
    mutable std::recursive_mutex _lock;  // edits and the route slots
    std::vector<IPRoute> _routes;        // by slot; free slots have port -1 and
    int32_t _free = -1;                  // are chained through extra from _free
    size_t _nroutes = 0;
    RadixTrie _trie;
};
