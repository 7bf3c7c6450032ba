// The 4-byte shim header that marks a tunnel packet, and the one test every
// element uses to recognise it.
//
// Layout of a tunnel packet: IPv4 header, [8-byte UDP header when the UDP shim
// is on], shim header, inner transport header, payload [, 2-byte check value
// when a compressor bit is set].
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

struct __attribute__((packed)) wshim_header {
    uint8_t magic;     // always WSHIM_MAGIC
    uint8_t control;   // thread id, start-of-stream, retransmit, path bits
    uint8_t protocol;  // IP protocol before tunnelling, or one of the WSHIM_PROTO_* codes
    uint8_t flags;     // stream, reflect, compressor and dedup bits
};
static_assert(sizeof(wshim_header) == 4, "wshim_header must be 4 bytes");

constexpr uint8_t WSHIM_MAGIC = 0x77;

// control bits
constexpr uint8_t WSHIM_THREAD_MASK = 0x0F;
constexpr uint8_t WSHIM_START_STREAM = 0x10;
constexpr uint8_t WSHIM_RETRANSMIT = 0x20;
constexpr uint8_t WSHIM_PATH_MASK = 0xC0;
constexpr int WSHIM_PATH_SHIFT = 6;

// flags bits
constexpr uint8_t WSHIM_STREAM = 0x01;
constexpr uint8_t WSHIM_REFLECT = 0x02;
constexpr uint8_t WSHIM_LZ4 = 0x04;
constexpr uint8_t WSHIM_LZ4HC = 0x08;
constexpr uint8_t WSHIM_DEDUP = 0x10;
constexpr uint8_t WSHIM_DEDUP_SYNC = 0x20;
constexpr uint8_t WSHIM_ZSTD = 0x40;
constexpr uint8_t WSHIM_ZLIB = 0x80;
// Any compressor bit: the payload is compressed and ends with a 2-byte check value.
constexpr uint8_t WSHIM_COMPRESSED_MASK = WSHIM_LZ4 | WSHIM_LZ4HC | WSHIM_ZSTD | WSHIM_ZLIB;
// Dedup bits: such packets leave the decompressors with their shim kept.
constexpr uint8_t WSHIM_DEDUP_MASK = WSHIM_DEDUP | WSHIM_DEDUP_SYNC;

// protocol codes of packets the package builds itself
constexpr uint8_t WSHIM_PROTO_RSP = 200;
constexpr uint8_t WSHIM_PROTO_PEERINFO = 202;
constexpr uint8_t WSHIM_PROTO_FEC = 203;
constexpr uint8_t WSHIM_PROTO_STACKER = 204;

constexpr size_t WSHIM_LEN = sizeof(wshim_header);
constexpr size_t WSHIM_UDP_LEN = 8;

// How tunnel packets are recognised and built; filled from the global settings.
// Ports are kept in network byte order.
struct ShimConfig {
    uint8_t ipproto = 108;
    bool udp_shim = false;
    uint16_t sport_net = htons(4050);
    uint16_t dport_net = htons(4050);
};

// Offset of the shim header from the start of the IPv4 header at `ip` (`len`
// bytes available from there), or -1 when the packet is not a tunnel packet.
// Checks version 4, ihl >= 5, that the IP header, the UDP header (with the UDP
// shim) and the shim fit in `len`, the protocol (and with the UDP shim both
// ports), and the magic byte. Never reads outside [ip, ip + len).
int shim_offset(const uint8_t* ip, size_t len, const ShimConfig& c);

// Bytes a tunnel adds in front of the inner transport header: UDP header and
// shim, or the shim alone.
inline size_t shim_encap_len(const ShimConfig& c) { return c.udp_shim ? WSHIM_UDP_LEN + WSHIM_LEN : WSHIM_LEN; }
