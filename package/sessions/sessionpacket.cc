#include "sessions/sessionpacket.hh"

bool parse_session_tunnel(const uint8_t* ip, size_t len, size_t hl, const ShimConfig& shim, SessionPacket* out) {
    int so = shim_offset(ip, len, shim);
    if (so < 0)  // the protocol alone does not make a tunnel packet
        return parse_session_transport(ip, len, hl, ip[9], out);
    // shim_offset guarantees the 4 shim bytes are inside `len`.
    const uint8_t* s = ip + so;
    if (s[3] & WSHIM_STREAM) {
        // A stream packet: the RSP header, read by the RSP wire parser, sits
        // between the shim and the inner header. A header whose lengths do
        // not fit the packet leaves it untracked.
        rsp::View v;
        if (rsp::parse(ip, len, shim, &v) != rsp::Parse::ok)
            return false;
        return parse_session_transport(ip, len, v.payload_off, v.shim_protocol, out);
    }
    return parse_session_transport(ip, len, size_t(so) + WSHIM_LEN, s[2], out);
}
