// Reading what SessionManager needs from an IPv4 packet: the transport
// protocol, the addresses and ports of the conversation, and the TCP flags.
// Tunnel packets that carry the shim are read through it (and through the RSP
// header on stream packets) to the inner TCP or UDP header. Every byte is
// bounds-checked; a packet that cannot be read is reported untrackable.
#pragma once

#include <cstddef>
#include <cstdint>

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


// Parses the IPv4 packet at `ip` with `len` bytes available (the IP total
// length, when smaller, bounds the packet further). Returns false for anything
// that is not a trackable TCP or UDP packet: not IPv4, truncated headers, a
// fragment, both addresses zero, another protocol.
bool parse_session_packet(const uint8_t* ip, size_t len, const ShimConfig& shim, SessionPacket* out);
