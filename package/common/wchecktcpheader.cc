#include "common/wchecktcpheader.hh"

#include <host/checksum.hh>
#include <host/errorhandler.hh>

#include <netinet/in.h>

#include <cstring>

#include "common/ipv4view.hh"
#include "common/registration.hh"

namespace {
const char* const tcp_reasons[] = {"not TCP", "bad packet length", "bad TCP checksum"};
}

const char* const* WCheckTCPHeader::reason_texts() const { return tcp_reasons; }

void WCheckTCPHeader::log_drop(const char* reason) {
    click_chatter("%p{element}: TCP header check failed: %s", this, reason);
}

Packet* WCheckTCPHeader::simple_action(Packet* p) {
    if (!p->has_network_header())
        return p;
    const uint8_t* ip = p->network_header();
    size_t avail = size_t(p->end_data() - ip);
    if (avail < 20 || ip[9] != IPPROTO_TCP)
        return p;
    // The packet must hold the whole datagram with a whole TCP header.
    size_t hlen = size_t(ip[0] & 0x0F) * 4;
    size_t tot = size_t(ip[2] << 8 | ip[3]);
    if (hlen < 20 || hlen > tot || tot > avail || tot - hlen < 20)
        return drop(p, 1);
    size_t thl = size_t(ip[hlen + 12] >> 4) * 4;
    if (thl < 20 || tot - hlen < thl)
        return drop(p, 1);
    uint32_t saddr, daddr;
    std::memcpy(&saddr, ip + 12, 4);
    std::memcpy(&daddr, ip + 16, 4);
    if (click_tcpudp_cksum(ip + hlen, int(tot - hlen), saddr, daddr, IPPROTO_TCP) != 0)
        return drop(p, 2);
    return p;
}

QUILO_REGISTER_ELEMENT(WCheckTCPHeader);
