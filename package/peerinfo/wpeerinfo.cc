#include "peerinfo/wpeerinfo.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/router.hh>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/annotations.hh"
#include "common/predecessor.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"

namespace {

constexpr uint32_t PEERINFO_HEADROOM = 28;

inline uint8_t* ip_of(Packet* p) {
    const uint8_t* nh = p->network_header();
    if (nh && nh >= p->data() && nh <= p->end_data())
        return const_cast<uint8_t*>(nh);
    return const_cast<uint8_t*>(p->data());
}

}  // namespace

// ---------------------------------------------------------------------------
// RTT probe

void WRTTProtocol::set_peer_ip(IPAddress peer) {
    if (!peer)
        return;
    _peer = peer;
    if (_timer.initialized())
        _timer.schedule_after_sec(_interval);
}

void WRTTProtocol::timer_hook() {
    _e->_lock.acquire();
    _avg.on_request();
    Packet* out = nullptr;
    if (_enable && _local_ip && _peer) {
        size_t len = peerinfo::rtt_len(_e->_shim);
        WritablePacket* p = Packet::make(PEERINFO_HEADROOM, nullptr, uint32_t(len), 0);
        if (!p) {
            WLogger::error("%s Insufficient memory to allocate WRTT packet", _e->name().c_str());
        } else {
            peerinfo::Addr a{_local_ip.addr(), _peer.addr(), _ip_id++};
            peerinfo::build_rtt(p->data(), len, _e->_shim, a, _path_link, WRTT_REQUEST, click_jiffies());
            p->set_network_header(p->data(), 20);
            set_dst_ip_anno(p, _peer.addr());
            if (_path_link > 0)
                set_path_anno(p, _path_link);
            p->set_timestamp_anno(Timestamp::now());
            out = p;
        }
    }
    _e->_lock.release();
    if (out)
        _e->output(1).push(out);
    _timer.reschedule_after_sec(_interval);
}

void WRTTProtocol::handle_packet(Packet* p, uint8_t*, const peerinfo::View& v) {
    peerinfo::Rtt r;
    size_t nh_off = size_t(ip_of(p) - p->data());
    if (!peerinfo::parse_rtt(ip_of(p), v, &r)) {
        _e->log_limited(WLogger::WARN, "%s invalid WRTT type received", _e->name().c_str());
        p->kill();
        return;
    }
    if (r.type == WRTT_REQUEST) {
        WritablePacket* w = p->uniqueify();
        if (!w) {
            WLogger::error("%s Insufficient memory to allocate WRTT packet", _e->name().c_str());
            return;
        }
        // The answer leaves as an IP packet, like the requests built here:
        // the link header it arrived with (and any padding after the IP
        // datagram) would otherwise end up inside the next one put in front.
        w->pull(uint32_t(nh_off));
        if (w->length() > v.ip_len)
            w->take(w->length() - uint32_t(v.ip_len));
        w->set_network_header(w->data(), uint32_t(v.ip_hlen));
        peerinfo::make_rtt_response(w->data(), v);
        // The answer goes back to the peer that asked, over the path the
        // request probes: a path selector sends it through that path's
        // gateway, so each path's probes and answers share one path.
        set_dst_ip_anno(w, v.src_net);
        if (_path_link > 0)
            set_path_anno(w, _path_link);
        _e->output(2).push(w);
        return;
    }
    if (r.type == WRTT_RESPONSE) {
        int32_t sample = int32_t(click_jiffies() - r.timestamp);
        _e->_lock.acquire();
        bool ok = _avg.on_response(sample);
        uint16_t avg = _avg.average();
        _e->_lock.release();
        if (!ok)
            WLogger::error("%s negative RTT", _e->name().c_str());
        else if (_debug)
            WLogger::debug("%s RTT response: %d, scaled moving average: %d", _e->name().c_str(), sample, avg);
        p->kill();
        return;
    }
    _e->log_limited(WLogger::WARN, "%s invalid WRTT type received", _e->name().c_str());
    p->kill();
}

// ---------------------------------------------------------------------------
// Host-name exchange

void WHostInfoProtocol::set_peer_ip(IPAddress peer) {
    if (!peer)
        return;
    WLogger::debug("%s set_peer_ip", _e->name().c_str());
    _info.peer_ip = peer;
    if (!_local_hostname.empty() && _timer.initialized()) {
        WLogger::debug("%s set_peer_ip scheduling timer", _e->name().c_str());
        _timer.schedule_now();
    }
}

Packet* WHostInfoProtocol::make_packet(bool request) {
    size_t len = peerinfo::host_info_len(_e->_shim, _local_hostname.size());
    WritablePacket* p = Packet::make(PEERINFO_HEADROOM, nullptr, uint32_t(len), 0);
    if (!p) {
        WLogger::error("%s Insufficient memory to allocate WHostInfoProtocol packet", _e->name().c_str());
        return nullptr;
    }
    peerinfo::Addr a{_local_ip.addr(), _info.peer_ip.addr(), _ip_id++};
    peerinfo::build_host_info(p->data(), len, _e->_shim, a, request, _local_hostname.data(),
                              _local_hostname.size());
    p->set_network_header(p->data(), 20);
    set_dst_ip_anno(p, _info.peer_ip.addr());
    p->set_timestamp_anno(Timestamp::now());
    return p;
}

void WHostInfoProtocol::timer_hook() {
    if (_debug)
        WLogger::debug("%s running timer", _e->name().c_str());
    _e->_lock.acquire();
    bool announce = _announce_name;
    _announce_name = false;
    if (!_info.hostname.empty() && !announce) {
        _e->_lock.release();
        if (_debug)
            WLogger::debug("%s we have the peer hostname, so not initiating send.", _e->name().c_str());
        return;
    }
    Packet* out = nullptr;
    if (_enabled && _local_ip && !_local_hostname.empty() && _info.peer_ip)
        out = make_packet(_info.hostname.empty());
    _e->_lock.release();
    if (out) {
        if (_debug)
            WLogger::debug("%s pushing host info packet inside timer", _e->name().c_str());
        _e->output(1).push(out);
    }
    if (_debug)
        WLogger::debug("%s timer scheduled after %d seconds", _e->name().c_str(), int(_interval));
    _timer.schedule_after_sec(_interval);
}

void WHostInfoProtocol::handle_packet(Packet* p, const uint8_t* ip, const peerinfo::View& v) {
    WLogger::debug("%s hostinfo handle_packet", _e->name().c_str());
    peerinfo::HostInfoResult r;
    switch (peerinfo::parse_host_info(ip, v, &r)) {
    case peerinfo::HostInfo::short_packet:
        _e->log_limited(WLogger::WARN, "%s WHostInfoProtocol received invalid packet transport length: %d", _e->name().c_str(),
                         int(v.ip_len - v.ip_hlen));
        p->kill();
        return;
    case peerinfo::HostInfo::bad_field:
        _e->log_limited(WLogger::ERROR, "%s WHostInfoProtocol invalid field data. Type: %d, field len: %x", _e->name().c_str(),
                       int(r.bad_type), unsigned(r.bad_len));
        p->kill();
        return;
    case peerinfo::HostInfo::bad_type:
        _e->log_limited(WLogger::ERROR, "%s WHostInfoProtocol invalid field type received: %d", _e->name().c_str(),
                        int(r.bad_type));
        p->kill();
        return;
    case peerinfo::HostInfo::ok:
        break;
    }
    _e->_lock.acquire();
    bool changed = false;
    whost_info info;
    if (r.has_name) {
        std::string name(r.name, r.name_len);
        WLogger::debug("%s remote peer hostname received: %s", _e->name().c_str(), name.c_str());
        if (name != _info.hostname) {
            _info.hostname = name;
            changed = true;
            info = _info;
        }
    }
    WLogger::debug("%s peer info updated", _e->name().c_str());
    Packet* resp = nullptr;
    if ((r.flags & WHOST_INFO_REQUEST) && !_local_hostname.empty()) {
        WLogger::debug("%s request bit set", _e->name().c_str());
        bool ask = _info.hostname.empty();
        if (ask)
            WLogger::debug("%s we dont have peer hostname, adding request flag", _e->name().c_str());
        resp = make_packet(ask);
    }
    _e->_lock.release();
    p->kill();
    if (changed)
        _e->peer_info_notify(info);
    if (resp) {
        WLogger::debug("%s pushing response", _e->name().c_str());
        _e->output(2).push(resp);
    }
}

// ---------------------------------------------------------------------------
// Element

WPeerInfo::WPeerInfo() : _rtt(this), _host(this) {
    _rtt._timer.assign([](Timer*, void* t) { static_cast<WRTTProtocol*>(t)->timer_hook(); }, &_rtt);
    _host._timer.assign([](Timer*, void* t) { static_cast<WHostInfoProtocol*>(t)->timer_hook(); }, &_host);
    WLogger::debug("%s wpeer_proto_header size: %d, wrtt_header size: %d, whost_info_header: %d", "WPeerInfo",
                   int(sizeof(wpeer_proto_header)), int(sizeof(wrtt_header)), int(sizeof(whost_info_header)));
}

WPeerInfo::~WPeerInfo() = default;

void* WPeerInfo::cast(const char* name) {
    if (strcmp(name, "PeerInfoNotifier") == 0)
        return static_cast<PeerInfoNotifier*>(this);
    if (strcmp(name, "WPeerInfo") == 0)
        return this;
    return Element::cast(name);
}

int WPeerInfo::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    IPAddress local_ip;
    std::string notifier_name;
    int port = 0;
    bool enable = true, debug = false;
    int rtt_interval = 5, host_interval = 90, path_link = 0;
    if (Args(conf, this, errh)
            .read_m("LOCAL_IP", local_ip)
            .read_m("NOTIFIER", WordArg(), notifier_name)
            .read_m("PEER_OUTPUT_PORT", port)
            .read("ENABLE", enable)
            .read("RTT_TIMER_INTERVAL", rtt_interval)
            .read("HOST_INFO_TIMER_INTERVAL", host_interval)
            .read("DEBUG", debug)
            .read("PATH_LINK", path_link)
            .complete() < 0)
        return -EINVAL;
    if (rtt_interval < 1 || rtt_interval > 65535)
        return errh->error("RTT_TIMER_INTERVAL must be between 1 and 65535 seconds");
    if (host_interval < 1 || host_interval > 65535)
        return errh->error("HOST_INFO_TIMER_INTERVAL must be between 1 and 65535 seconds");
    if (path_link < 0 || path_link > 3)
        return errh->error("PATH_LINK must be between 0 and 3");
    PeerDiscoveryNotifier* notifier = find_peer_notifier(this, notifier_name, errh);
    if (!notifier)
        return -EINVAL;
    if (WBase::configure(conf, errh) < 0)
        return -EINVAL;

    _local_ip = local_ip;
    _peer_output_port = port;
    _enable = enable;
    _debug = debug;
    _path_link = uint8_t(path_link);
    _shim = _wconf->shim_config();

    _rtt._interval = uint16_t(rtt_interval);
    _rtt._local_ip = local_ip;
    _rtt._enable = enable;
    _rtt._debug = debug;
    _rtt._path_link = _path_link;

    _host._interval = uint16_t(host_interval);
    _host._local_ip = local_ip;
    _host._local_hostname = _wconf->hostname().substr(0, WHOST_NAME_MAX);
    _host._enabled = enable && path_link < 2;
    _host._debug = debug;

    notifier->add_listener(this, port);
    return 0;
}

int WPeerInfo::initialize(ErrorHandler*) {
    _rtt._timer.initialize(this);
    _host._timer.initialize(this);
    _lock.acquire();
    _initialized = true;
    IPAddress peer = _peer;
    _lock.release();
    // A peer announced before the timers existed starts them now.
    if (peer) {
        _rtt.set_peer_ip(peer);
        _host.set_peer_ip(peer);
    }
    return 0;
}

void WPeerInfo::cleanup(CleanupStage) {
    _rtt._timer.unschedule();
    _host._timer.unschedule();
}

void WPeerInfo::take_state(Element* old_e, ErrorHandler* errh) {
    WPeerInfo* old = predecessor_as(this, old_e, "WPeerInfo", errh);
    if (!old)
        return;
    if (old->_local_ip != _local_ip || old->_path_link != _path_link) {
        WLogger::info("%s local address or path link changed, starting afresh", name().c_str());
        return;
    }
    _lock.acquire();
    old->_lock.acquire();
    IPAddress peer = old->_peer;
    if (!peer || (_peer && _peer != peer)) {
        old->_lock.release();
        _lock.release();
        return;
    }
    bool name_changed = old->_host._local_hostname != _host._local_hostname;
    _rtt._avg = old->_rtt._avg;
    _rtt._ip_id = old->_rtt._ip_id;
    _host._info = old->_host._info;
    _host._ip_id = old->_host._ip_id;
    _malformed = old->_malformed;
    old->_lock.release();
    if (!_peer) {
        _peer = peer;
        _rtt.set_peer_ip(peer);
        // Both names are known unless the exchange had not finished or this
        // end's name changed; then the host-information timer runs at once.
        if (_host._info.hostname.empty() || name_changed) {
            _host._announce_name = name_changed;
            _host.set_peer_ip(peer);
        }
    }
    _lock.release();
    WLogger::debug("%s state taken successfully. Peer: %s", name().c_str(), _peer.unparse().c_str());
}

void WPeerInfo::log_limited(int level, const char* fmt, ...) {
    // Bad packets can arrive at line rate: one line per second.
    uint32_t now = click_jiffies();
    _lock.acquire();
    bool quiet = _last_warn && uint32_t(now - _last_warn) < 1000;
    if (!quiet)
        _last_warn = now ? now : 1;
    _lock.release();
    if (quiet)
        return;
    char buf[512];
    va_list val;
    va_start(val, fmt);
    vsnprintf(buf, sizeof buf, fmt, val);
    va_end(val);
    if (level >= WLogger::ERROR)
        WLogger::error("%s", buf);
    else
        WLogger::warn("%s", buf);
}

void WPeerInfo::peer_discovered_notify(const IPAddress& peer) {
    _lock.acquire();
    WLogger::debug("%s peer IP Address notification. Peer: %s, Output Port: %d, New Peer: %d", name().c_str(),
                   peer.unparse().c_str(), _peer_output_port, _peer ? 0 : 1);
    if (_peer && _peer != peer)
        WLogger::warn("%s existing peer IP does not match the new peer IP. Existing Peer: %s, New Peer: %s",
                      name().c_str(), _peer.unparse().c_str(), peer.unparse().c_str());
    if (_peer == peer) {
        _lock.release();
        return;
    }
    _peer = peer;
    _rtt.set_peer_ip(peer);
    _host.set_peer_ip(peer);
    _lock.release();
}

void WPeerInfo::push(int, Packet* p) {
    uint8_t* ip = ip_of(p);
    peerinfo::View v;
    switch (peerinfo::parse(ip, size_t(p->end_data() - ip), _shim, &v)) {
    case peerinfo::Parse::not_peerinfo:
        output(0).push(p);
        return;
    case peerinfo::Parse::malformed:
        _lock.acquire();
        ++_malformed;
        _lock.release();
        log_limited(WLogger::WARN, "%s malformed Peer Info packet dropped", name().c_str());
        p->kill();
        return;
    case peerinfo::Parse::ok:
        break;
    }
    _lock.acquire();
    IPAddress peer = _peer;
    _lock.release();
    if (!peer) {
        WLogger::info("%s Peer Info packet received before PEER IP has been set", name().c_str());
        p->kill();
        return;
    }
    if (_path_link > 1 && (v.shim_control >> WSHIM_PATH_SHIFT) != _path_link) {
        checked_output_push(3, p);
        return;
    }
    if (!_enable || v.src_net != peer.addr() || v.dst_net != _local_ip.addr()) {
        log_limited(WLogger::WARN, "%s invalid Peer Info packet received. Source: %s, Destination: %s", name().c_str(),
                     IPAddress(v.src_net).unparse().c_str(), IPAddress(v.dst_net).unparse().c_str());
        p->kill();
        return;
    }
    if (!peerinfo::checksum_ok(ip, v)) {
        log_limited(WLogger::WARN, "%s Invalid Peer Info packet checksum", name().c_str());
        p->kill();
        return;
    }
    if (v.protocol == WPEER_PROTO_RTT)
        _rtt.handle_packet(p, ip, v);
    else if (v.protocol == WPEER_PROTO_HOST_INFO)
        _host.handle_packet(p, ip, v);
    else {
        log_limited(WLogger::WARN, "%s invalid peer info protocol received: %u", name().c_str(), unsigned(v.protocol));
        p->kill();
    }
}

uint16_t WPeerInfo::rtt_average() {
    SpinlockGuard g(_lock);
    return _rtt._avg.average();
}

uint16_t WPeerInfo::missed_responses() {
    SpinlockGuard g(_lock);
    return _rtt._avg.missed();
}

bool WPeerInfo::rtt_valid() {
    SpinlockGuard g(_lock);
    return _rtt._avg.valid();
}

std::string WPeerInfo::peer_hostname() {
    SpinlockGuard g(_lock);
    return _host._info.hostname;
}

void WPeerInfo::add_handlers() {
    add_read_handler("wrtt", ReadHandlerFunction([this]() { return std::to_string(rtt_average()); }));
    add_read_handler("peerhostname", ReadHandlerFunction([this]() { return peer_hostname(); }));
    add_read_handler("missed_responses", ReadHandlerFunction([this]() { return std::to_string(missed_responses()); }));
}

QUILO_REGISTER_ELEMENT(WPeerInfo);
