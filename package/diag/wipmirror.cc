#include "diag/wipmirror.hh"

#include <host/args.hh>

#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"
#include "rsp/rsp_wire.hh"

namespace {

template <size_t N>
void swap_bytes(uint8_t* a, uint8_t* b) {
    uint8_t t[N];
    std::memcpy(t, a, N);
    std::memcpy(a, b, N);
    std::memcpy(b, t, N);
}

}  // namespace

int WIPMirror::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool dst_anno = true;
    if (Args(conf, this, errh).read("DST_ANNO", dst_anno).complete() < 0)
        return -1;
    if (WBase::configure(conf, errh) < 0)
        return -1;
    _dst_anno = dst_anno;
    return 0;
}

Packet* WIPMirror::simple_action(Packet* p) {
    if (!p->has_network_header() || p->network_header() < p->data() || p->end_data() - p->network_header() < 20) {
        _short.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    WritablePacket* q = p->uniqueify();
    if (!q)
        return nullptr;
    uint8_t* ip = q->network_header();
    size_t avail = size_t(q->end_data() - ip);
    swap_bytes<4>(ip + 12, ip + 16);
    if (_dst_anno) {
        uint32_t dst;
        std::memcpy(&dst, ip + 16, 4);
        set_dst_ip_anno(q, dst);
    }
    _mirrored.fetch_add(1, std::memory_order_relaxed);

    uint8_t proto;
    size_t th;
    int s = shim_offset(ip, avail, _wconf->shim_config());
    if (s >= 0) {
        const uint8_t* shim = ip + s;
        proto = shim[2];
        th = size_t(s) + WSHIM_LEN + ((shim[3] & WSHIM_STREAM) ? RSP_HEADER_LEN : 0);
    } else {
        proto = ip[9];
        th = size_t(ip[0] & 0x0F) * 4;
    }
    bool later_fragment = (uint16_t(ip[6] << 8 | ip[7]) & IP_OFFMASK) != 0;
    if ((proto != IPPROTO_TCP && proto != IPPROTO_UDP) || later_fragment)
        return q;
    size_t need = proto == IPPROTO_TCP ? 12 : 8;
    if (th < 20 || th > avail || avail - th < need) {
        _short.fetch_add(1, std::memory_order_relaxed);
        return q;
    }
    uint8_t* t = ip + th;
    swap_bytes<2>(t, t + 2);
    if (proto == IPPROTO_TCP)
        swap_bytes<4>(t + 4, t + 8);
    return q;
}

void WIPMirror::add_handlers() {
    add_read_handler("mirrored", ReadHandlerFunction([this] { return std::to_string(_mirrored.load()); }));
    add_read_handler("short", ReadHandlerFunction([this] { return std::to_string(_short.load()); }));
}

QUILO_REGISTER_ELEMENT(WIPMirror);
