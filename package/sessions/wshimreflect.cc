#include "sessions/wshimreflect.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "rsp/rsp_wire.hh"
#include "sessions/flowtable.hh"

// Offset of the shim header from the packet's data, or -1.
static int shim_at(const Packet* p, const ShimConfig& c) {
    if (!p->has_network_header())
        return -1;
    const uint8_t* nh = p->network_header();
    if (nh < p->data() || nh >= p->end_data())
        return -1;
    int s = shim_offset(nh, size_t(p->end_data() - nh), c);
    return s < 0 ? -1 : int(nh - p->data()) + s;
}

int WShimReflect::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (Args(conf, this, errh).complete() < 0)
        return -1;
    return WBase::configure(conf, errh);
}

void WShimReflect::push(int, Packet* p) {
    int s = shim_at(p, _wconf->shim_config());
    if (s < 0) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    if (p->data()[s + 2] != IPPROTO_TCP) {
        WLogger::debug("%s not a TCP packet, skipping reflect.", name().c_str());
        _dropped.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    // A packet that already carries the reflect mark came back from the
    // peer, which could not place it either (both ends lost the session):
    // reflecting it again would bounce it between the appliances forever.
    if (p->data()[s + 3] & WSHIM_REFLECT) {
        WLogger::debug("%s packet already reflected, dropping.", name().c_str());
        _dropped.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    // The inner TCP ports follow the shim (and the RSP header on stream
    // packets).
    size_t inner = size_t(s) + 4 + ((p->data()[s + 3] & WSHIM_STREAM) ? RSP_HEADER_LEN : 0);
    if (inner + 4 > p->length()) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    WritablePacket* q = p->uniqueify();
    if (!q) {
        WLogger::error("%s unable to allocate packet.", name().c_str());
        return;
    }
    q->data()[s + 3] |= WSHIM_REFLECT;
    // The packet goes back to where it came from, so it travels as the
    // session's other direction: IP addresses, inner ports and Ethernet
    // addresses swapped. The sender's session manager then finds the
    // session the packet belongs to (its key is oriented by direction) and
    // its flow lookup hands it to the peer branch, where WHandleShimReflect
    // detaches the session. Swapping 16-bit-aligned words leaves every
    // checksum as it was.
    uint8_t* ip = q->network_header();
    for (int i = 0; i < 4; ++i)
        std::swap(ip[12 + i], ip[16 + i]);
    uint8_t* ports = q->data() + inner;
    std::swap(ports[0], ports[2]);
    std::swap(ports[1], ports[3]);
    if (q->has_mac_header() && q->mac_header() >= q->data() && ip - q->mac_header() >= 12) {
        uint8_t* eth = q->mac_header();
        for (int i = 0; i < 6; ++i)
            std::swap(eth[i], eth[6 + i]);
    }
    _reflected.fetch_add(1, std::memory_order_relaxed);
    output(0).push(q);
}

void WShimReflect::add_handlers() {
    add_read_handler("reflected", ReadHandlerFunction([this] { return std::to_string(_reflected.load()); }));
    add_read_handler("dropped", ReadHandlerFunction([this] { return std::to_string(_dropped.load()); }));
}

int WHandleShimReflect::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (Args(conf, this, errh).complete() < 0)
        return -1;
    FlowTable* t = find_flow_table(router());
    if (!t)
        return errh->error("FlowTable not found");
    if (WBase::configure(conf, errh) < 0)
        return -1;
    _table = t;
    return 0;
}

void WHandleShimReflect::push(int, Packet* p) {
    int s = shim_at(p, _wconf->shim_config());
    if (s < 0 || !(p->data()[s + 3] & WSHIM_REFLECT)) {
        output(0).push(p);
        return;
    }
    uint32_t sid = session_id_anno(p);
    if (sid) {
        WLogger::info("%s Reflect packet received, resetting flow", name().c_str());
        _table->reset_flow(p, sid, SessionNotifier::WAN_IN);
        _handled.fetch_add(1, std::memory_order_relaxed);
    } else {
        WLogger::warn("%s Reflect packet received with no session ID.", name().c_str());
        _no_session.fetch_add(1, std::memory_order_relaxed);
    }
    p->kill();
}

void WHandleShimReflect::add_handlers() {
    add_read_handler("handled", ReadHandlerFunction([this] { return std::to_string(_handled.load()); }));
    add_read_handler("no_session", ReadHandlerFunction([this] { return std::to_string(_no_session.load()); }));
}

QUILO_REGISTER_ELEMENT(WShimReflect);
QUILO_REGISTER_ELEMENT(WHandleShimReflect);
