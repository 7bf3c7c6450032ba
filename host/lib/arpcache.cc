#include "arpcache.hh"

#include <cstdio>

#include <host/timestamp.hh>

bool ArpCache::lookup(IPAddress ip, EtherAddress* eth) {
    std::lock_guard<std::mutex> g(_lock);
    auto it = _map.find(ip.addr());
    if (it == _map.end() || !it->second.known || stale(it->second, Timestamp::now_steady().nsecval()))
        return false;
    *eth = it->second.eth;
    return true;
}

ArpCache::HoldResult ArpCache::hold(IPAddress ip, Packet* p, int64_t poll_ns) {
    int64_t now = Timestamp::now_steady().nsecval();
    std::lock_guard<std::mutex> g(_lock);
    auto it = _map.find(ip.addr());
    if (it == _map.end()) {
        if (_lim.entry_capacity && _map.size() >= _lim.entry_capacity) {
            ++_drops;
            p->kill();
            return HOLD_DROPPED;
        }
        it = _map.emplace(ip.addr(), Entry()).first;
    }
    Entry& e = it->second;
    if (e.known && stale(e, now))
        e.known = false;
    if ((_lim.capacity && _held >= _lim.capacity) || e.npackets >= _lim.entry_packet_capacity) {
        // Keep the newest packets: drop the oldest of this entry if it has any.
        if (e.head) {
            Packet* old = e.head;
            e.head = old->next();
            if (!e.head)
                e.tail = nullptr;
            old->set_next(nullptr);
            old->kill();
            --e.npackets;
            --_held;
            ++_drops;
        } else {
            ++_drops;
            p->kill();
            return HOLD_DROPPED;
        }
    }
    p->set_next(nullptr);
    if (e.tail)
        e.tail->set_next(p);
    else
        e.head = p;
    e.tail = p;
    ++e.npackets;
    ++_held;
    if (e.polled == 0 || now - e.polled >= poll_ns) {
        e.polled = now;
        return HOLD_QUERY;
    }
    return HOLD_WAIT;
}

Packet* ArpCache::insert(IPAddress ip, const EtherAddress& eth) {
    int64_t now = Timestamp::now_steady().nsecval();
    std::lock_guard<std::mutex> g(_lock);
    auto it = _map.find(ip.addr());
    if (it == _map.end()) {
        if (_lim.entry_capacity && _map.size() >= _lim.entry_capacity) {
            // Make room: forget a stale or pending entry without packets.
            for (auto j = _map.begin(); j != _map.end(); ++j)
                if (!j->second.head && (!j->second.known || stale(j->second, now))) {
                    _map.erase(j);
                    break;
                }
            if (_map.size() >= _lim.entry_capacity) {
                ++_drops;
                return nullptr;
            }
        }
        it = _map.emplace(ip.addr(), Entry()).first;
    }
    Entry& e = it->second;
    e.eth = eth;
    e.known = true;
    e.learned = now;
    e.polled = 0;
    Packet* list = e.head;
    _held -= e.npackets;
    e.head = e.tail = nullptr;
    e.npackets = 0;
    return list;
}

void ArpCache::drop_held(Entry& e) {
    while (Packet* p = e.head) {
        e.head = p->next();
        p->set_next(nullptr);
        p->kill();
    }
    _held -= e.npackets;
    e.tail = nullptr;
    e.npackets = 0;
}

bool ArpCache::remove(IPAddress ip) {
    std::lock_guard<std::mutex> g(_lock);
    auto it = _map.find(ip.addr());
    if (it == _map.end())
        return false;
    drop_held(it->second);
    _map.erase(it);
    return true;
}

void ArpCache::clear() {
    std::lock_guard<std::mutex> g(_lock);
    for (auto& kv : _map)
        drop_held(kv.second);
    _map.clear();
}

size_t ArpCache::size() {
    std::lock_guard<std::mutex> g(_lock);
    return _map.size();
}

std::string ArpCache::unparse() {
    int64_t now = Timestamp::now_steady().nsecval();
    std::lock_guard<std::mutex> g(_lock);
    std::string s;
    for (auto& kv : _map) {
        const Entry& e = kv.second;
        if (stale(e, now))
            continue;
        char age[32];
        if (e.known)
            snprintf(age, sizeof age, "%.3f", double(now - e.learned) / 1e9);
        else
            snprintf(age, sizeof age, "-");
        s += IPAddress(kv.first).unparse() + (e.known ? " 1 " : " 0 ") +
             (e.known ? e.eth.unparse_dash() : std::string("00-00-00-00-00-00")) + " " + age + "\n";
    }
    return s;
}

void ArpCache::release(Packet* list) {
    while (list) {
        Packet* n = list->next();
        list->set_next(nullptr);
        if (_release)
            _release(list);
        else
            list->kill();
        list = n;
    }
}
