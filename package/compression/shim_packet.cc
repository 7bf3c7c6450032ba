#include "compression/shim_packet.hh"

#include <host/packet.hh>

#include <arpa/inet.h>

#include <cstring>

#include "common/ipv4view.hh"
#include "compression/compressor_engine.hh"

namespace {

constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;

uint16_t get16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return ntohs(v);
}

void put16(uint8_t* p, uint16_t v) {
    v = htons(v);
    std::memcpy(p, &v, 2);
}

// The UDP length of a UDP-shim packet always covers the real packet: a UDP
// length beyond the packet makes conntrack and NAT drop it.
void fix_udp_len(uint8_t* ip, uint32_t ihl, uint32_t total) {
    put16(ip + ihl + 4, uint16_t(total - ihl));
}

}  // namespace

bool parse_shim_layout(const uint8_t* ip, size_t len, const ShimConfig& c, ShimLayout& l) {
    l = ShimLayout{};
    if (len < 20 || (ip[0] >> 4) != 4)
        return false;
    l.ihl = uint32_t(ip[0] & 0x0F) * 4;
    uint32_t total = get16(ip + 2);
    if (l.ihl < 20 || l.ihl > len || total < l.ihl || total > len)
        return false;
    l.total = total;
    l.ip_proto = ip[9];
    l.inner_proto = l.ip_proto;
    int off = shim_offset(ip, total, c);
    if (off > 0) {
        l.shim_off = uint32_t(off);
        l.encap = uint32_t(off) + uint32_t(WSHIM_LEN) - l.ihl;
        l.inner_proto = ip[off + 2];
    }
    l.fragment = (get16(ip + 6) & 0x1FFF) != 0;
    uint32_t start = l.ihl + l.encap;
    uint32_t avail = total - start;
    if (l.fragment) {
        l.transport_len = 0;
        l.transport_ok = true;
    } else if (l.inner_proto == PROTO_TCP) {
        if (avail >= 20) {
            uint32_t doff = uint32_t(ip[start + 12] >> 4) * 4;
            if (doff >= 20 && doff <= avail) {
                l.transport_len = doff;
                l.transport_ok = true;
            }
        }
    } else if (l.inner_proto == PROTO_UDP) {
        if (avail >= 8) {
            l.transport_len = 8;
            l.transport_ok = true;
        }
    } else {
        l.transport_ok = true;
    }
    if (l.transport_ok) {
        l.payload_off = start + l.transport_len;
        l.payload_len = total - l.payload_off;
    }
    return true;
}

void set_ip_total(uint8_t* ip, uint32_t total) {
    put16(ip + 2, uint16_t(total));
    ipv4_set_checksum(ip, size_t(ip[0] & 0x0F) * 4);
}

uint32_t shim_write_encap(uint8_t* ip, ShimLayout& l, const ShimConfig& c) {
    uint32_t add = uint32_t(shim_encap_len(c));
    uint32_t total = l.total + add;
    uint8_t old_proto = ip[9];
    uint32_t shim_off = l.ihl;
    if (c.udp_shim) {
        std::memcpy(ip + l.ihl, &c.sport_net, 2);
        std::memcpy(ip + l.ihl + 2, &c.dport_net, 2);
        ip[l.ihl + 6] = ip[l.ihl + 7] = 0;
        fix_udp_len(ip, l.ihl, total);
        ip[9] = PROTO_UDP;
        shim_off += uint32_t(WSHIM_UDP_LEN);
    } else {
        ip[9] = c.ipproto;
    }
    wshim_header* s = reinterpret_cast<wshim_header*>(ip + shim_off);
    s->magic = WSHIM_MAGIC;
    s->control = 0;
    s->protocol = old_proto;
    s->flags = 0;
    set_ip_total(ip, total);

    l.total = total;
    l.shim_off = shim_off;
    l.encap = add;
    l.ip_proto = ip[9];
    if (l.transport_ok)
        l.payload_off += add;
    return total;
}

uint32_t shim_insert(uint8_t* ip, ShimLayout& l, const ShimConfig& c) {
    uint32_t add = uint32_t(shim_encap_len(c));
    std::memmove(ip + l.ihl + add, ip + l.ihl, l.total - l.ihl);
    return shim_write_encap(ip, l, c);
}

uint32_t shim_write_compressed(uint8_t* ip, ShimLayout& l, const ShimConfig& c, const uint8_t* comp, uint32_t clen,
                               uint16_t check) {
    if (l.shim_off == 0) {
        // Only the transport header needs to move: the payload is replaced.
        uint32_t add = uint32_t(shim_encap_len(c));
        std::memmove(ip + l.ihl + add, ip + l.ihl, l.transport_len);
        uint8_t old_proto = ip[9];
        uint32_t shim_off = l.ihl;
        if (c.udp_shim) {
            std::memcpy(ip + l.ihl, &c.sport_net, 2);
            std::memcpy(ip + l.ihl + 2, &c.dport_net, 2);
            ip[l.ihl + 6] = ip[l.ihl + 7] = 0;
            ip[9] = PROTO_UDP;
            shim_off += uint32_t(WSHIM_UDP_LEN);
        } else {
            ip[9] = c.ipproto;
        }
        wshim_header* s = reinterpret_cast<wshim_header*>(ip + shim_off);
        s->magic = WSHIM_MAGIC;
        s->control = 0;
        s->protocol = old_proto;
        s->flags = 0;
        l.shim_off = shim_off;
        l.encap = add;
        l.ip_proto = ip[9];
        l.payload_off = l.ihl + add + l.transport_len;
    }
    std::memcpy(ip + l.payload_off, comp, clen);
    std::memcpy(ip + l.payload_off + clen, &check, 2);
    uint32_t total = l.payload_off + clen + 2;
    if (l.encap > WSHIM_LEN)
        fix_udp_len(ip, l.ihl, total);
    set_ip_total(ip, total);
    l.total = total;
    l.payload_len = clen + 2;
    return total;
}

uint32_t shim_remove(uint8_t* ip, const ShimLayout& l) {
    ip[9] = l.inner_proto;
    uint32_t rest = l.ihl + l.encap;
    std::memmove(ip + l.ihl, ip + rest, l.total - rest);
    uint32_t total = l.total - l.encap;
    set_ip_total(ip, total);
    return total;
}

uint32_t shim_write_decompressed(uint8_t* ip, const ShimLayout& l, const uint8_t* data, uint32_t dlen, bool keep_shim) {
    uint32_t total;
    if (keep_shim) {
        std::memcpy(ip + l.payload_off, data, dlen);
        total = l.payload_off + dlen;
        if (l.encap > WSHIM_LEN)
            fix_udp_len(ip, l.ihl, total);
    } else {
        ip[9] = l.inner_proto;
        std::memmove(ip + l.ihl, ip + l.ihl + l.encap, l.transport_len);
        std::memcpy(ip + l.ihl + l.transport_len, data, dlen);
        total = l.ihl + l.transport_len + dlen;
    }
    set_ip_total(ip, total);
    return total;
}

int packet_ip_offset(const Packet* p) {
    if (p->has_network_header()) {
        int off = p->network_header_offset();
        if (off >= 0 && uint32_t(off) < p->length())
            return off;
    }
    return 0;
}
