#include "common/wradixiplookup.hh"

#include <host/errorhandler.hh>

#include <cerrno>
#include <new>

#include "common/registration.hh"

int WRadixIPLookup::add_route(const IPRoute& r, bool replace, IPRoute* old, ErrorHandler*) {
    int len = r.prefix_len();
    if (len < 0 || r.port < 0)
        return -EINVAL;
    uint32_t addr = r.addr.hostorder();
    std::lock_guard<std::recursive_mutex> g(_lock);
    RadixTrie::Update u(_trie);

    if (uint32_t key = _trie.get(addr, len)) {
        uint32_t slot = RadixTrie::key_slot(key);
        IPRoute& cur = _routes[slot];
        if (old)
            *old = cur;
        if (!replace)
            return -EEXIST;
        if (cur.gw != r.gw || cur.port != r.port) {
            int was = RadixTrie::key_pair(key);
            int pair = _trie.acquire_pair(r.gw.addr(), r.port);
            if (pair > 0) {
                _trie.set(addr, len, RadixTrie::make_key(pair, slot));
                _trie.release_pair(was);
            } else if (_trie.pair_refs(was) == 1)
                _trie.rebind_pair(was, r.gw.addr(), r.port);  // its pair was this route's alone
            else
                return -ENOSPC;
        }
        cur = r;
        cur.extra = -1;
        return 0;
    }

    int pair = _trie.acquire_pair(r.gw.addr(), r.port);
    if (pair < 0)
        return -ENOSPC;
    int32_t slot = _free;
    try {
        if (slot < 0) {
            if (_routes.size() >= RadixTrie::max_slots)
                throw std::bad_alloc();
            _routes.emplace_back();
            slot = int32_t(_routes.size() - 1);
        } else
            _free = _routes[size_t(slot)].extra;
        _routes[size_t(slot)] = r;
        _routes[size_t(slot)].extra = -1;
        _trie.set(addr, len, RadixTrie::make_key(pair, uint32_t(slot)));
    } catch (const std::bad_alloc&) {
        if (slot >= 0) {
            _routes[size_t(slot)] = IPRoute();
            _routes[size_t(slot)].extra = _free;
            _free = slot;
        }
        _trie.release_pair(pair);
        return -ENOMEM;
    }
    ++_nroutes;
    return 0;
}

int WRadixIPLookup::remove_route(const IPRoute& r, IPRoute* old, ErrorHandler*) {
    int len = r.prefix_len();
    if (len < 0)
        return -ENOENT;
    uint32_t addr = r.addr.hostorder();
    std::lock_guard<std::recursive_mutex> g(_lock);
    RadixTrie::Update u(_trie);
    uint32_t key = _trie.get(addr, len);
    if (!key)
        return -ENOENT;
    uint32_t slot = RadixTrie::key_slot(key);
    IPRoute& cur = _routes[slot];
    if (!r.names(cur))
        return -ENOENT;
    if (old)
        *old = cur;
    _trie.erase(addr, len);
    _trie.release_pair(RadixTrie::key_pair(key));
    cur = IPRoute();
    cur.extra = _free;
    _free = int32_t(slot);
    --_nroutes;
    return 0;
}

std::string WRadixIPLookup::dump_routes() {
    std::vector<IPRoute> live;
    {
        std::lock_guard<std::recursive_mutex> g(_lock);
        live.reserve(_nroutes);
        for (const IPRoute& r : _routes)
            if (r.port >= 0)
                live.push_back(r);
    }
    return format_routes(live);
}

void WRadixIPLookup::begin_edits() {
    _lock.lock();
    _trie.begin_update();
}

void WRadixIPLookup::end_edits() {
    _trie.end_update();
    _lock.unlock();
}

void WRadixIPLookup::flush() {
    std::lock_guard<std::recursive_mutex> g(_lock);
    _trie.clear();
    std::vector<IPRoute>().swap(_routes);
    _free = -1;
    _nroutes = 0;
}

size_t WRadixIPLookup::route_count() const {
    std::lock_guard<std::recursive_mutex> g(_lock);
    return _nroutes;
}

int WRadixIPLookup::pairs_in_use() const {
    std::lock_guard<std::recursive_mutex> g(_lock);
    return _trie.pairs_in_use();
}

void WRadixIPLookup::add_handlers() {
    WIPRouteTable::add_handlers();
    add_write_handler("flush", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          flush();
                          return 0;
                      }));
    add_read_handler("pairs", ReadHandlerFunction([this]() { return std::to_string(pairs_in_use()) + "\n"; }));
}

QUILO_REGISTER_ELEMENT(WRadixIPLookup);
