#include "sessions/flowtable.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/router.hh>
#include <host/timestamp.hh>

#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "sessions/peerpacket.hh"

namespace {
enum LogKind {
    LOG_IN_FRAGMENT,
    LOG_IN_NO_SESSION,
    LOG_IN_NO_FLOW,
    LOG_IN_SHIM_NO_PEER,
    LOG_IN_CONTROL_NO_PEER,
    LOG_IN_OTHER,
    LOG_FLOW_NOT_FOUND,
};
}

FlowTable* find_flow_table(Router* r) {
    for (Element* e : r->elements())
        if (void* t = e->cast("FlowTable"))
            return static_cast<FlowTable*>(t);
    return nullptr;
}

FlowTable::FlowTable() : _announce_timer(this) {
    _listener_mask = MASK_TCP;
    for (auto& t : _last_log)
        t.store(-1, std::memory_order_relaxed);
}

FlowTable::~FlowTable() = default;

void* FlowTable::cast(const char* n) {
    if (std::strcmp(n, "PeerDiscoveryNotifier") == 0)
        return static_cast<PeerDiscoveryNotifier*>(this);
    if (std::strcmp(n, "FlowTable") == 0)
        return static_cast<FlowTable*>(this);
    return WBase::cast(n);
}

int FlowTable::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    // UDP_ROUTE arguments first: "UDP_ROUTE ADDR/MASK PEER_IP", repeatable.
    std::vector<UdpRoute> routes;
    std::vector<std::string> rest;
    for (size_t i = 0; i < conf.size(); ++i) {
        std::vector<std::string> words = cp_spacevec(conf[i]);
        if (words.empty() || words[0] != "UDP_ROUTE") {
            rest.push_back(conf[i]);
            continue;
        }
        if (words.size() > 3)
            WLogger::error("%s Parse UDP route error: Too many arguments.", name().c_str());
        UdpRoute r;
        if (words.size() != 3 || !cp_ip_prefix(words[1], &r.addr, &r.mask) || !cp_ip_address(words[2], &r.peer))
            return errh->error("argument %d should be %<UDP_ROUTE ADDR/MASK PEER_IP%>", int(i + 1));
        r.addr &= r.mask;
        routes.push_back(r);
    }

    Element* notifier = nullptr;
    std::string path = "/tce/etc/quilo/peers";
    int udp_max_len = -1;
    if (Args(rest, this, errh)
            .read_m("NOTIFIER", ElementArg(), notifier)
            .read("PEERS_FILE_PATH", StringArg(), path)
            .read("UDP_MAX_LEN", udp_max_len)
            .complete() < 0)
        return -1;
    if (WBase::configure(conf, errh) < 0)
        return -1;
    if (udp_max_len < 0)
        udp_max_len = _wconf->mss() + 40;
    if (udp_max_len < 28 || udp_max_len > 65535)
        return errh->error("UDP_MAX_LEN must be between 28 and 65535");
    auto* sn = static_cast<SessionNotifier*>(notifier->cast("SessionNotifier"));
    if (!sn)
        return errh->error("%s is not a SessionNotifier", notifier->name().c_str());

    std::vector<PeerInfoNotifier*> infos;
    std::vector<PeerBootNotifier*> boots;
    for (Element* e : router()->elements()) {
        if (auto* n = static_cast<PeerInfoNotifier*>(e->cast("PeerInfoNotifier")))
            infos.push_back(n);
        if (auto* n = static_cast<PeerBootNotifier*>(e->cast("PeerBootNotifier")))
            boots.push_back(n);
    }
    WLogger::debug("%s added %i peer info notifiers.", name().c_str(), int(infos.size()));
    WLogger::debug("%s added %i peer boot notifiers.", name().c_str(), int(boots.size()));

    int max_peers = _wconf->max_peers();
    if (max_peers < 0)
        max_peers = 0;
    std::vector<bool> bits(size_t(max_peers) + 1, false);
    bits[0] = true;

    std::vector<PeerInfo> file_peers;
    if (peersfile::read(path, &file_peers, errh) < 0)
        return -1;
    std::map<IPAddress, PeerInfo> peers;
    for (const PeerInfo& p : file_peers) {
        if (p.port == 0) {
            WLogger::error("Peer output port 0 not permitted: %s %i", p.peer.unparse().c_str(), p.port);
            continue;
        }
        if (p.port > max_peers) {
            WLogger::error("Too many peers configured. This platform only support a maximum of %i peers. Contact Support",
                           max_peers);
            break;
        }
        if (bits[size_t(p.port)]) {
            WLogger::error("Duplicate peer output port found: %s %i", p.peer.unparse().c_str(), p.port);
            continue;
        }
        bits[size_t(p.port)] = true;
        auto old = peers.find(p.peer);
        if (old != peers.end())  // the address again, on another port: the old port is free again
            bits[size_t(old->second.port)] = false;
        peers[p.peer] = p;
        WLogger::info("%s Peer added from config file: %s %i %s %s", name().c_str(), p.peer.unparse().c_str(), p.port,
                      p.hostname.c_str(), p.mac.unparse_dash().c_str());
    }

    _udp_routes = std::move(routes);
    _session_notifier = sn;
    _info_notifiers = std::move(infos);
    _boot_notifiers = std::move(boots);
    _max_peers = max_peers;
    _max_flows = _wconf->max_flows();
    _udp_max_len = size_t(udp_max_len);
    _peers_file = path;
    _peers = std::move(peers);
    _port_bits = std::move(bits);
    update_ports_available();

    for (const UdpRoute& r : _udp_routes)
        WLogger::info("%s UDP route added: %s %s", name().c_str(), r.addr.unparse_with_mask(r.mask).c_str(),
                      r.peer.unparse().c_str());
    if (WLogger::enabled(WLogger::DEBUG)) {
        std::string s;
        for (bool b : _port_bits)
            s += b ? "1 " : "0 ";
        WLogger::debug("%s output ports: %s", name().c_str(), s.c_str());
    }
    return 0;
}

int FlowTable::initialize(ErrorHandler*) {
    _peers_lock.resize(0);
    _flows_lock.resize(0);
    _session_notifier->add_listener(static_cast<SessionListener*>(this));
    for (PeerInfoNotifier* n : _info_notifiers)
        n->add_listener(static_cast<PeerInfoListener*>(this));
    for (PeerBootNotifier* n : _boot_notifiers)
        n->add_listener(static_cast<PeerBootListener*>(this));
    _announce_timer.initialize(this);
    _announce_timer.schedule_now();
    return 0;
}

void FlowTable::cleanup(CleanupStage) {
    _announce_timer.unschedule();
    WWriteLock w(_flows_lock);
    _flows.clear();
}

void FlowTable::run_timer(Timer*) {
    // Announce every peer of the table; listeners run with no lock of ours held.
    std::vector<std::pair<int, IPAddress>> list;
    {
        WReadLock r(_peers_lock);
        for (const auto& [addr, info] : _peers)
            list.emplace_back(info.port, addr);
    }
    for (const auto& [port, addr] : list)
        announce(port, addr);
}

void FlowTable::announce(int port, const IPAddress& peer) { peer_discovered_notify(port, peer); }

void FlowTable::take_state(Element* old_e, ErrorHandler* errh) {
    FlowTable* old = old_e ? static_cast<FlowTable*>(old_e->cast("FlowTable")) : nullptr;
    if (!old) {
        errh->warning("%s is not a FlowTable element", old_e ? old_e->name().c_str() : "(null)");
        return;
    }
    if (old == this)
        return;
    size_t npeers, nflows;
    {
        WWriteLock a(_peers_lock);
        WWriteLock b(old->_peers_lock);
        _peers.swap(old->_peers);
        // The taken-over peers keep their ports, even above a smaller MAX_PEERS,
        // and those ports stay taken.
        std::vector<bool> bits(size_t(_max_peers) + 1, false);
        bits[0] = true;
        for (const auto& [addr, info] : _peers) {
            if (info.port <= 0)
                continue;
            if (size_t(info.port) >= bits.size())
                bits.resize(size_t(info.port) + 1, false);
            bits[size_t(info.port)] = true;
        }
        _port_bits = std::move(bits);
        update_ports_available();
        npeers = _peers.size();
    }
    {
        WWriteLock a(_flows_lock);
        WWriteLock b(old->_flows_lock);
        _flows.swap(old->_flows);
        nflows = _flows.size();
    }
    WLogger::debug("%s state taken successfully. Peer map size: %i, TCP map size: %i", name().c_str(), int(npeers),
                   int(nflows));
}

void FlowTable::update_ports_available() {
    bool any = false;
    for (int i = 1; i <= _max_peers && size_t(i) < _port_bits.size(); ++i)
        if (!_port_bits[size_t(i)]) {
            any = true;
            break;
        }
    _ports_available.store(any, std::memory_order_relaxed);
}

int FlowTable::next_free_port() {
    for (int i = 1; i <= _max_peers && size_t(i) < _port_bits.size(); ++i)
        if (!_port_bits[size_t(i)]) {
            _port_bits[size_t(i)] = true;
            return i;
        }
    return -1;
}

int FlowTable::get_next_available_output_port() {
    WWriteLock w(_peers_lock);
    int port = next_free_port();
    update_ports_available();
    return port;
}

bool FlowTable::log_allowed(int kind) {
    int64_t now = int64_t(Timestamp::now_steady().sec());
    int64_t last = _last_log[kind].load(std::memory_order_relaxed);
    if (last == now)
        return false;
    return _last_log[kind].compare_exchange_strong(last, now, std::memory_order_relaxed);
}

// ---- per-packet lookup ----

PeerLookup FlowTable::get_peer_output_port(Packet* p, SessionNotifier::PacketDirection dir) {
    PeerLookup r;
    PeerPacketView v;
    if (!view_peer_packet(p, _wconf->shim_config(), &v))
        return r;

    auto udp_route = [&](uint32_t addr_net) {
        IPAddress a(addr_net);
        for (const UdpRoute& u : _udp_routes)
            if ((a & u.mask) == u.addr) {
                WReadLock l(_peers_lock);
                auto it = _peers.find(u.peer);
                if (it != _peers.end()) {
                    r.peer = it->first;
                    r.port = uint8_t(it->second.port);
                    r.mac = it->second.mac;
                }
                return;
            }
    };

    if (dir == SessionNotifier::WAN_OUT) {
        if (v.fragment || (v.ip_proto != 6 && v.ip_proto != 17))
            return r;
        if (v.ip_proto == 17) {
            udp_route(v.daddr());
            if (r.port && v.len > _udp_max_len) {
                // Too long for the tunnel's headers to fit the MTU: plain.
                _udp_too_long.fetch_add(1, std::memory_order_relaxed);
                r = PeerLookup();
            }
            return r;
        }
        uint32_t sid = session_id_anno(p);
        if (!sid) {
            WLogger::debug("%s WAN OUT TCP packet without a valid session id", name().c_str());
            return r;
        }
        WReadLock l(_flows_lock);
        auto it = _flows.find(sid);
        if (it == _flows.end())
            return r;
        const PeerFlowInfo& f = it->second;
        r.peer = f.peer;
        r.state = f.state;
        r.mac = f.mac;
        r.add_peer = f.add_peer;
        r.port = f.state == PeerFlowInfo::BOUND ? f.port : 0;
        return r;
    }

    bool warn = WLogger::enabled(WLogger::WARN);
    if (v.fragment) {
        if (warn && log_allowed(LOG_IN_FRAGMENT))
            WLogger::warn("%s WAN IN packet that is not a first fragment.", name().c_str());
        return r;
    }
    switch (v.proto) {
    case 6: {
        // A packet of a peer's reliable stream carries that tunnel's next
        // sequence number and compression context: whatever became of its
        // session here, the tunnel must take it. Turned back (reflected), it
        // would leave a hole in the stream that no retransmission fills,
        // and the tunnel would reset.
        bool stream = v.is_shim() && (v.ip[v.shim + 3] & WSHIM_STREAM);
        uint32_t sid = session_id_anno(p);
        if (!sid && stream && stream_peer(IPAddress(), &r))
            return r;
        if (!sid) {
            if (warn && log_allowed(LOG_IN_NO_SESSION))
                WLogger::warn("%s WAN IN TCP packet without a valid session id", name().c_str());
            return r;
        }
        bool found = false;
        {
            WReadLock l(_flows_lock);
            auto it = _flows.find(sid);
            if (it != _flows.end()) {
                const PeerFlowInfo& f = it->second;
                found = true;
                r.peer = f.peer;
                r.port = f.port;
                r.state = f.state;
                r.mac = f.mac;
                r.add_peer = f.add_peer;
            }
        }
        if (r.port == 0 && stream && stream_peer(r.peer, &r))
            return r;
        if (!found) {
            if (warn && log_allowed(LOG_IN_NO_FLOW))
                WLogger::warn("%s WAN IN TCP packet FLOW NOT FOUND.", name().c_str());
            return r;
        }
        if (v.is_shim() && r.port == 0 && warn && log_allowed(LOG_IN_SHIM_NO_PEER)) {
            // Asked with no lock of ours held: the session manager may be
            // waiting for our peer-flow lock while it holds its own.
            uint16_t sport = 0, dport = 0;
            v.ports(&sport, &dport);
            IPFlowID key(IPAddress(v.saddr()), sport, IPAddress(v.daddr()), dport);
            std::string text = _session_notifier ? _session_notifier->unparse_session(key, 6) : std::string();
            WLogger::warn("%s Shim packet without a peer. SM Session State: %s", name().c_str(), text.c_str());
            WLogger::warn("%s FlowTable State. Peer IP: %s, Output Port: %u, State: %u", name().c_str(),
                          r.peer.unparse().c_str(), unsigned(r.port), unsigned(r.state));
        }
        return r;
    }
    case 17:
        udp_route(v.saddr());
        return r;
    case WSHIM_PROTO_RSP:
    case WSHIM_PROTO_PEERINFO:
    case WSHIM_PROTO_FEC:
    case WSHIM_PROTO_STACKER: {
        IPAddress src(v.saddr());
        {
            WReadLock l(_peers_lock);
            auto it = _peers.find(src);
            if (it != _peers.end()) {
                r.peer = src;
                r.port = uint8_t(it->second.port);
                r.mac = it->second.mac;
                return r;
            }
        }
        if (warn && log_allowed(LOG_IN_CONTROL_NO_PEER))
            WLogger::warn("%s Peer not found on RSP control or WRTT packet. Peer address: %s", name().c_str(),
                          src.unparse().c_str());
        return r;
    }
    default:
        if (WLogger::enabled(WLogger::ERROR) && log_allowed(LOG_IN_OTHER))
            WLogger::error("%s WAN IN packet that is not a TCP or UDP packet.", name().c_str());
        return r;
    }
}

// The tunnel a stream packet without a bound session came through: the
// session's peer when the flow still names one, else the only peer there is.
bool FlowTable::stream_peer(const IPAddress& hint, PeerLookup* r) {
    WReadLock l(_peers_lock);
    auto it = hint ? _peers.find(hint) : _peers.end();
    if (it == _peers.end() && _peers.size() == 1)
        it = _peers.begin();
    if (it == _peers.end() || it->second.port <= 0)
        return false;
    r->peer = it->first;
    r->port = uint8_t(it->second.port);
    r->mac = it->second.mac;
    return true;
}

// ---- peer flows ----

void FlowTable::register_peer_flow(Packet* p, const IPAddress& peer, const EtherAddress& mac, bool add) {
    uint32_t sid = session_id_anno(p);
    if (!sid) {
        WLogger::debug("%s register peer flow packet without a valid session id", name().c_str());
        return;
    }
    Deferred d;
    bool found = false;
    {
        WWriteLock w(_flows_lock);
        auto it = _flows.find(sid);
        if (it != _flows.end()) {
            found = true;
            PeerFlowInfo& f = it->second;
            f.peer = peer;
            f.mac = mac;
            f.add_peer = add;
            f.state |= PeerFlowInfo::PEER_PROBE;
            // resolve_peer may detach flows of a moved peer; it never adds or
            // removes flows, so `f` stays valid.
            int port = resolve_peer(peer, mac, f.state == PeerFlowInfo::BOUND && add, &d);
            if (port > 0) {
                f.port = uint8_t(port);
                set_dst_ip_anno(p, peer.addr());
            }
        }
    }
    if (!found)
        WLogger::warn("%s register peer flow - flow not found", name().c_str());
    finish(d);
}

void FlowTable::set_peer_flow_state_flag(Packet* p, PeerFlowInfo::StateFlag flag) {
    uint32_t sid = session_id_anno(p);
    if (!sid) {
        WLogger::debug("%s update peer flow state without a valid session id", name().c_str());
        return;
    }
    Deferred d;
    bool found = false;
    {
        WWriteLock w(_flows_lock);
        auto it = _flows.find(sid);
        if (it != _flows.end()) {
            found = true;
            PeerFlowInfo& f = it->second;
            f.state |= flag;
            if (f.state == PeerFlowInfo::BOUND && f.peer) {
                IPAddress peer = f.peer;
                int port = resolve_peer(peer, f.mac, f.add_peer, &d);
                if (port > 0) {
                    f.port = uint8_t(port);
                    set_dst_ip_anno(p, peer.addr());
                }
            }
        }
    }
    if (!found)
        WLogger::warn("%s update peer flow state - flow not found", name().c_str());
    finish(d);
}

int FlowTable::get_peer_output_port(const IPAddress& peer, const EtherAddress& mac, bool add) {
    Deferred d;
    int port = resolve_peer(peer, mac, add, &d);
    finish(d);
    return port;
}

int FlowTable::resolve_peer(const IPAddress& peer, const EtherAddress& mac, bool add, Deferred* d) {
    {
        WReadLock r(_peers_lock);
        auto it = _peers.find(peer);
        if (it != _peers.end())
            return it->second.port;
    }
    // Not known: look again under the exclusive side (another thread may have
    // added it meanwhile). The shared side is released first: two threads
    // upgrading at once would wait for each other forever.
    IPAddress moved_from;
    bool moved = false;
    int port;
    size_t size;
    {
        WWriteLock w(_peers_lock);
        auto it = _peers.find(peer);
        if (it != _peers.end())
            return it->second.port;
        // A known MAC from a new address: the peer changed its address. An
        // all-zero MAC identifies nobody.
        auto same = _peers.end();
        if (!mac.is_zero())
            for (auto i = _peers.begin(); i != _peers.end(); ++i)
                if (i->second.mac == mac) {
                    same = i;
                    break;
                }
        if (same != _peers.end()) {
            PeerInfo info = same->second;
            moved_from = same->first;
            moved = true;
            _peers.erase(same);
            info.peer = peer;
            port = info.port;
            _peers[peer] = info;
        } else {
            if (!add)
                return 0;
            port = next_free_port();
            if (port < 0) {
                if (_max_peers_warnings.fetch_add(1, std::memory_order_relaxed) < 5)
                    WLogger::warn("%s max peers reached.", name().c_str());
                return -1;
            }
            PeerInfo info;
            info.peer = peer;
            info.port = port;
            info.mac = mac;
            _peers[peer] = info;
            update_ports_available();
        }
        size = _peers.size();
    }
    if (moved) {
        clear_peer_flows(moved_from);
        WLogger::info("%s updated peer address: old address %s, new address %s, output port %i, table size: %i",
                      name().c_str(), moved_from.unparse().c_str(), peer.unparse().c_str(), port, int(size));
    } else
        WLogger::info("%s new peer added: %s output port %i, table size: %i", name().c_str(), peer.unparse().c_str(),
                      port, int(size));
    d->write = true;
    d->announce_port = port;
    d->announce_peer = peer;
    return port;
}

void FlowTable::finish(const Deferred& d) {
    if (d.write)
        write_peers();
    if (d.announce_port > 0)
        announce(d.announce_port, d.announce_peer);
}

int FlowTable::clear_peer_flows(const IPAddress& peer) {
    int n = 0;
    WWriteLock w(_flows_lock);
    for (auto& [id, f] : _flows)
        if (f.peer == peer) {
            f.peer = IPAddress();
            f.port = 0;
            ++n;
        }
    return n;
}

void FlowTable::reset_flow(Packet* p, unsigned int session_id, SessionNotifier::PacketDirection dir) {
    PeerPacketView v;
    if (!view_peer_packet(p, _wconf->shim_config(), &v))
        return;
    if (v.fragment) {
        WLogger::warn("%s Reset flow packet that is not a first fragment.", name().c_str());
        return;
    }
    if (v.proto != 6) {
        WLogger::error("%s Reset flow packet that is not a TCP packet.", name().c_str());
        return;
    }
    if (!session_id) {
        WLogger::warn("%s Reset flow TCP packet without a valid session id", name().c_str());
        return;
    }
    PeerFlowInfo before;
    bool found = false;
    {
        WWriteLock w(_flows_lock);
        auto it = _flows.find(session_id);
        if (it != _flows.end()) {
            found = true;
            before = it->second;
            it->second.peer = IPAddress();
            it->second.port = 0;
        }
    }
    if (!found) {
        WLogger::warn("%s Reset flow TCP packet FLOW NOT FOUND.", name().c_str());
        return;
    }
    if (!WLogger::enabled(WLogger::INFO))
        return;
    // The session text is asked for with the peer-flow lock released: the
    // session manager delivers new sessions (which take that lock) while it
    // holds its own.
    uint16_t sport = 0, dport = 0;
    v.ports(&sport, &dport);
    IPFlowID key = dir == SessionNotifier::WAN_OUT ? IPFlowID(IPAddress(v.daddr()), dport, IPAddress(v.saddr()), sport)
                                                   : IPFlowID(IPAddress(v.saddr()), sport, IPAddress(v.daddr()), dport);
    std::string text = _session_notifier ? _session_notifier->unparse_session(key, 6) : std::string();
    WLogger::info("%s Reset flow. SM Session State: %s", name().c_str(), text.c_str());
    WLogger::info("%s Reset flow FlowTable State. Peer IP: %s, Output Port: %u, State: %u", name().c_str(),
                  before.peer.unparse().c_str(), unsigned(before.port), unsigned(before.state));
}

// ---- listeners ----

void FlowTable::session_notify(unsigned int session_id, unsigned char mask, SessionEvent event, const IPFlowID*,
                               const WSessionInfo*) {
    if (mask != MASK_TCP) {
        WLogger::error("%s session notification received with an invalid listener mask value: %u", name().c_str(),
                       unsigned(mask));
        return;
    }
    if (event == SESSION_NEW) {
        if (_max_flows <= 0)
            return;
        WWriteLock w(_flows_lock);
        if (_flows.size() >= size_t(_max_flows))
            return;
        _flows.insert_or_assign(session_id, PeerFlowInfo{});
    } else if (event == SESSION_DELETED) {
        WWriteLock w(_flows_lock);
        _flows.erase(session_id);
    } else
        WLogger::error("%s session notification received an invalid event type.", name().c_str());
}

void FlowTable::peer_boot_notify(const IPAddress& peer) {
    int n = clear_peer_flows(peer);
    WLogger::info("%s remote peer %s or local boot notification, reset %i flows", name().c_str(),
                  peer.unparse().c_str(), n);
}

void FlowTable::peer_info_notify(whost_info& info) {
    bool found = false, changed = false;
    {
        WWriteLock w(_peers_lock);
        auto it = _peers.find(info.peer_ip);
        if (it != _peers.end()) {
            found = true;
            if (it->second.hostname != info.hostname) {
                it->second.hostname = info.hostname;
                changed = true;
            }
        }
    }
    if (!found) {
        WLogger::warn("%s peer info notification received but peer not found: %s", name().c_str(),
                      info.peer_ip.unparse().c_str());
        return;
    }
    if (!changed)
        return;
    WLogger::debug("%s new peer hostname received. Peer IP: %s, Hostname: %s", name().c_str(),
                   info.peer_ip.unparse().c_str(), info.hostname.c_str());
    write_peers();
}

void FlowTable::write_peers() {
    // Holding the file lock while copying keeps the file in step with the
    // table: a later change always writes after an earlier one.
    std::lock_guard<std::mutex> g(_file_lock);
    std::vector<PeerInfo> copy = peers();
    std::string err;
    if (peersfile::write(_peers_file, copy, &err) < 0) {
        WLogger::error("%s Unable to open peers config file on write peers: %s", name().c_str(), _peers_file.c_str());
        WLogger::debug("%s peers file write failed: %s", name().c_str(), err.c_str());
    }
}

// ---- inspection and handlers ----

std::vector<PeerInfo> FlowTable::peers() const {
    std::vector<PeerInfo> v;
    WReadLock r(_peers_lock);
    v.reserve(_peers.size());
    for (const auto& [addr, info] : _peers)
        v.push_back(info);
    return v;
}

bool FlowTable::peer_flow(uint32_t session_id, PeerFlowInfo* out) const {
    WReadLock r(_flows_lock);
    auto it = _flows.find(session_id);
    if (it == _flows.end())
        return false;
    *out = it->second;
    return true;
}

size_t FlowTable::peer_flow_count() const {
    WReadLock r(_flows_lock);
    return _flows.size();
}

std::vector<bool> FlowTable::port_bits() const {
    WReadLock r(_peers_lock);
    return _port_bits;
}

enum { H_PEERS, H_TCP_MAP, H_PEER_COUNT, H_PORTS_AVAILABLE };

std::string FlowTable::read_handler(Element* e, void* thunk) {
    FlowTable* ft = static_cast<FlowTable*>(e);
    switch (reinterpret_cast<intptr_t>(thunk)) {
    case H_PEERS: {
        std::string s;
        for (const PeerInfo& p : ft->peers())
            s += p.peer.unparse() + " " + std::to_string(p.port) + "\n";
        return s;
    }
    case H_TCP_MAP:
        return "tcp map size: " + std::to_string(ft->peer_flow_count());
    case H_PEER_COUNT:
        return std::to_string(ft->peers().size());
    case H_PORTS_AVAILABLE:
        return ft->output_ports_available() ? "true" : "false";
    }
    return std::string();
}

void FlowTable::add_handlers() {
    add_read_handler("peers", read_handler, reinterpret_cast<void*>(intptr_t(H_PEERS)));
    add_read_handler("tcp_map", read_handler, reinterpret_cast<void*>(intptr_t(H_TCP_MAP)));
    add_read_handler("peer_count", read_handler, reinterpret_cast<void*>(intptr_t(H_PEER_COUNT)));
    add_read_handler("ports_available", read_handler, reinterpret_cast<void*>(intptr_t(H_PORTS_AVAILABLE)));
    add_read_handler("udp_too_long", ReadHandlerFunction([this] { return std::to_string(_udp_too_long.load()); }));
}

QUILO_REGISTER_ELEMENT(FlowTable);
