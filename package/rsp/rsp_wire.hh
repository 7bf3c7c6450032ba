// RSP wire records, 16-bit serial arithmetic, and the one place where RSP
// packets are parsed and built.
//
// An RSP packet on the wire: IPv4 header, [UDP header with the UDP shim],
// 4-byte shim header, 8-byte rsp_header, [2-byte SYN extension],
// [4-byte EACK ranges], payload. All fields in network byte order.
//
// Nothing here knows about the host's packet type: parsing works on a byte
// range and never reads outside it; building writes into a caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shim.hh"

struct __attribute__((packed)) rsp_header {
    uint8_t rsp_flags;
    uint8_t hdr_len;   // header length in 16-bit words, SYN extension and EACK ranges included
    uint16_t seq_num;
    uint16_t ack_num;
    uint16_t checksum;
};
static_assert(sizeof(rsp_header) == 8, "rsp_header must be 8 bytes");

struct __attribute__((packed)) rsp_header_syn {
    rsp_header h;
    uint16_t max_outstanding;
};
static_assert(sizeof(rsp_header_syn) == 10, "rsp_header_syn must be 10 bytes");

struct __attribute__((packed)) rsp_eack_range {
    uint16_t first;
    uint16_t last;
};
static_assert(sizeof(rsp_eack_range) == 4, "rsp_eack_range must be 4 bytes");

constexpr uint8_t RSP_FLAG_SYN = 0x01;
constexpr uint8_t RSP_FLAG_ACK = 0x02;
constexpr uint8_t RSP_FLAG_EACK = 0x04;
constexpr uint8_t RSP_FLAG_RST = 0x08;
constexpr uint8_t RSP_FLAG_BOOT = 0x10;

constexpr size_t RSP_HEADER_LEN = sizeof(rsp_header);
constexpr size_t RSP_SYN_HEADER_LEN = sizeof(rsp_header_syn);
constexpr uint8_t RSP_HDR_WORDS = 4;
constexpr uint8_t RSP_SYN_HDR_WORDS = 5;
// Most EACK ranges one empty ACK may carry (500 bytes of ranges).
constexpr unsigned RSP_MAX_EACK_RANGES = 125;
// Largest MAX_RX_COUNT (and peer max_outstanding): twice the allowance must
// stay below half the 16-bit sequence space for serial comparison to hold.
constexpr uint16_t RSP_MAX_RX_COUNT_LIMIT = 16383;

namespace rsp {

// 16-bit serial arithmetic: the sign of the 16-bit difference decides.
inline int16_t seq_diff(uint16_t a, uint16_t b) { return int16_t(uint16_t(a - b)); }
inline bool seq_lt(uint16_t a, uint16_t b) { return seq_diff(a, b) < 0; }
inline bool seq_leq(uint16_t a, uint16_t b) { return seq_diff(a, b) <= 0; }
inline bool seq_gt(uint16_t a, uint16_t b) { return seq_diff(a, b) > 0; }

// Fills a 20-byte IPv4 header (no options) including its checksum. Addresses
// are in network byte order.
void build_ipv4(uint8_t* ip, uint16_t total_len, uint16_t ip_id, uint8_t ttl, uint8_t proto,
                uint32_t src_net, uint32_t dst_net);
// Recomputes the header checksum of the IPv4 header at `ip` (ihl taken from it;
// the caller guarantees the header lies in its buffer).
void set_ipv4_cksum(uint8_t* ip);

inline uint16_t load16(const uint8_t* p) { return uint16_t(uint16_t(p[0]) << 8 | p[1]); }
inline void store16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline uint32_t load32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

enum class Parse {
    not_rsp,     // no tunnel packet, or a tunnel packet that is not RSP traffic
    malformed,   // recognised as RSP traffic but its lengths do not fit
    ok,
};

// What a verified parse found, all offsets from the start of the IPv4 header.
struct View {
    size_t ip_hlen = 0;       // IP header length
    size_t ip_len = 0;        // IP total length (never beyond the bytes given)
    size_t shim_off = 0;
    size_t rsp_off = 0;       // the rsp_header
    uint8_t flags = 0;        // rsp_flags
    uint8_t hdr_len = 0;      // in 16-bit words
    uint16_t seq = 0;
    uint16_t ack = 0;
    uint16_t max_outstanding = 0;  // SYN only
    unsigned eack_count = 0;  // ranges at rsp_off + 8 (not on a SYN)
    size_t payload_off = 0;
    size_t payload_len = 0;
    uint8_t shim_control = 0;
    uint8_t shim_protocol = 0;
    uint8_t shim_flags = 0;

    bool has(uint8_t f) const { return (flags & f) != 0; }
    size_t rsp_bytes() const { return size_t(hdr_len) * 2; }
    // The i-th EACK range (i < eack_count), host byte order.
    rsp_eack_range eack(const uint8_t* ip, unsigned i) const {
        const uint8_t* r = ip + rsp_off + RSP_HEADER_LEN + 4 * size_t(i);
        return {load16(r), load16(r + 2)};
    }
};

// Recognises and checks an RSP packet in [ip, ip + len). Tunnel packets whose
// shim has neither WSHIM_STREAM nor protocol 200 are not RSP traffic. A packet
// recognised as RSP traffic is `malformed` unless: the IP header length and
// total length fit the bytes given, the IP payload holds the encapsulation
// (shim, and UDP header with the UDP shim) and an 8-byte RSP header, hdr_len
// is at least 4 (5 with SYN), and 2 * hdr_len fits the payload. The EACK
// range count and the payload length are derived only after these checks.
Parse parse(const uint8_t* ip, size_t len, const ShimConfig& c, View* v);

// RSP checksum over the IP payload [ip_hlen, ip_len) with the field in place;
// zero means valid.
bool checksum_ok(const uint8_t* ip, const View& v);
// Computes and stores the RSP checksum of the packet: the field at rsp_off + 6
// is zeroed, the sum taken over [ip_hlen, ip_len).
void set_checksum(uint8_t* ip, size_t ip_hlen, size_t ip_len, size_t rsp_off);

struct ControlSpec {
    uint32_t src_net = 0;
    uint32_t dst_net = 0;
    uint16_t ip_id = 0;
    uint8_t flags = 0;
    uint16_t seq = 0;
    uint16_t ack = 0;
    bool syn_ext = false;           // append max_outstanding (a SYN or SYN-ACK)
    uint16_t max_outstanding = 0;
    const rsp_eack_range* ranges = nullptr;  // host byte order
    unsigned nranges = 0;
};

// Length of a control packet: 20 + [8] + 4 + (10 or 8) + 4 per range.
size_t control_len(const ShimConfig& c, bool syn_ext, unsigned nranges);
// Builds a complete control packet (IP, [UDP], shim with protocol 200, RSP
// header, SYN extension or ranges, checksum) into `buf`; returns its length,
// or 0 when `cap` is too small.
size_t build_control(uint8_t* buf, size_t cap, const ShimConfig& c, const ControlSpec& s);

// Turns a tunnel packet of `len` bytes (shim at `shim_off`) into a reliable data
// packet: the buffer must hold len + 8 bytes. Sets WSHIM_STREAM, moves everything
// after the shim 8 bytes on, writes flags ACK / hdr_len 4 / seq / ack, adds 8 to
// the IP total length, fixes the IP checksum and writes the RSP checksum. The UDP
// length is left alone. Returns the new length, or 0 when the packet does not
// hold a valid IPv4 header and shim at `shim_off`.
size_t insert_data_header(uint8_t* ip, size_t len, size_t shim_off, uint16_t seq, uint16_t ack);

// Removes the RSP header of a parsed packet in place: moves what follows it back,
// subtracts its length from the IP total length, fixes the IP checksum. Returns
// the new packet length (bytes past the IP total length are dropped too).
size_t strip_header(uint8_t* ip, const View& v);

}  // namespace rsp
