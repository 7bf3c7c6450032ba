#include "common/shim.hh"

#include <cstring>

int shim_offset(const uint8_t* ip, size_t len, const ShimConfig& c) {
    if (ip == nullptr || len < 20)
        return -1;
    if ((ip[0] >> 4) != 4)
        return -1;
    size_t ihl = size_t(ip[0] & 0x0F) * 4;
    if (ihl < 20)
        return -1;
    size_t off = ihl + (c.udp_shim ? WSHIM_UDP_LEN : 0);
    if (off + WSHIM_LEN > len)
        return -1;
    uint8_t proto = ip[9];
    if (c.udp_shim) {
        if (proto != 17)
            return -1;
        uint16_t sport, dport;
        std::memcpy(&sport, ip + ihl, 2);
        std::memcpy(&dport, ip + ihl + 2, 2);
        if (sport != c.sport_net || dport != c.dport_net)
            return -1;
    } else if (proto != c.ipproto) {
        return -1;
    }
    if (ip[off] != WSHIM_MAGIC)
        return -1;
    return int(off);
}
