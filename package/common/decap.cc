#include "common/decap.hh"

#include <cstring>

#include "common/ipv4view.hh"

Packet* decap_outer(Packet* p, uint32_t outer, std::atomic<uint32_t>& drops) {
    uint32_t nh = uint32_t(p->network_header_offset());
    uint32_t len = p->length();
    // Bytes left once the outer headers are gone, and the inner header's length.
    if (nh > len || len - nh < outer + 20) {
        ++drops;
        p->kill();
        return nullptr;
    }
    const uint8_t* inner = p->data() + nh + outer;
    uint32_t left = len - nh - outer;
    uint32_t ihl = uint32_t(inner[0] & 0x0F) * 4;
    if ((inner[0] >> 4) != 4 || ihl < 20 || ihl > left || left > 0xFFFF) {
        ++drops;
        p->kill();
        return nullptr;
    }
    WritablePacket* q = p->uniqueify();
    if (!q) {
        ++drops;
        return nullptr;
    }
    uint8_t* ip = q->data() + nh;
    std::memmove(ip, ip + outer, left);
    q->take(outer);
    ip[2] = uint8_t(left >> 8);
    ip[3] = uint8_t(left);
    ipv4_set_checksum(ip, ihl);
    q->set_network_header(ip, ihl);
    return q;
}
