#include "sessions/peerpacket.hh"

#include <arpa/inet.h>

#include <cstring>

#include "sessions/sessionpacket.hh"  // RSP_HEADER_LEN

uint32_t PeerPacketView::saddr() const {
    uint32_t a;
    std::memcpy(&a, ip + 12, 4);
    return a;
}

uint32_t PeerPacketView::daddr() const {
    uint32_t a;
    std::memcpy(&a, ip + 16, 4);
    return a;
}

bool PeerPacketView::ports(uint16_t* sport, uint16_t* dport) const {
    if (l4 + 4 > len)
        return false;
    std::memcpy(sport, ip + l4, 2);
    std::memcpy(dport, ip + l4 + 2, 2);
    return true;
}

bool view_peer_packet(const uint8_t* ip, size_t len, const ShimConfig& shim, PeerPacketView* v) {
    if (!ip || len < 20 || (ip[0] >> 4) != 4)
        return false;
    size_t hl = size_t(ip[0] & 0x0F) * 4;
    if (hl < 20 || hl > len)
        return false;
    uint16_t tot;
    std::memcpy(&tot, ip + 2, 2);
    tot = ntohs(tot);
    // A total length shorter than the header is nonsense; one longer than the
    // buffer means the packet was cut: use what is there.
    if (tot < hl)
        return false;
    if (tot < len)
        len = tot;
    uint16_t off;
    std::memcpy(&off, ip + 6, 2);
    off = ntohs(off);

    PeerPacketView r;
    r.ip = ip;
    r.len = len;
    r.hl = hl;
    r.ip_proto = ip[9];
    r.proto = r.ip_proto;
    r.fragment = (off & (IP_MF | IP_OFFMASK)) != 0;
    r.l4 = hl;
    int s = r.fragment ? -1 : shim_offset(ip, len, shim);
    if (s >= 0) {
        r.shim = s;
        size_t so = size_t(s);
        r.proto = ip[so + 2];
        r.l4 = so + WSHIM_LEN + ((ip[so + 3] & WSHIM_STREAM) ? RSP_HEADER_LEN : 0);
    }
    *v = r;
    return true;
}

bool view_peer_packet(const Packet* p, const ShimConfig& shim, PeerPacketView* v) {
    if (!p->has_network_header())
        return false;
    const uint8_t* nh = p->network_header();
    if (nh < p->data() || nh >= p->end_data())
        return false;
    return view_peer_packet(nh, size_t(p->end_data() - nh), shim, v);
}
