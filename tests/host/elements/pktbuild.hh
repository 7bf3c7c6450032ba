// Builds IPv4 test packets byte by byte (no runtime needed).
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace pktbuild {

inline uint32_t ip(const char* s) {
    in_addr a{};
    inet_pton(AF_INET, s, &a);
    return ntohl(a.s_addr);
}

inline void put16(std::vector<uint8_t>& b, size_t off, uint16_t v) { b[off] = v >> 8; b[off + 1] = v & 0xFF; }
inline void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    put16(b, off, v >> 16);
    put16(b, off + 2, v & 0xFFFF);
}

// IPv4 header (20 bytes, or more with `ihl_words`) followed by a transport
// header: TCP (20 bytes with flags), UDP (8), ICMP (8), or `l4len` zero bytes.
inline std::vector<uint8_t> ipv4(uint8_t proto, const char* src, const char* dst, uint16_t sport = 0,
                                 uint16_t dport = 0, uint8_t tcpflags = 0, unsigned ihl_words = 5) {
    size_t l4 = proto == 6 ? 20 : 8;
    std::vector<uint8_t> b(ihl_words * 4 + l4, 0);
    b[0] = 0x40 | (ihl_words & 0xF);
    b[1] = 0;
    put16(b, 2, static_cast<uint16_t>(b.size()));
    put16(b, 4, 0x1234);
    b[8] = 64;
    b[9] = proto;
    put32(b, 12, ip(src));
    put32(b, 16, ip(dst));
    size_t t = ihl_words * 4;
    if (proto == 6 || proto == 17) {
        put16(b, t, sport);
        put16(b, t + 2, dport);
    }
    if (proto == 6) {
        b[t + 12] = 0x50;
        b[t + 13] = tcpflags;
    }
    if (proto == 1) b[t] = static_cast<uint8_t>(sport);   // ICMP type in sport
    return b;
}

}  // namespace pktbuild
