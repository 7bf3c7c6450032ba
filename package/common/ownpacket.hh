// Outer headers of the packets the package builds itself and sends to the
// peer appliance beside RSP's stream (FEC parity packets, stacker packets):
// a 20-byte IPv4 header (no options, TTL 250, protocol IPPROTO, or 17 with
// the UDP shim), the 8-byte UDP header with the UDP shim (ports from the
// settings, checksum 0), and a shim whose protocol byte says what follows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shim.hh"

namespace ownpacket {

constexpr uint8_t TTL = 250;

// Bytes in front of the payload: 24, or 32 with the UDP shim.
inline size_t header_len(const ShimConfig& c) { return 20 + shim_encap_len(c); }

// Writes the headers into `ip` (header_len(c) bytes); the lengths stay 0
// until set_length. Addresses in network byte order.
void build(uint8_t* ip, const ShimConfig& c, uint8_t shim_protocol, uint16_t ip_id, uint32_t src_net,
           uint32_t dst_net);

// Stores the IP total length (and the UDP length with the UDP shim) and
// recomputes the IP header checksum.
void set_length(uint8_t* ip, const ShimConfig& c, uint16_t total_len);

}  // namespace ownpacket
