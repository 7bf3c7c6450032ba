#include <host/checksum.hh>

#include <arpa/inet.h>
#include <cstring>

namespace {

inline uint64_t load64(const unsigned char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

// The two 32-bit halves of a 64-bit word; their sum never overflows the
// 64-bit accumulators below for any int length.
inline uint64_t halves(uint64_t w) { return (w & 0xFFFFFFFFu) + (w >> 32); }

}  // namespace

uint32_t click_in_cksum_partial(const unsigned char* data, int len, uint32_t sum) {
    if (!data || len <= 0)
        return sum;
    // The one's-complement sum of native 16-bit words equals, once folded,
    // the sum of native 32-bit words, whatever the byte order; the result,
    // stored the same way, is correct on either.  Four independent
    // accumulators over 32-byte rounds keep the adds in parallel.
    size_t n = static_cast<size_t>(len);
    uint64_t a = sum, b = 0, c = 0, d = 0;
    while (n >= 32) {
        a += halves(load64(data));
        b += halves(load64(data + 8));
        c += halves(load64(data + 16));
        d += halves(load64(data + 24));
        data += 32;
        n -= 32;
    }
    a += b + c + d;
    while (n >= 8) {
        a += halves(load64(data));
        data += 8;
        n -= 8;
    }
    if (n >= 4) {
        uint32_t w;
        memcpy(&w, data, 4);
        a += w;
        data += 4;
        n -= 4;
    }
    if (n >= 2) {
        uint16_t w;
        memcpy(&w, data, 2);
        a += w;
        data += 2;
        n -= 2;
    }
    if (n) {
        // A trailing byte is the first byte of a word padded with zero.
        uint16_t w = 0;
        memcpy(&w, data, 1);
        a += w;
    }
    a = (a & 0xFFFFFFFFu) + (a >> 32);
    a = (a & 0xFFFFFFFFu) + (a >> 32);
    return static_cast<uint32_t>(a);
}

uint16_t click_in_cksum_fold(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

uint16_t click_in_cksum(const unsigned char* data, int len) {
    return click_in_cksum_fold(click_in_cksum_partial(data, len, 0));
}

uint16_t click_in_cksum_pseudohdr(uint32_t data_csum, uint32_t saddr, uint32_t daddr, int proto, int len) {
    uint64_t s = static_cast<uint16_t>(~data_csum & 0xFFFF);
    s += (saddr & 0xFFFF) + (saddr >> 16);
    s += (daddr & 0xFFFF) + (daddr >> 16);
    s += htons(static_cast<uint16_t>(proto));
    s += htons(static_cast<uint16_t>(len));
    while (s >> 16)
        s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint16_t>(~s & 0xFFFF);
}

uint16_t click_tcpudp_cksum(const unsigned char* l4, int len, uint32_t saddr, uint32_t daddr, int proto) {
    return click_in_cksum_pseudohdr(click_in_cksum(l4, len), saddr, daddr, proto, len);
}

uint16_t click_in_cksum_pseudohdr_raw(uint32_t data_csum, uint32_t saddr, uint32_t daddr, int proto, int len) {
    return click_in_cksum_pseudohdr(data_csum, saddr, daddr, proto, len);
}

uint16_t click_in_cksum_pseudohdr(uint32_t data_csum, const void* iph, int len) {
    const unsigned char* ip = static_cast<const unsigned char*>(iph);
    uint32_t saddr, daddr;
    memcpy(&saddr, ip + 12, 4);
    memcpy(&daddr, ip + 16, 4);
    return click_in_cksum_pseudohdr(data_csum, saddr, daddr, ip[9], len);
}
