#include "l4checksum.hh"

#include <host/checksum.hh>

WritablePacket* set_l4_checksum(Packet* p, int proto) {
    if (!p->has_network_header()) {
        p->kill();
        return nullptr;
    }
    int off = p->network_header_offset();
    uint32_t len = p->length();
    if (off < 0 || uint32_t(off) + 20 > len) {
        p->kill();
        return nullptr;
    }
    const unsigned char* ip = p->network_header();
    uint32_t hlen = (ip[0] & 0x0F) * 4u;
    uint32_t tot = (ip[2] << 8) | ip[3];
    uint32_t min_l4 = proto == 6 ? 20 : 8;
    if (ip[9] != proto || hlen < 20 || tot < hlen + min_l4 || off + tot > len || (((ip[6] << 8) | ip[7]) & 0x3FFF)) {
        p->kill();
        return nullptr;
    }
    WritablePacket* q = p->uniqueify();
    if (!q)
        return nullptr;
    unsigned char* nip = q->network_header();
    unsigned char* l4 = nip + hlen;
    int l4len = int(tot - hlen);
    int coff = proto == 6 ? 16 : 6;
    l4[coff] = l4[coff + 1] = 0;
    uint32_t saddr, daddr;
    memcpy(&saddr, nip + 12, 4);
    memcpy(&daddr, nip + 16, 4);
    uint16_t c = click_tcpudp_cksum(l4, l4len, saddr, daddr, proto);
    if (proto == 17 && c == 0)
        c = 0xFFFF;
    memcpy(l4 + coff, &c, 2);
    q->set_transport_header(l4);
    return q;
}
