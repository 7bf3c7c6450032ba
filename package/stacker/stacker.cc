#include "stacker/stacker.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/handlercall.hh>
#include <host/ipflowid.hh>
#include <host/router.hh>

#include <cstring>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/ownpacket.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "rsp/rsp_wire.hh"
#include "sessions/sessionmanager.hh"
#include "sessions/sessionpacket.hh"
#include "stacker/stacker_wire.hh"

namespace {

constexpr uint32_t STACKER_HEADROOM = 28;

}  // namespace

Stacker::Stacker() : _timer(timer_hook, this) {}

Stacker::~Stacker() {
    if (_open)
        _open->kill();
}

int Stacker::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    IPAddress local_ip;
    std::string notifier_name, mode;
    int port = 0;
    int wait_ms = 50, mtu = 1500;
    uint32_t send_when = 1450, whole_first = 0;
    bool debug = false;
    Element* sessions = nullptr;
    if (Args(conf, this, errh)
            .read_m("LOCAL_IP", local_ip)
            .read_m("NOTIFIER", WordArg(), notifier_name)
            .read_m("PEER_OUTPUT_PORT", port)
            .read_m("MODE", WordArg(), mode)
            .read("WAIT_TIME_MS", wait_ms)
            .read("MTU", mtu)
            .read("SEND_WHEN_LEN", send_when)
            .read("WHOLE_FIRST", whole_first)
            .read("DEBUG", debug)
            .read("SESSIONS", ElementArg(), sessions)
            .complete() < 0)
        return -EINVAL;
    if (sessions) {
        _sessions = static_cast<SessionManager*>(sessions->cast("SessionManager"));
        if (!_sessions)
            return errh->error("SESSIONS: %s is not a SessionManager", sessions->name().c_str());
    } else {
        for (Element* e : router()->elements())
            if ((_sessions = static_cast<SessionManager*>(e->cast("SessionManager"))))
                break;
    }
    if (wait_ms < 0)
        return errh->error("WAIT_TIME_MS must not be negative");
    if (whole_first > 255)
        return errh->error("WHOLE_FIRST must be at most 255");
    if (configure_peer(mode, notifier_name, port, errh) < 0)
        return -EINVAL;
    _shim = _wconf->shim_config();
    // A stacker packet must hold its own headers and at least one minimal
    // IP packet, and its length must fit the 16-bit total-length field.
    size_t hdr = ownpacket::header_len(_shim);
    if (mtu < int(hdr + 20) || mtu > 65535)
        return errh->error("MTU must be between %d and 65535", int(hdr + 20));
    _local_ip = local_ip;
    _wait_ms = uint32_t(wait_ms);
    _mtu = uint32_t(mtu);
    _send_when_len = send_when;
    _debug = debug;
    _whole_first = whole_first;
    if (_whole_first && _firsts.empty())
        _firsts.assign(FIRSTS_SLOTS, 0);
    return 0;
}

int Stacker::initialize(ErrorHandler*) {
    _ip_id = 1;
    _timer.initialize(this);
    return 0;
}

void Stacker::cleanup(CleanupStage) {
    _timer.unschedule();
    _lock.acquire();
    if (_open) {
        _open->kill();
        _open = nullptr;
    }
    _lock.release();
}

bool Stacker::open_packet() {
    size_t hdr = ownpacket::header_len(_shim);
    WritablePacket* q = Packet::make(STACKER_HEADROOM, nullptr, uint32_t(hdr), _mtu - uint32_t(hdr));
    if (!q) {
        count(_c.no_memory);
        WLogger::error("%s out of memory", name().c_str());
        return false;
    }
    ownpacket::build(q->data(), _shim, WSHIM_PROTO_STACKER, _ip_id++, _local_ip.addr(),
                     peer_net());
    q->set_network_header(q->data(), 20);
    _open = q;
    return true;
}

Packet* Stacker::close_packet() {
    if (!_open) {
        WLogger::error("%s attempting to send empty stacker packet.", name().c_str());
        return nullptr;
    }
    WritablePacket* q = _open;
    _open = nullptr;
    _timer.unschedule();
    ownpacket::set_length(q->data(), _shim, uint16_t(q->length()));
    set_dst_ip_anno(q, peer_net());
    q->set_timestamp_anno(Timestamp::now());
    count(_c.sent);
    return q;
}

bool Stacker::first_of_conversation(const uint8_t* ip, size_t len) {
    SessionPacket sp;
    if (!parse_session_packet(ip, len, _shim, &sp))
        return false;
    uint64_t h = IPFlowID(IPAddress(sp.saddr), sp.sport, IPAddress(sp.daddr), sp.dport).hashcode();
    h ^= uint64_t(sp.proto) << 56;
    uint64_t& slot = _firsts[h & (FIRSTS_SLOTS - 1)];
    uint64_t tag = h & ~uint64_t(0xFF);
    if ((slot & ~uint64_t(0xFF)) != tag)
        slot = tag;
    if ((slot & 0xFF) >= _whole_first)
        return false;
    ++slot;
    return true;
}

void Stacker::push_tx(Packet* p) {
    IPv4View v;
    // The packet's own total length decides how much is copied, and only
    // when the packet holds that many bytes.
    if (!ipv4_view(p, &v, true)) {
        output(0).push(p);
        return;
    }
    size_t hdr = ownpacket::header_len(_shim);
    Packet* full = nullptr;
    int port = 2;
    _lock.acquire();
    if (_whole_first && first_of_conversation(v.ip, v.tot)) {
        // Whole, behind what is already stacked.
        if (_open)
            full = close_packet();
        count(_c.whole);
        port = 0;
    } else if (_open && _mtu - _open->length() < v.tot) {
        full = close_packet();
        port = 0;
    } else if (!_open && v.tot > _mtu - hdr) {
        port = 0;
    } else if (!_open && !open_packet()) {
        port = 0;
    } else {
        uint32_t at = _open->length();
        if (WritablePacket* q = _open->put(uint32_t(v.tot))) {
            _open = q;
            std::memcpy(q->data() + at, v.ip, v.tot);
            count(_c.stacked);
            if (_open->length() >= _send_when_len)
                full = close_packet();
            else if (!_timer.scheduled())
                _timer.schedule_after_msec(_wait_ms);
        } else {
            // put() freed the buffer it could not grow.
            _open = nullptr;
            _timer.unschedule();
            count(_c.no_memory);
            WLogger::error("%s error putting data", name().c_str());
            port = 0;
        }
    }
    _lock.release();
    if (full)
        output(1).push(full);
    output(port).push(p);
}

void Stacker::timer_hook(Timer*, void* self) {
    auto* s = static_cast<Stacker*>(self);
    s->_lock.acquire();
    WLogger::debug("%s sending packet via timer", s->name().c_str());
    Packet* q = s->_open ? s->close_packet() : nullptr;
    s->_lock.release();
    if (q)
        s->output(1).push(q);
}

void Stacker::refresh_session(Packet* q, const uint8_t* inner, size_t n) {
    SessionPacket sp;
    if (!_sessions || !parse_session_packet(inner, n, _shim, &sp))
        return;
    Timestamp ts = q->timestamp_anno();
    if (!ts)
        ts = Timestamp::now();
    if (uint32_t id = _sessions->refresh(sp, WAN_IN, ts)) {
        set_session_direction_anno(q, uint8_t(WAN_IN));
        set_session_id_anno(q, id);
    }
}

void Stacker::push_rx(Packet* p) {
    const uint8_t* ip = packet_ip(p);
    size_t avail = size_t(p->end_data() - ip);
    int so = shim_offset(ip, avail, _shim);
    if (so < 0 || ip[so + 2] != WSHIM_PROTO_STACKER) {
        output(0).push(p);
        return;
    }
    stacker::Unpacked u;
    Packet* head = nullptr;
    Packet* tail = nullptr;
    stacker::Result r = stacker::unpack(ip, avail, size_t(so), [&](const uint8_t* inner, size_t n) {
        WritablePacket* q = Packet::make(STACKER_HEADROOM, inner, uint32_t(n), 0);
        if (!q) {
            count(_c.no_memory);
            WLogger::error("%s out of memory", name().c_str());
            return false;
        }
        q->set_network_header(q->data(), uint32_t(inner[0] & 0x0F) * 4);
        q->set_timestamp_anno(p->timestamp_anno());
        refresh_session(q, inner, n);
        if (tail)
            tail->set_next(q);
        else
            head = q;
        tail = q;
        return true;
    }, &u);
    _c.unstacked.fetch_add(u.count, std::memory_order_relaxed);
    _c.not_ipv4.fetch_add(u.not_ipv4, std::memory_order_relaxed);
    switch (r) {
    case stacker::Result::corrupt:
        count(_c.corrupt);
        if (log_allowed())
            WLogger::error("%s corrupt stacker packet, ip len: %i, data len: %i ", name().c_str(),
                           int(u.bad_len), int(u.remaining));
        break;
    case stacker::Result::no_memory:
        break;
    case stacker::Result::ok:
        if (_debug)
            WLogger::debug("%s unstacked %i packets. (%i)", name().c_str(), int(u.count), int(u.remaining));
        if (u.count == 0 && u.not_ipv4 == 0 && log_allowed())
            WLogger::warn("%s stacker packet received with 0 stacked packets", name().c_str());
        break;
    }
    p->kill();
    while (head) {
        Packet* n = head->next();
        head->set_next(nullptr);
        output(1).push(head);
        head = n;
    }
}

void Stacker::add_handlers() {
    add_counter_handler("stacked", &_c.stacked);
    add_counter_handler("sent", &_c.sent);
    add_counter_handler("unstacked", &_c.unstacked);
    add_counter_handler("corrupt", &_c.corrupt);
    add_counter_handler("not_ipv4", &_c.not_ipv4);
    add_counter_handler("no_memory", &_c.no_memory);
    add_counter_handler("whole", &_c.whole);
    add_read_handler("peer", ReadHandlerFunction([this] { return IPAddress(peer_net()).unparse(); }));
}

QUILO_REGISTER_ELEMENT(Stacker);
