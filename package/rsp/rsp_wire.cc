#include "rsp/rsp_wire.hh"

#include <host/checksum.hh>

#include <cstring>

#include "common/ipv4view.hh"

namespace rsp {

void set_ipv4_cksum(uint8_t* ip) { ipv4_set_checksum(ip, size_t(ip[0] & 0x0F) * 4); }

void build_ipv4(uint8_t* ip, uint16_t total_len, uint16_t ip_id, uint8_t ttl, uint8_t proto,
                uint32_t src_net, uint32_t dst_net) {
    ip[0] = 0x45;
    ip[1] = 0;
    store16(ip + 2, total_len);
    store16(ip + 4, ip_id);
    store16(ip + 6, 0);
    ip[8] = ttl;
    ip[9] = proto;
    std::memcpy(ip + 12, &src_net, 4);
    std::memcpy(ip + 16, &dst_net, 4);
    set_ipv4_cksum(ip);
}

Parse parse(const uint8_t* ip, size_t len, const ShimConfig& c, View* v) {
    int so = shim_offset(ip, len, c);
    if (so < 0)
        return Parse::not_rsp;
    size_t shim_off = size_t(so);
    const uint8_t* shim = ip + shim_off;
    if (!(shim[3] & WSHIM_STREAM) && shim[2] != WSHIM_PROTO_RSP)
        return Parse::not_rsp;

    // From here on the packet claims to be RSP traffic: trust nothing.
    size_t ip_hlen = size_t(ip[0] & 0x0F) * 4;
    size_t ip_len = load16(ip + 2);
    if (ip_len < ip_hlen || ip_len > len)
        return Parse::malformed;
    size_t encap = shim_off - ip_hlen + WSHIM_LEN;  // [UDP header +] shim
    size_t ip_payload = ip_len - ip_hlen;
    if (ip_payload < encap + RSP_HEADER_LEN)
        return Parse::malformed;
    size_t rsp_off = shim_off + WSHIM_LEN;
    const uint8_t* h = ip + rsp_off;
    uint8_t flags = h[0];
    uint8_t hdr_len = h[1];
    bool syn = flags & RSP_FLAG_SYN;
    if (hdr_len < (syn ? RSP_SYN_HDR_WORDS : RSP_HDR_WORDS))
        return Parse::malformed;
    size_t rsp_bytes = size_t(hdr_len) * 2;
    if (encap + rsp_bytes > ip_payload)
        return Parse::malformed;

    v->ip_hlen = ip_hlen;
    v->ip_len = ip_len;
    v->shim_off = shim_off;
    v->rsp_off = rsp_off;
    v->flags = flags;
    v->hdr_len = hdr_len;
    v->seq = load16(h + 2);
    v->ack = load16(h + 4);
    v->max_outstanding = syn ? load16(h + 8) : 0;
    // Ranges follow the plain header; a SYN carries its extension there instead,
    // so ranges on a SYN are not honoured.
    v->eack_count = (!syn && (flags & RSP_FLAG_EACK)) ? unsigned((rsp_bytes - RSP_HEADER_LEN) / 4) : 0;
    v->payload_off = rsp_off + rsp_bytes;
    v->payload_len = ip_payload - encap - rsp_bytes;
    v->shim_control = shim[1];
    v->shim_protocol = shim[2];
    v->shim_flags = shim[3];
    return Parse::ok;
}

bool checksum_ok(const uint8_t* ip, const View& v) {
    return click_in_cksum(ip + v.ip_hlen, int(v.ip_len - v.ip_hlen)) == 0;
}

void set_checksum(uint8_t* ip, size_t ip_hlen, size_t ip_len, size_t rsp_off) {
    store16(ip + rsp_off + 6, 0);
    uint16_t sum = click_in_cksum(ip + ip_hlen, int(ip_len - ip_hlen));
    std::memcpy(ip + rsp_off + 6, &sum, 2);
}

size_t control_len(const ShimConfig& c, bool syn_ext, unsigned nranges) {
    return 20 + shim_encap_len(c) + (syn_ext ? RSP_SYN_HEADER_LEN : RSP_HEADER_LEN) + 4 * size_t(nranges);
}

size_t build_control(uint8_t* buf, size_t cap, const ShimConfig& c, const ControlSpec& s) {
    if (s.syn_ext && s.nranges)
        return 0;
    size_t len = control_len(c, s.syn_ext, s.nranges);
    if (len > cap || len > 0xFFFF)
        return 0;
    std::memset(buf, 0, len);
    build_ipv4(buf, uint16_t(len), s.ip_id, 250, c.udp_shim ? 17 : c.ipproto, s.src_net, s.dst_net);
    size_t off = 20;
    if (c.udp_shim) {
        std::memcpy(buf + off, &c.sport_net, 2);
        std::memcpy(buf + off + 2, &c.dport_net, 2);
        store16(buf + off + 4, uint16_t(len - off));
        store16(buf + off + 6, 0);
        off += WSHIM_UDP_LEN;
    }
    buf[off] = WSHIM_MAGIC;
    buf[off + 1] = 0;
    buf[off + 2] = WSHIM_PROTO_RSP;
    buf[off + 3] = 0;
    size_t rsp_off = off + WSHIM_LEN;
    uint8_t* h = buf + rsp_off;
    size_t rsp_bytes = len - rsp_off;
    h[0] = s.flags;
    h[1] = uint8_t(rsp_bytes / 2);
    store16(h + 2, s.seq);
    store16(h + 4, s.ack);
    if (s.syn_ext)
        store16(h + 8, s.max_outstanding);
    for (unsigned i = 0; i < s.nranges; ++i) {
        store16(h + 8 + 4 * i, s.ranges[i].first);
        store16(h + 10 + 4 * i, s.ranges[i].last);
    }
    set_checksum(buf, 20, len, rsp_off);
    return len;
}

size_t insert_data_header(uint8_t* ip, size_t len, size_t shim_off, uint16_t seq, uint16_t ack) {
    if (len < 20 || (ip[0] >> 4) != 4)
        return 0;
    size_t ip_hlen = size_t(ip[0] & 0x0F) * 4;
    size_t ip_len = load16(ip + 2);
    if (ip_hlen < 20 || shim_off < ip_hlen || shim_off + WSHIM_LEN > len || ip_len > len ||
        ip_len < shim_off + WSHIM_LEN || ip_len + RSP_HEADER_LEN > 0xFFFF)
        return 0;
    ip[shim_off + 3] |= WSHIM_STREAM;
    size_t rsp_off = shim_off + WSHIM_LEN;
    std::memmove(ip + rsp_off + RSP_HEADER_LEN, ip + rsp_off, len - rsp_off);
    uint8_t* h = ip + rsp_off;
    h[0] = RSP_FLAG_ACK;
    h[1] = RSP_HDR_WORDS;
    store16(h + 2, seq);
    store16(h + 4, ack);
    store16(h + 6, 0);
    ip_len += RSP_HEADER_LEN;
    store16(ip + 2, uint16_t(ip_len));
    set_ipv4_cksum(ip);
    set_checksum(ip, ip_hlen, ip_len, rsp_off);
    return len + RSP_HEADER_LEN;
}

size_t strip_header(uint8_t* ip, const View& v) {
    size_t n = v.rsp_bytes();
    std::memmove(ip + v.rsp_off, ip + v.rsp_off + n, v.ip_len - v.rsp_off - n);
    size_t new_len = v.ip_len - n;
    store16(ip + 2, uint16_t(new_len));
    set_ipv4_cksum(ip);
    return new_len;
}

}  // namespace rsp
