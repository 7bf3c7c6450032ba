#include "common/ipcompdecap.hh"

#include <host/args.hh>
#include <host/spinlock.hh>

#include <cstring>

#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "rsp/rsp_wire.hh"

namespace {
// All IPCompDecap elements of the process serialise their work on this lock.
Spinlock ipcompdecap_lock;
}  // namespace

int IPCompDecap::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (WBase::configure(conf, errh) < 0)
        return -1;
    return Args(conf, this, errh).complete();
}

Packet* IPCompDecap::simple_action(Packet* p) {
    IPv4View v;
    if (!ipv4_view(p, &v))
        return p;
    const ShimConfig& sc = _wconf->shim_config();
    int shim = shim_offset(v.ip, v.tot, sc);
    if (shim < 0)
        return p;
    size_t c = shim_encap_len(sc);
    size_t strip = c;
    const wshim_header* sh = reinterpret_cast<const wshim_header*>(v.ip + shim);
    if (sh->flags & WSHIM_STREAM) {
        rsp::View rv;
        if (rsp::parse(v.ip, v.tot, sc, &rv) != rsp::Parse::ok) {
            ++_drops;
            p->kill();
            return nullptr;
        }
        strip += rv.rsp_bytes();
    }
    if (v.hlen + strip > v.tot) {
        ++_drops;
        p->kill();
        return nullptr;
    }

    SpinlockGuard guard(ipcompdecap_lock);
    size_t nh = size_t(v.ip - p->data());
    uint8_t proto = sh->protocol;
    WritablePacket* q = p->uniqueify();
    if (!q) {
        WLogger::error("%s Insufficient memory to allocate IPCompDecap packet", name().c_str());
        return nullptr;
    }
    uint8_t* ip = q->data() + nh;
    size_t inner = v.tot - v.hlen - strip;
    std::memmove(ip + v.hlen, ip + v.hlen + strip, q->length() - nh - v.hlen - strip);
    q->take(uint32_t(strip));
    uint16_t tot = uint16_t(v.hlen + inner);
    ip[2] = uint8_t(tot >> 8);
    ip[3] = uint8_t(tot);
    ip[9] = proto;
    ipv4_set_checksum(ip, v.hlen);
    q->set_network_header(ip, uint32_t(v.hlen));
    return q;
}

void IPCompDecap::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
}

QUILO_REGISTER_ELEMENT(IPCompDecap);
