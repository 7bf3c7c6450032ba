#include "common/ipv4view.hh"

#include <host/checksum.hh>

#include <cstring>

void ipv4_set_checksum(uint8_t* ip, size_t hlen) {
    ip[10] = ip[11] = 0;
    uint16_t s = click_in_cksum(ip, int(hlen));
    std::memcpy(ip + 10, &s, 2);
}

void l4_set_checksum(uint8_t* ip, size_t hlen, size_t tot) {
    uint8_t proto = ip[9];
    uint8_t* l4 = ip + hlen;
    size_t len = tot - hlen;
    size_t off = proto == IPPROTO_TCP ? 16 : 6;
    if (len < off + 2)
        return;
    l4[off] = l4[off + 1] = 0;
    uint32_t saddr, daddr;
    std::memcpy(&saddr, ip + 12, 4);
    std::memcpy(&daddr, ip + 16, 4);
    uint16_t s = click_tcpudp_cksum(l4, int(len), saddr, daddr, proto);
    if (proto == IPPROTO_UDP && s == 0)
        s = 0xFFFF;
    std::memcpy(l4 + off, &s, 2);
}
