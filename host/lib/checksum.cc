#include <host/checksum.hh>

#include <arpa/inet.h>
#include <cstring>

uint32_t click_in_cksum_partial(const unsigned char* data, int len, uint32_t sum) {
    uint64_t s = sum;
    if (!data || len <= 0)
        return sum;
    // 16-bit words in memory order; the result, stored the same way, is
    // correct on either byte order.
    while (len >= 8) {
        uint16_t w[4];
        memcpy(w, data, 8);
        s += static_cast<uint64_t>(w[0]) + w[1] + w[2] + w[3];
        data += 8;
        len -= 8;
    }
    while (len >= 2) {
        uint16_t w;
        memcpy(&w, data, 2);
        s += w;
        data += 2;
        len -= 2;
    }
    if (len == 1) {
        uint16_t w = 0;
        memcpy(&w, data, 1);
        s += w;
    }
    while (s >> 32)
        s = (s & 0xFFFFFFFFULL) + (s >> 32);
    return static_cast<uint32_t>(s);
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
