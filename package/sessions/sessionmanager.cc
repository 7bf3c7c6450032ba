#include "sessions/sessionmanager.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/packet.hh>

#include <atomic>
#include <cstring>
#include <vector>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"

SessionManager::SessionManager() : _timer(this) {
    _tcp.mask = SessionListener::MASK_TCP;
    _udp.mask = SessionListener::MASK_UDP;
}

SessionManager::~SessionManager() = default;

void* SessionManager::cast(const char* n) {
    if (std::strcmp(n, "SessionNotifier") == 0)
        return static_cast<SessionNotifier*>(this);
    if (std::strcmp(n, "SessionManager") == 0)
        return this;
    return WBase::cast(n);
}

int SessionManager::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    WLogger::debug("%s SessionInfo size %i, Timestamp size %i, FlowID size %i", name().c_str(),
                   int(sizeof(WSessionInfo)), int(sizeof(Timestamp)), int(sizeof(IPFlowID)));
    uint32_t gc = 1200, tcp = 86400, tcp_done = 30, udp = 60;
    if (Args(conf, this, errh)
            .read("GC_INTERVAL", gc)
            .read("TCP_TIMEOUT", tcp)
            .read("TCP_DONE_TIMEOUT", tcp_done)
            .read("UDP_TIMEOUT", udp)
            .complete() < 0)
        return -1;
    // A zero period would run the collector in a tight loop.
    if (gc == 0)
        return errh->error("GC_INTERVAL must be positive");
    if (WBase::configure(conf, errh) < 0)
        return -1;
    _gc_interval = gc;
    _tcp_timeout = tcp;
    _tcp_done_timeout = tcp_done;
    _udp_timeout = udp;
    _shim = _wconf->shim_config();
    return 0;
}

int SessionManager::initialize(ErrorHandler*) {
    _lock.resize(0);
    if (_next_id == 0)  // a predecessor's counter survives take_state
        _next_id = 1;
    _timer.initialize(this);
    _timer.schedule_after_sec(_gc_interval);
    return 0;
}

void SessionManager::cleanup(CleanupStage) {
    WWriteLock w(_lock);
    _timer.unschedule();
    _tcp.map.clear();
    _udp.map.clear();
    _ids.clear();
}

void SessionManager::take_state(Element* old_e, ErrorHandler*) {
    WLogger::info("%s taking state", name().c_str());
    SessionManager* old = old_e ? static_cast<SessionManager*>(old_e->cast("SessionManager")) : nullptr;
    if (!old || old == this)
        return;
    {
        WWriteLock w(_lock);
        WWriteLock wo(old->_lock);
        _tcp.map.swap(old->_tcp.map);
        _udp.map.swap(old->_udp.map);
        _ids.swap(old->_ids);
        _next_id = old->_next_id ? old->_next_id : _next_id;
    }
    WLogger::debug("%s state taken successfully. TCP map size: %i, UDP map size: %i", name().c_str(),
                   int(tcp_sessions()), int(udp_sessions()));
}

inline void SessionManager::update_record(FlowMap::Slot* rec, const SessionPacket& sp, int direction, const Timestamp& ts) {
    // Other threads may update the same record under their own shared side.
    std::atomic_ref<Timestamp>(rec->last_activity).store(ts, std::memory_order_relaxed);
    if (sp.proto != 6)
        return;
    std::atomic_ref<uint8_t> flags(rec->flags);
    if (sp.tcp_flags & TH_RST)
        flags.store(WSESSION_RST | WSESSION_DONE_MASK, std::memory_order_relaxed);
    else if (sp.tcp_flags & TH_FIN)
        flags.fetch_or(direction == WAN_IN ? WSESSION_FIN_WAN | WSESSION_FIN_WAN_SEEN
                                           : WSESSION_FIN_LAN | WSESSION_FIN_LAN_SEEN,
                       std::memory_order_relaxed);
    else if (sp.tcp_flags & TH_SYN)
        flags.fetch_and(uint8_t(~WSESSION_DONE_MASK), std::memory_order_relaxed);
}

uint32_t SessionManager::allocate_id() {
    // Exclusive side held. After the counter wraps, skip 0 and ids of sessions
    // that are still alive.
    for (;;) {
        uint32_t id = _next_id++;
        if (id != 0 && !_ids.contains(id))
            return id;
    }
}

inline uint32_t SessionManager::find_and_update(const SessionPacket& sp, int direction, const Timestamp& ts) {
    // The key's words straight from the packet's fields, wide-area side first.
    FlowMap::Words kw = direction == WAN_IN ? FlowMap::words(sp.saddr, sp.daddr, sp.sport, sp.dport)
                                            : FlowMap::words(sp.daddr, sp.saddr, sp.dport, sp.sport);
    Table& t = sp.proto == 6 ? _tcp : _udp;
    WReadLock r(_lock);
    if (FlowMap::Slot* rec = t.map.find(kw)) {
        update_record(rec, sp, direction, ts);
        return rec->session_id;
    }
    return 0;
}

inline uint32_t SessionManager::track_packet(const SessionPacket& sp, int direction, const Timestamp& ts,
                                            const uint8_t* mac, uint16_t vlan) {
    if (uint32_t id = find_and_update(sp, direction, ts))
        return id;
    Table& t = sp.proto == 6 ? _tcp : _udp;
    return create_session(t, session_key(sp, direction), sp, direction, ts, mac, vlan);
}

uint32_t SessionManager::refresh(const SessionPacket& sp, int direction, const Timestamp& ts) {
    return find_and_update(sp, direction, ts);
}

uint32_t SessionManager::track(const SessionPacket& sp, int direction, const Timestamp& ts, const uint8_t* mac,
                               uint16_t vlan) {
    return track_packet(sp, direction, ts, mac, vlan);
}

namespace {
const void* thread_token() {
    static thread_local char token;
    return &token;
}
}  // namespace

uint32_t SessionManager::create_session(Table& t, const IPFlowID& key, const SessionPacket& sp, int direction,
                                        const Timestamp& ts, const uint8_t* mac, uint16_t vlan) {
    // New conversation. Another thread may have created it since we looked:
    // look again with the other writers excluded and use the record that won.
    // Packet readers go on meanwhile: the new entry stays invisible to them
    // until the listeners have heard of it, so a packet of the session on
    // another thread finds nothing, comes here and waits for this insertion.
    WInsertLock w(_lock);
    if (FlowMap::Slot* rec = t.map.find(key)) {
        update_record(rec, sp, direction, ts);
        return rec->session_id;
    }
    if (_announce.slot && _announce.table == &t && _announce.slot->key() == key)
        return _announce.id;  // a listener pushed a packet of the session it is being told about
    if (t.map.needs_grow()) {
        // Moving every entry needs the readers gone.
        _lock.drain_readers();
        t.map.grow();
        _lock.undrain_readers();
    }
    uint32_t id = allocate_id();
    FlowMap::Slot* rec = t.map.insert_unpublished(key);
    FlowMap::Macs& macs = t.map.macs(rec);
    if (mac) {
        // mac: destination then source address of the Ethernet header.
        const uint8_t* dst = mac;
        const uint8_t* src = mac + 6;
        std::memcpy(macs.wan, direction == WAN_OUT ? dst : src, 6);
        std::memcpy(macs.lan, direction == WAN_OUT ? src : dst, 6);
    }
    rec->vlan = vlan;
    update_record(rec, sp, direction, ts);
    _ids.insert(id);
    _created.fetch_add(1, std::memory_order_relaxed);
    WSessionInfo info = record_of(t.map, rec);
    info.session_id = id;
    IPFlowID k = key;
    // Listeners may look the session up (lookup_session, unparse_session)
    // from this thread while it is not yet published.
    _announce = {&t, rec, id};
    _announcer.store(thread_token(), std::memory_order_relaxed);
    notify_session(id, t.mask, SessionListener::SESSION_NEW, &k, &info);
    _announcer.store(nullptr, std::memory_order_relaxed);
    _announce = {};
    FlowMap::publish(rec, id);
    return id;
}

WSessionInfo SessionManager::record_of(const FlowMap& map, FlowMap::Slot* rec) {
    WSessionInfo info{};
    // Other threads may update these two under their own shared side.
    info.last_activity = std::atomic_ref<Timestamp>(rec->last_activity).load(std::memory_order_relaxed);
    info.flags = std::atomic_ref<uint8_t>(rec->flags).load(std::memory_order_relaxed);
    info.session_id = rec->session_id;
    info.vlan = rec->vlan;
    const FlowMap::Macs& macs = map.macs(rec);
    std::memcpy(info.wan_mac, macs.wan, 6);
    std::memcpy(info.lan_mac, macs.lan, 6);
    return info;
}

void SessionManager::push(int port, Packet* p) {
    int direction = port == 0 ? WAN_OUT : WAN_IN;

    if (!p->timestamp_anno()) {
        if (!_warned_timestamp.exchange(true, std::memory_order_relaxed))
            WLogger::warn("%s received a packet without a timestamp", name().c_str());
        p->set_timestamp_anno(Timestamp::now());
    }

    SessionPacket sp;
    if (p->has_mac_header() && p->has_network_header() && p->network_header() >= p->data() &&
        p->network_header() < p->end_data() &&
        parse_session_packet(p->network_header(), size_t(p->end_data() - p->network_header()), _shim, &sp)) {
        const uint8_t* mac = nullptr;
        if (p->mac_header() >= p->buffer() && p->network_header() - p->mac_header() >= 12)
            mac = p->mac_header();
        uint32_t id = track_packet(sp, direction, p->timestamp_anno(), mac, vlan_tci_anno(p));
        set_session_direction_anno(p, uint8_t(direction));
        set_session_id_anno(p, id);
    }
    output(port).push(p);
}

static bool session_expired(const FlowMap::Slot* rec, uint32_t idle_limit, uint32_t done_limit, int64_t now_sec) {
    auto* r = const_cast<FlowMap::Slot*>(rec);
    Timestamp last = std::atomic_ref<Timestamp>(r->last_activity).load(std::memory_order_relaxed);
    uint8_t flags = std::atomic_ref<uint8_t>(r->flags).load(std::memory_order_relaxed);
    int64_t limit = (flags & WSESSION_DONE_MASK) == WSESSION_DONE_MASK ? int64_t(done_limit) : int64_t(idle_limit);
    return int64_t(last.sec()) < now_sec - limit;
}

void SessionManager::reap(Table& t, uint32_t idle_limit, uint32_t done_limit, int64_t now_sec) {
    std::vector<IPFlowID> keys;
    std::vector<uint32_t> ids;
    {
        WReadLock r(_lock);
        t.map.for_each([&](const IPFlowID& key, const FlowMap::Slot& rec) {
            if (session_expired(&rec, idle_limit, done_limit, now_sec)) {
                keys.push_back(key);
                ids.push_back(rec.session_id);
            }
        });
    }

    size_t deleted = 0;
    size_t left;
    {
        WWriteLock w(_lock);
        for (size_t i = 0; i < keys.size(); ++i) {
            FlowMap::Slot* rec = t.map.find(keys[i]);
            // A packet may have revived the session since the scan.
            if (!rec || rec->session_id != ids[i] || !session_expired(rec, idle_limit, done_limit, now_sec))
                continue;
            uint8_t reason = rec->flags & 0xFC;
            if (reason == WSESSION_RST)
                _rst.fetch_add(1, std::memory_order_relaxed);
            else if (reason == (WSESSION_FIN_WAN_SEEN | WSESSION_FIN_LAN_SEEN))
                _fin_complete.fetch_add(1, std::memory_order_relaxed);
            else if (rec->flags < 4)
                _timeout.fetch_add(1, std::memory_order_relaxed);
            _ids.erase(rec->session_id);
            t.map.erase(keys[i]);
            keys[deleted] = keys[i];
            ids[deleted] = ids[i];
            ++deleted;
        }
        left = t.map.size();
    }
    _deleted.fetch_add(deleted, std::memory_order_relaxed);

    for (size_t i = 0; i < deleted; ++i)
        notify_session(ids[i], t.mask, SessionListener::SESSION_DELETED, &keys[i], nullptr);

    WLogger::debug("%s Deleted %i sessions. Map size: %i. rst_count: %u, fin_complete_count: %u, timeout_count: %u",
                   name().c_str(), int(deleted), int(left), unsigned(_rst.load()), unsigned(_fin_complete.load()),
                   unsigned(_timeout.load()));
}

void SessionManager::collect_garbage(int64_t now_sec) {
    reap(_tcp, _tcp_timeout, _tcp_done_timeout, now_sec);
    reap(_udp, _udp_timeout, _udp_timeout, now_sec);
}

void SessionManager::run_timer(Timer*) {
    collect_garbage(int64_t(Timestamp::now().sec()));
    _timer.reschedule_after_sec(_gc_interval);
}

std::string SessionManager::unparse_session(IPFlowID& flow, unsigned char proto) {
    WSessionInfo info;
    if (!lookup_session(flow, proto, &info))
        return "Session not found: " + flow.unparse();
    return "Session: " + flow.unparse() + ". Session ID: " + std::to_string(info.session_id) +
           ", Session Over: " + std::to_string(info.flags & 3) + ", Session Over Reason: " +
           std::to_string(info.flags >> 2) + ", Last Timestamp: " + info.last_activity.unparse();
}

bool SessionManager::lookup_session(const IPFlowID& flow, unsigned char proto, WSessionInfo* out) {
    Table& t = proto == 6 ? _tcp : _udp;
    WReadLock r(_lock);
    if (FlowMap::Slot* rec = t.map.find(flow)) {
        *out = record_of(t.map, rec);
        return true;
    }
    // The session this thread is announcing to the listeners.
    if (_announcer.load(std::memory_order_relaxed) == thread_token() && _announce.table == &t &&
        _announce.slot->key() == flow) {
        *out = record_of(t.map, _announce.slot);
        out->session_id = _announce.id;
        return true;
    }
    return false;
}

size_t SessionManager::tcp_sessions() const {
    WReadLock r(const_cast<WReadWriteLock&>(_lock));
    return _tcp.map.size();
}

size_t SessionManager::udp_sessions() const {
    WReadLock r(const_cast<WReadWriteLock&>(_lock));
    return _udp.map.size();
}

void SessionManager::set_next_session_id(uint32_t id) {
    WWriteLock w(_lock);
    _next_id = id;
}

SessionManager::Stats SessionManager::stats() const {
    return {_created.load(), _deleted.load(), _rst.load(), _fin_complete.load(), _timeout.load()};
}

enum { H_MAPS, H_TCP, H_UDP, H_RST, H_FIN, H_TIMEOUT, H_CREATED, H_DELETED };

std::string SessionManager::read_handler(Element* e, void* thunk) {
    SessionManager* sm = static_cast<SessionManager*>(e);
    Stats s = sm->stats();
    switch (reinterpret_cast<intptr_t>(thunk)) {
    case H_MAPS:
        return "tcp map size: " + std::to_string(sm->tcp_sessions()) + ", udp map size: " +
               std::to_string(sm->udp_sessions());
    case H_TCP:
        return "tcp map size: " + std::to_string(sm->tcp_sessions());
    case H_UDP:
        return "udp map size: " + std::to_string(sm->udp_sessions());
    case H_RST:
        return std::to_string(s.rst);
    case H_FIN:
        return std::to_string(s.fin_complete);
    case H_TIMEOUT:
        return std::to_string(s.timeout);
    case H_CREATED:
        return std::to_string(s.created);
    case H_DELETED:
        return std::to_string(s.deleted);
    }
    return std::string();
}

void SessionManager::add_handlers() {
    add_read_handler("maps", read_handler, reinterpret_cast<void*>(intptr_t(H_MAPS)));
    add_read_handler("tcp_map", read_handler, reinterpret_cast<void*>(intptr_t(H_TCP)));
    add_read_handler("udp_map", read_handler, reinterpret_cast<void*>(intptr_t(H_UDP)));
    add_read_handler("rst_count", read_handler, reinterpret_cast<void*>(intptr_t(H_RST)));
    add_read_handler("fin_complete_count", read_handler, reinterpret_cast<void*>(intptr_t(H_FIN)));
    add_read_handler("timeout_count", read_handler, reinterpret_cast<void*>(intptr_t(H_TIMEOUT)));
    add_read_handler("sessions_created", read_handler, reinterpret_cast<void*>(intptr_t(H_CREATED)));
    add_read_handler("sessions_deleted", read_handler, reinterpret_cast<void*>(intptr_t(H_DELETED)));
}

QUILO_REGISTER_ELEMENT(SessionManager);
