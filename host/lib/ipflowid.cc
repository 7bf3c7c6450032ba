#include <host/ipflowid.hh>

#include <arpa/inet.h>
#include <cstring>

IPFlowID IPFlowID::from_ip_header(const unsigned char* ip, size_t len, bool* ok) {
    if (ok)
        *ok = false;
    if (!ip || len < 20 || (ip[0] >> 4) != 4)
        return IPFlowID();
    size_t hl = static_cast<size_t>(ip[0] & 0x0F) * 4;
    if (hl < 20 || hl > len)
        return IPFlowID();
    IPFlowID f;
    f.saddr_ = IPAddress(ip + 12);
    f.daddr_ = IPAddress(ip + 16);
    uint16_t frag;
    memcpy(&frag, ip + 6, 2);
    bool later_fragment = (ntohs(frag) & 0x1FFF) != 0;
    int proto = ip[9];
    bool has_ports = proto == 6 || proto == 17 || proto == 136 || proto == 132 || proto == 33;
    if (has_ports && !later_fragment && len >= hl + 4) {
        memcpy(&f.sport_, ip + hl, 2);
        memcpy(&f.dport_, ip + hl + 2, 2);
    }
    if (ok)
        *ok = true;
    return f;
}

IPFlowID::IPFlowID(const unsigned char* ip, size_t len) : IPFlowID(from_ip_header(ip, len, nullptr)) {}

size_t IPFlowID::hashcode() const {
    // Mix all 12 bytes; symmetric inputs (a->b, b->a) hash differently.
    uint64_t a = (static_cast<uint64_t>(saddr_.addr()) << 32) | daddr_.addr();
    uint64_t b = (static_cast<uint64_t>(sport_) << 16) | dport_;
    uint64_t h = a * 0x9E3779B97F4A7C15ULL;
    h ^= (h >> 32) ^ (b * 0xC2B2AE3D27D4EB4FULL);
    h *= 0x165667B19E3779F9ULL;
    return static_cast<size_t>(h ^ (h >> 29));
}

std::string IPFlowID::unparse() const {
    return "(" + saddr_.unparse() + ", " + std::to_string(ntohs(sport_)) + ", " + daddr_.unparse() + ", " +
           std::to_string(ntohs(dport_)) + ")";
}
