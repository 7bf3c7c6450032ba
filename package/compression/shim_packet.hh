// Byte-level work of the compression elements on one IPv4 packet: where the
// shim, transport header and payload lie, and moving them when the shim is
// added or removed or the payload changes size. Works on a plain buffer that
// starts at the IP header; the elements resize the host packet around it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shim.hh"

class Packet;

// Offset of a host packet's IP header from its data: its network header
// when that lies within the packet, else 0.
int packet_ip_offset(const Packet* p);

struct ShimLayout {
    uint32_t ihl = 0;            // IP header bytes
    uint32_t total = 0;          // IP total length (bytes after it are link padding)
    uint32_t shim_off = 0;       // offset of the shim, 0 when the packet has none
    uint32_t encap = 0;          // UDP header + shim present (0, 4 or 12)
    uint8_t ip_proto = 0;        // the IP header's protocol field
    uint8_t inner_proto = 0;     // protocol of the inner transport header
    bool fragment = false;       // fragment offset not zero: no transport header
    bool transport_ok = false;   // the transport header lies inside the packet
    uint32_t transport_len = 0;  // 0 for fragments and other protocols
    uint32_t payload_off = 0;    // ihl + encap + transport_len
    uint32_t payload_len = 0;    // total - payload_off (when transport_ok)

    wshim_header* shim(uint8_t* ip) const { return reinterpret_cast<wshim_header*>(ip + shim_off); }
    const wshim_header* shim(const uint8_t* ip) const { return reinterpret_cast<const wshim_header*>(ip + shim_off); }
};

// Reads the layout of the IPv4 packet at `ip` (`len` bytes). Returns false
// when the IP header is unusable: not version 4, header length below 20 or
// beyond the buffer, total length below the header or beyond the buffer.
// A transport header that does not fit leaves transport_ok false.
bool parse_shim_layout(const uint8_t* ip, size_t len, const ShimConfig& c, ShimLayout& l);

// Writes the IP total length and recomputes the header checksum.
void set_ip_total(uint8_t* ip, uint32_t total);

// Adds the encapsulation of `c` in front of the IP payload of a packet that
// has none: the payload moves forward by shim_encap_len(c), the UDP header
// (when on) and a shim with flags 0 and `protocol` = the old IP protocol are
// written, the IP protocol becomes the tunnel's. The buffer must hold
// l.total + shim_encap_len(c) bytes. Returns the new total length (IP length
// and checksum set) and updates `l` to the new layout.
uint32_t shim_insert(uint8_t* ip, ShimLayout& l, const ShimConfig& c);

// As shim_insert, for a caller that has already opened the gap of
// shim_encap_len(c) bytes right after the IP header (for instance by moving
// the IP header into the headroom): `ip` is the IP header, the IP payload
// follows the gap, `l` still describes the packet without it.
uint32_t shim_write_encap(uint8_t* ip, ShimLayout& l, const ShimConfig& c);

// Replaces the payload by `clen` compressed bytes followed by the 2-byte
// check value, adding the encapsulation first when the packet has none. The
// buffer must hold max(l.total, new total) bytes (new total = l.ihl + encap +
// l.transport_len + clen + 2). Returns the new total; `l` describes the result.
uint32_t shim_write_compressed(uint8_t* ip, ShimLayout& l, const ShimConfig& c, const uint8_t* comp, uint32_t clen,
                               uint16_t check);

// Removes the encapsulation and restores the IP protocol from the shim;
// the payload stays as it is. Returns the new total length.
uint32_t shim_remove(uint8_t* ip, const ShimLayout& l);

// Puts `dlen` decompressed bytes in place of the compressed payload (and
// its check value). With `keep_shim` the shim stays (for the dedup path),
// else it is removed and the IP protocol restored. The buffer must hold the
// resulting total. Returns the new total length.
uint32_t shim_write_decompressed(uint8_t* ip, const ShimLayout& l, const uint8_t* data, uint32_t dlen, bool keep_shim);
