// Reading the IPv4 packets that the flow-steering elements look at: the
// protocol a packet carries (the shim's carried protocol for tunnel packets),
// whether it is a fragment, and where its (inner) transport header starts.
// Every offset is checked against the bytes the packet really holds; nothing
// here reads outside [network header, end of data).
#pragma once

#include <host/packet.hh>

#include <cstddef>
#include <cstdint>

#include "common/shim.hh"

struct PeerPacketView {
    const uint8_t* ip = nullptr;  // start of the IPv4 header
    size_t len = 0;               // bytes from ip to the end of the packet (bounded by the IP total length)
    size_t hl = 0;                // IP header length
    uint8_t ip_proto = 0;         // protocol field of the IP header
    uint8_t proto = 0;            // carried protocol: shim protocol for tunnel packets, else ip_proto
    bool fragment = false;        // more-fragments flag or a non-zero offset
    int shim = -1;                // offset of the shim header from ip, or -1
    size_t l4 = 0;                // offset of the (inner) transport header from ip; may be >= len

    bool is_shim() const { return shim >= 0; }
    uint32_t saddr() const;  // network order
    uint32_t daddr() const;
    // Source and destination ports of the (inner) TCP or UDP header, network
    // order; false when the 4 bytes are not in the packet.
    bool ports(uint16_t* sport, uint16_t* dport) const;
};

// Fills `v` from the packet's network header. False when the packet has no
// network header inside its data or no complete IPv4 header there.
bool view_peer_packet(const Packet* p, const ShimConfig& shim, PeerPacketView* v);

// The same over raw bytes (the IPv4 header at `ip`, `len` bytes available).
bool view_peer_packet(const uint8_t* ip, size_t len, const ShimConfig& shim, PeerPacketView* v);
