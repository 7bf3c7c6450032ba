#include "sessions/sessionpacket.hh"

#include <arpa/inet.h>

#include <cstring>

bool parse_session_packet(const uint8_t* ip, size_t len, const ShimConfig& shim, SessionPacket* out) {
    if (!ip || len < 20 || (ip[0] >> 4) != 4)
        return false;
    size_t hl = size_t(ip[0] & 0x0F) * 4;
    if (hl < 20 || hl > len)
        return false;
    uint16_t tot_len;
    std::memcpy(&tot_len, ip + 2, 2);
    tot_len = ntohs(tot_len);
    if (tot_len < hl)
        return false;
    if (tot_len < len)  // link-layer padding after the datagram
        len = tot_len;

    uint16_t frag;
    std::memcpy(&frag, ip + 6, 2);
    if (ntohs(frag) & 0x3FFF)  // more fragments, or a fragment offset
        return false;

    std::memcpy(&out->saddr, ip + 12, 4);
    std::memcpy(&out->daddr, ip + 16, 4);
    if (out->saddr == 0 && out->daddr == 0)
        return false;

    uint8_t proto = ip[9];
    size_t th = hl;
    int so = shim_offset(ip, len, shim);
    if (so >= 0) {
        // shim_offset guarantees the 4 shim bytes are inside `len`.
        const uint8_t* s = ip + so;
        if (s[3] & WSHIM_STREAM) {
            // A stream packet: the RSP header, read by the RSP wire parser,
            // sits between the shim and the inner header. A header whose
            // lengths do not fit the packet leaves it untracked.
            rsp::View v;
            if (rsp::parse(ip, len, shim, &v) != rsp::Parse::ok)
                return false;
            proto = v.shim_protocol;
            th = v.payload_off;
        } else {
            proto = s[2];
            th = size_t(so) + WSHIM_LEN;
        }
    }

    if (proto == 6) {
        if (th + 20 > len)
            return false;
        out->tcp_flags = ip[th + 13];
    } else if (proto == 17) {
        if (th + 8 > len)
            return false;
        out->tcp_flags = 0;
    } else {
        return false;
    }
    out->proto = proto;
    std::memcpy(&out->sport, ip + th, 2);
    std::memcpy(&out->dport, ip + th + 2, 2);
    return true;
}
