// Bounds-checked view of the IPv4 header of a packet, shared by the framing,
// fragmentation and header-check elements. A view exists only when the packet
// has a network header, version 4, a header length of at least 20 bytes, and
// header length <= IP total length <= bytes present from the header on.
#pragma once

#include <host/clicknet.hh>
#include <host/packet.hh>

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

struct IPv4View {
    const uint8_t* ip = nullptr;  // start of the IP header
    size_t avail = 0;             // bytes from the IP header to the end of the packet
    size_t hlen = 0;              // IP header length
    size_t tot = 0;               // IP total length (<= avail)

    uint8_t proto() const { return ip[9]; }
    uint16_t frag_field() const { return uint16_t(ip[6] << 8 | ip[7]); }
    bool first_fragment() const { return (frag_field() & IP_OFFMASK) == 0; }
    size_t payload_len() const { return tot - hlen; }
    const uint8_t* payload() const { return ip + hlen; }
};

// Fills `v` from the network header of `p` (or, when `from_data` is true and
// the packet has no network header, from its first byte). False when the
// bytes do not hold a well-formed IPv4 header and total length.
inline bool ipv4_view(const Packet* p, IPv4View* v, bool from_data = false) {
    const uint8_t* ip;
    if (p->has_network_header())
        ip = p->network_header();
    else if (from_data)
        ip = p->data();
    else
        return false;
    if (ip < p->data() || ip > p->end_data())
        return false;
    size_t avail = size_t(p->end_data() - ip);
    if (avail < 20 || (ip[0] >> 4) != 4)
        return false;
    size_t hlen = size_t(ip[0] & 0x0F) * 4;
    size_t tot = size_t(ip[2] << 8 | ip[3]);
    if (hlen < 20 || hlen > tot || tot > avail)
        return false;
    v->ip = ip;
    v->avail = avail;
    v->hlen = hlen;
    v->tot = tot;
    return true;
}

// Recomputes the IPv4 header checksum of the `hlen`-byte header at `ip`.
void ipv4_set_checksum(uint8_t* ip, size_t hlen);

// Recomputes the TCP or UDP checksum of the segment that follows the IPv4
// header at `ip` (IP total length bounds the segment). UDP stores 0xFFFF for
// a computed 0, as 0 means "no checksum".
void l4_set_checksum(uint8_t* ip, size_t hlen, size_t tot);
