#include "sessions/l2mapper.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/timestamp.hh>

#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "sessions/peerpacket.hh"

void* L2Mapper::cast(const char* n) {
    if (std::strcmp(n, "L2Mapper") == 0)
        return static_cast<L2Mapper*>(this);
    return WBase::cast(n);
}

int L2Mapper::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Element* notifier = nullptr;
    std::string dir;
    bool force = false;
    uint32_t strip = 0;
    EtherAddress src, dst;
    bool has_src = false, has_dst = false;
    if (Args(conf, this, errh)
            .read_m("NOTIFIER", ElementArg(), notifier)
            .read_m("DIRECTION", WordArg(), dir)
            .read("FORCE", force)
            .read("STRIP", strip)
            .read("SRC", src)
            .read_status(has_src)
            .read("DST", dst)
            .read_status(has_dst)
            .complete() < 0)
        return -1;
    auto* sn = static_cast<SessionNotifier*>(notifier->cast("SessionNotifier"));
    if (!sn)
        return errh->error("%s is not a SessionNotifier", notifier->name().c_str());
    if (has_src != has_dst)
        return errh->error("If specifying static Ethernet headers, you must specify both SRC and DST addresses.");
    if (WBase::configure(conf, errh) < 0)
        return -1;
    _notifier = sn;
    _dir = dir == "WAN_IN" ? DIR_WAN_IN : dir == "WAN_OUT" ? DIR_WAN_OUT : DIR_ANY;
    _force = force;
    _strip = strip;
    _static = has_src;
    if (_static) {
        std::memcpy(_static_header, dst.data(), 6);
        std::memcpy(_static_header + 6, src.data(), 6);
        _static_header[12] = 0x08;
        _static_header[13] = 0x00;
    }
    return 0;
}

int L2Mapper::initialize(ErrorHandler*) {
    _notifier->add_listener(static_cast<SessionListener*>(this));
    return 0;
}

void L2Mapper::cleanup(CleanupStage) {
    SpinlockGuard g(_lock);
    _map.clear();
}

void L2Mapper::take_state(Element* old_e, ErrorHandler* errh) {
    L2Mapper* old = old_e ? static_cast<L2Mapper*>(old_e->cast("L2Mapper")) : nullptr;
    if (!old) {
        errh->warning("%s is not a L2Mapper element", old_e ? old_e->name().c_str() : "(null)");
        return;
    }
    if (old == this)
        return;
    size_t n;
    {
        SpinlockGuard a(_lock);
        SpinlockGuard b(old->_lock);
        _map.swap(old->_map);
        n = _map.size();
    }
    WLogger::debug("%s state taken successfully. Map size: %i", name().c_str(), int(n));
}

void L2Mapper::session_notify(unsigned int session_id, unsigned char, SessionEvent event, const IPFlowID* flow,
                              const WSessionInfo* info) {
    if (!flow)
        return;
    if (event == SESSION_NEW) {
        if (!info)
            return;
        L2Info l;
        std::memcpy(l.wan_mac, info->wan_mac, 6);
        std::memcpy(l.lan_mac, info->lan_mac, 6);
        l.vlan = info->vlan;
        l.session_id = session_id;
        SpinlockGuard g(_lock);
        _map.insert_or_assign(*flow, l);
    } else if (event == SESSION_DELETED) {
        // A newer session may own the key by now: only its own id removes it.
        SpinlockGuard g(_lock);
        auto it = _map.find(*flow);
        if (it != _map.end() && it->second.session_id == session_id)
            _map.erase(it);
    } else
        WLogger::error("%s session notification received an invalid event type.", name().c_str());
}

size_t L2Mapper::map_size() const {
    SpinlockGuard g(_lock);
    return _map.size();
}

bool L2Mapper::lookup(const IPFlowID& key, L2Info* out) const {
    SpinlockGuard g(_lock);
    auto it = _map.find(key);
    if (it == _map.end())
        return false;
    *out = it->second;
    return true;
}

void L2Mapper::push(int, Packet* p) {
    if (!_force && p->has_mac_header()) {
        output(0).push(p);
        return;
    }
    // Without a network header the data starts with the IP header.
    const uint8_t* nh = p->has_network_header() ? p->network_header() : p->data();
    PeerPacketView v;
    uint16_t sport = 0, dport = 0;
    bool ok = nh >= p->data() && nh < p->end_data() &&
              view_peer_packet(nh, size_t(p->end_data() - nh), _wconf->shim_config(), &v) &&
              (v.proto == 6 || v.proto == 17) && v.ports(&sport, &dport);
    IPFlowID in_key, out_key;
    if (ok) {
        in_key = IPFlowID(IPAddress(v.saddr()), sport, IPAddress(v.daddr()), dport);
        out_key = IPFlowID(IPAddress(v.daddr()), dport, IPAddress(v.saddr()), sport);
    }

    L2Info l;
    int dir = _dir;
    bool found = false;
    if (ok) {
        SpinlockGuard g(_lock);
        if (_dir != DIR_WAN_OUT) {
            auto it = _map.find(in_key);
            if (it != _map.end()) {
                l = it->second;
                found = true;
                dir = DIR_WAN_IN;
            }
        }
        if (!found && _dir != DIR_WAN_IN) {
            auto it = _map.find(out_key);
            if (it != _map.end()) {
                l = it->second;
                found = true;
                dir = DIR_WAN_OUT;
            }
        }
    }
    if (!found) {
        _not_found.fetch_add(1, std::memory_order_relaxed);
        if (WLogger::enabled(WLogger::WARN)) {
            int64_t now = int64_t(Timestamp::now_steady().sec());
            int64_t last = _last_warn.load(std::memory_order_relaxed);
            if (last != now && _last_warn.compare_exchange_strong(last, now))
                WLogger::warn("%s L2 session not found on %i: %s", name().c_str(), _dir,
                              (_dir == DIR_WAN_OUT ? out_key : in_key).unparse().c_str());
        }
        output(1).push(p);
        return;
    }

    uint8_t hdr[14];
    if (_static)
        std::memcpy(hdr, _static_header, 14);
    else {
        std::memcpy(hdr, dir == DIR_WAN_IN ? l.lan_mac : l.wan_mac, 6);
        std::memcpy(hdr + 6, dir == DIR_WAN_IN ? l.wan_mac : l.lan_mac, 6);
        hdr[12] = 0x08;
        hdr[13] = 0x00;
    }

    // Whatever stands before the IP header (nothing, an Ethernet header, a
    // VLAN-tagged one) is replaced by exactly 14 bytes.
    uint32_t nh_off = uint32_t(nh - p->data());
    WritablePacket* q = p->uniqueify();
    if (!q) {
        WLogger::error("%s out of memory", name().c_str());
        return;
    }
    q->pull(nh_off);
    q = q->push(14);
    if (!q) {
        WLogger::error("%s out of memory", name().c_str());
        return;
    }
    std::memcpy(q->data(), hdr, 14);
    q->set_mac_header(q->data(), 14);
    q->set_network_header(q->data() + 14, uint32_t(v.hl));
    if (_strip)
        q->pull(_strip);

    set_vlan_tci_anno(q, l.vlan);
    set_session_id_anno(q, l.session_id);
    set_session_direction_anno(q, uint8_t(dir));
    _mapped.fetch_add(1, std::memory_order_relaxed);
    output(0).push(q);
}

void L2Mapper::add_handlers() {
    add_read_handler("map_size", ReadHandlerFunction([this] { return std::to_string(map_size()); }));
    add_read_handler("mapped", ReadHandlerFunction([this] { return std::to_string(_mapped.load()); }));
    add_read_handler("not_found", ReadHandlerFunction([this] { return std::to_string(_not_found.load()); }));
}

QUILO_REGISTER_ELEMENT(L2Mapper);
