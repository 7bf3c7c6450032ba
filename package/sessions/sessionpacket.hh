// Reading what SessionManager needs from an IPv4 packet: the transport
// protocol, the addresses and ports of the conversation, and the TCP flags.
// Tunnel packets that carry the shim are read through it (and through the RSP
// header on stream packets) to the inner TCP or UDP header. Every byte is
// bounds-checked; a packet that cannot be read is reported untrackable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <host/clicknet.hh>  // TH_FIN, TH_SYN, TH_RST

#include "common/shim.hh"
#include "rsp/rsp_wire.hh"

struct SessionPacket {
    uint8_t proto;      // 6 or 17
    uint8_t tcp_flags;  // TCP header flags byte (0 for UDP)
    uint32_t saddr;     // network order, as in the IP header
    uint32_t daddr;
    uint16_t sport;  // network order, from the (inner) transport header
    uint16_t dport;
};


// Reads a tunnel packet (`ip` holds `len` bytes, `hl` of them IP header)
// through its shim; falls back to the plain reading when it carries none.
bool parse_session_tunnel(const uint8_t* ip, size_t len, size_t hl, const ShimConfig& shim, SessionPacket* out);

// Parses the IPv4 packet at `ip` with `len` bytes available (the IP total
// length, when smaller, bounds the packet further). Returns false for anything
// that is not a trackable TCP or UDP packet: not IPv4, truncated headers, a
// fragment, both addresses zero, another protocol. Inline: every packet of
// the appliance comes through here, and the plain case is a few loads.
inline bool parse_session_transport(const uint8_t* ip, size_t len, size_t th, uint8_t proto, SessionPacket* out) {
    if (proto == 6) {
        if (th + 20 > len)
            return false;
        out->tcp_flags = ip[th + 13];
    } else if (proto == 17) {
        if (th + 8 > len)
            return false;
        out->tcp_flags = 0;
    } else {
        return false;
    }
    out->proto = proto;
    std::memcpy(&out->sport, ip + th, 2);
    std::memcpy(&out->dport, ip + th + 2, 2);
    return true;
}

inline bool parse_session_packet(const uint8_t* ip, size_t len, const ShimConfig& shim, SessionPacket* out) {
    if (!ip || len < 20 || (ip[0] >> 4) != 4)
        return false;
    size_t hl = size_t(ip[0] & 0x0F) * 4;
    if (hl < 20 || hl > len)
        return false;
    size_t tot_len = size_t(ip[2]) << 8 | ip[3];
    if (tot_len < hl)
        return false;
    if (tot_len < len)  // link-layer padding after the datagram
        len = tot_len;
    if (((ip[6] << 8) | ip[7]) & 0x3FFF)  // more fragments, or a fragment offset
        return false;

    std::memcpy(&out->saddr, ip + 12, 4);
    std::memcpy(&out->daddr, ip + 16, 4);
    if (out->saddr == 0 && out->daddr == 0)
        return false;

    uint8_t proto = ip[9];
    if (proto == (shim.udp_shim ? 17 : shim.ipproto))
        return parse_session_tunnel(ip, len, hl, shim, out);
    return parse_session_transport(ip, len, hl, proto, out);
}
