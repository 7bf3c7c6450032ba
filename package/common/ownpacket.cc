#include "common/ownpacket.hh"

#include <cstring>

#include "rsp/rsp_wire.hh"

namespace ownpacket {

void build(uint8_t* ip, const ShimConfig& c, uint8_t shim_protocol, uint16_t ip_id, uint32_t src_net,
           uint32_t dst_net) {
    std::memset(ip, 0, header_len(c));
    rsp::build_ipv4(ip, 0, ip_id, TTL, c.udp_shim ? 17 : c.ipproto, src_net, dst_net);
    uint8_t* shim = ip + 20;
    if (c.udp_shim) {
        std::memcpy(ip + 20, &c.sport_net, 2);
        std::memcpy(ip + 22, &c.dport_net, 2);
        shim += WSHIM_UDP_LEN;
    }
    shim[0] = WSHIM_MAGIC;
    shim[2] = shim_protocol;
}

void set_length(uint8_t* ip, const ShimConfig& c, uint16_t total_len) {
    rsp::store16(ip + 2, total_len);
    if (c.udp_shim)
        rsp::store16(ip + 24, uint16_t(total_len - 20));
    rsp::set_ipv4_cksum(ip);
}

}  // namespace ownpacket
