#include "common/wcheckudpheader.hh"

#include <host/checksum.hh>
#include <host/errorhandler.hh>

#include <netinet/in.h>

#include <cstring>

#include "common/registration.hh"

namespace {
const char* const udp_reasons[] = {"not UDP", "bad packet length", "bad UDP checksum"};
}

const char* const* WCheckUDPHeader::reason_texts() const { return udp_reasons; }

void WCheckUDPHeader::log_drop(const char* reason) { click_chatter("UDP header check failed: %s", reason); }

Packet* WCheckUDPHeader::simple_action(Packet* p) {
    if (!p->has_network_header())
        return p;
    const uint8_t* ip = p->network_header();
    size_t avail = size_t(p->end_data() - ip);
    if (avail < 20 || ip[9] != IPPROTO_UDP)
        return p;
    size_t hlen = size_t(ip[0] & 0x0F) * 4;
    if (hlen < 20 || hlen + 8 > avail)
        return drop(p, 1);
    const uint8_t* udp = ip + hlen;
    size_t ulen = size_t(udp[4] << 8 | udp[5]);
    if (ulen < 8 || hlen + ulen > avail)
        return drop(p, 1);
    if ((udp[6] | udp[7]) != 0) {
        uint32_t saddr, daddr;
        std::memcpy(&saddr, ip + 12, 4);
        std::memcpy(&daddr, ip + 16, 4);
        if (click_tcpudp_cksum(udp, int(ulen), saddr, daddr, IPPROTO_UDP) != 0)
            return drop(p, 2);
    }
    return p;
}

QUILO_REGISTER_ELEMENT(WCheckUDPHeader);
