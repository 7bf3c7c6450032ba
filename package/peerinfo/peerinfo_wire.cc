#include "peerinfo/peerinfo_wire.hh"

#include <host/checksum.hh>

#include <cstring>

#include "rsp/rsp_wire.hh"

namespace peerinfo {

using rsp::load16;
using rsp::load32;
using rsp::store16;
using rsp::store32;

Parse parse(const uint8_t* ip, size_t len, const ShimConfig& c, View* v) {
    int so = shim_offset(ip, len, c);
    if (so < 0)
        return Parse::not_peerinfo;
    size_t shim_off = size_t(so);
    if (ip[shim_off + 2] != WSHIM_PROTO_PEERINFO)
        return Parse::not_peerinfo;
    size_t ip_hlen = size_t(ip[0] & 0x0F) * 4;
    size_t ip_len = load16(ip + 2);
    if (ip_len < ip_hlen || ip_len > len)
        return Parse::malformed;
    size_t hdr_off = shim_off + WSHIM_LEN;
    if (hdr_off + sizeof(wpeer_proto_header) > ip_len)
        return Parse::malformed;
    v->ip_hlen = ip_hlen;
    v->ip_len = ip_len;
    v->shim_off = shim_off;
    v->hdr_off = hdr_off;
    v->body_off = hdr_off + sizeof(wpeer_proto_header);
    v->body_len = ip_len - v->body_off;
    v->protocol = ip[hdr_off + 2];
    v->shim_control = ip[shim_off + 1];
    std::memcpy(&v->src_net, ip + 12, 4);
    std::memcpy(&v->dst_net, ip + 16, 4);
    return Parse::ok;
}

bool checksum_ok(const uint8_t* ip, const View& v) {
    return click_in_cksum(ip + v.ip_hlen, int(v.ip_len - v.ip_hlen)) == 0;
}

void set_checksum(uint8_t* ip, size_t ip_hlen, size_t ip_len, size_t hdr_off) {
    store16(ip + hdr_off, 0);
    uint16_t sum = click_in_cksum(ip + ip_hlen, int(ip_len - ip_hlen));
    std::memcpy(ip + hdr_off, &sum, 2);
}

bool parse_rtt(const uint8_t* ip, const View& v, Rtt* out) {
    if (v.body_len < sizeof(wrtt_header))
        return false;
    out->timestamp = load32(ip + v.body_off);
    out->type = ip[v.body_off + 4];
    return true;
}

HostInfo parse_host_info(const uint8_t* ip, const View& v, HostInfoResult* out) {
    // The header and at least one field header must be there.
    if (v.body_len < sizeof(whost_info_header) + 2)
        return HostInfo::short_packet;
    const uint8_t* p = ip + v.body_off;
    const uint8_t* end = ip + v.ip_len;
    out->flags = p[0];
    unsigned nfields = p[1];
    p += sizeof(whost_info_header);
    for (unsigned i = 0; i < nfields; ++i) {
        if (end - p < 2) {
            out->bad_type = 0;
            out->bad_len = 0;
            return HostInfo::bad_field;
        }
        uint8_t type = p[0];
        size_t n = p[1];
        if (size_t(end - p) - 2 < n) {
            out->bad_type = type;
            out->bad_len = n;
            return HostInfo::bad_field;
        }
        if (type != WHOST_INFO_FIELD_HOSTNAME) {
            out->bad_type = type;
            return HostInfo::bad_type;
        }
        std::memcpy(out->name, p + 2, n);
        out->name[n] = 0;
        out->name_len = n;
        out->has_name = true;
        p += 2 + n;
    }
    return HostInfo::ok;
}

static size_t write_encap(uint8_t* buf, size_t len, const ShimConfig& c, const Addr& a, uint8_t ttl,
                          uint8_t control) {
    rsp::build_ipv4(buf, uint16_t(len), a.ip_id, ttl, c.udp_shim ? 17 : c.ipproto, a.src_net, a.dst_net);
    size_t off = 20;
    if (c.udp_shim) {
        std::memcpy(buf + off, &c.sport_net, 2);
        std::memcpy(buf + off + 2, &c.dport_net, 2);
        store16(buf + off + 4, uint16_t(len - off));
        store16(buf + off + 6, 0);
        off += WSHIM_UDP_LEN;
    }
    buf[off] = WSHIM_MAGIC;
    buf[off + 1] = control;
    buf[off + 2] = WSHIM_PROTO_PEERINFO;
    buf[off + 3] = 0;
    return off + WSHIM_LEN;
}

size_t rtt_len(const ShimConfig& c) {
    return 20 + shim_encap_len(c) + sizeof(wpeer_proto_header) + sizeof(wrtt_header);
}

size_t build_rtt(uint8_t* buf, size_t cap, const ShimConfig& c, const Addr& a, uint8_t path_link,
                 uint8_t type, uint32_t timestamp) {
    size_t len = rtt_len(c);
    if (cap < len)
        return 0;
    std::memset(buf, 0, len);
    uint8_t control = path_link ? uint8_t((path_link << WSHIM_PATH_SHIFT) & WSHIM_PATH_MASK) : 0;
    size_t hdr_off = write_encap(buf, len, c, a, 64, control);
    buf[hdr_off + 2] = WPEER_PROTO_RTT;
    uint8_t* r = buf + hdr_off + sizeof(wpeer_proto_header);
    store32(r, timestamp);
    r[4] = type;
    set_checksum(buf, 20, len, hdr_off);
    return len;
}

size_t host_info_len(const ShimConfig& c, size_t name_len) {
    if (name_len > WHOST_NAME_MAX)
        name_len = WHOST_NAME_MAX;
    return 20 + shim_encap_len(c) + sizeof(wpeer_proto_header) + sizeof(whost_info_header) + 2 + name_len;
}

size_t build_host_info(uint8_t* buf, size_t cap, const ShimConfig& c, const Addr& a, bool request,
                       const char* name, size_t name_len) {
    if (name_len > WHOST_NAME_MAX)
        name_len = WHOST_NAME_MAX;
    size_t len = host_info_len(c, name_len);
    if (cap < len)
        return 0;
    std::memset(buf, 0, len);
    size_t hdr_off = write_encap(buf, len, c, a, 250, 0);
    buf[hdr_off + 2] = WPEER_PROTO_HOST_INFO;
    uint8_t* h = buf + hdr_off + sizeof(wpeer_proto_header);
    h[0] = request ? WHOST_INFO_REQUEST : 0;
    h[1] = 1;
    h[2] = WHOST_INFO_FIELD_HOSTNAME;
    h[3] = uint8_t(name_len);
    if (name_len)
        std::memcpy(h + 4, name, name_len);
    set_checksum(buf, 20, len, hdr_off);
    return len;
}

void make_rtt_response(uint8_t* ip, const View& v) {
    std::memcpy(ip + 12, &v.dst_net, 4);
    std::memcpy(ip + 16, &v.src_net, 4);
    rsp::set_ipv4_cksum(ip);
    ip[v.body_off + 4] = WRTT_RESPONSE;
    set_checksum(ip, v.ip_hlen, v.ip_len, v.hdr_off);
}

}  // namespace peerinfo
