#include "setipchecksum.hh"

#include <host/checksum.hh>
#include <host/package.hh>

Packet* SetIPChecksum::simple_action(Packet* p) {
    if (p->has_network_header()) {
        int off = p->network_header_offset();
        if (off >= 0 && uint32_t(off) + 20 <= p->length()) {
            uint32_t hlen = (p->network_header()[0] & 0x0F) * 4u;
            if (hlen >= 20 && off + hlen <= p->length()) {
                WritablePacket* q = p->uniqueify();
                if (!q)
                    return nullptr;
                unsigned char* ip = q->network_header();
                ip[10] = ip[11] = 0;
                uint16_t c = click_in_cksum(ip, int(hlen));
                memcpy(ip + 10, &c, 2);
                return q;
            }
        }
    }
    _drops.fetch_add(1, std::memory_order_relaxed);
    p->kill();
    return nullptr;
}

void SetIPChecksum::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(SetIPChecksum);
