#include "common/quilotcpfragmenter.hh"

#include <host/args.hh>

#include <netinet/in.h>

#include <cstring>

#include "common/ipv4view.hh"
#include "common/registration.hh"

int QuiloTCPFragmenter::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint16_t mtu = 0;
    int anno = -1;
    if (Args(conf, this, errh).read("MTU", mtu).read("MTU_ANNO", AnnoArg(2), anno).complete() < 0)
        return -1;
    if (mtu == 0 && anno < 0)
        return errh->error("At least one of MTU and MTU_ANNO must be set");
    _mtu = mtu;
    _mtu_anno = anno;
    return 0;
}

void QuiloTCPFragmenter::push(int, Packet* p) {
    IPv4View v;
    if (!ipv4_view(p, &v, true) || v.proto() != IPPROTO_TCP || !v.first_fragment()) {
        output(0).push(p);
        return;
    }
    _count.fetch_add(1, std::memory_order_relaxed);
    size_t mtu = _mtu;
    if (_mtu_anno >= 0) {
        uint16_t a = p->anno_u16(_mtu_anno);
        if (a != 0)
            mtu = mtu ? std::min<size_t>(mtu, a) : a;
    }
    // header length <= IP total length <= packet length is checked by the
    // view; the TCP header must be whole and its data offset at least 5.
    if (v.payload_len() < 20) {
        output(0).push(p);
        return;
    }
    const uint8_t* tcp = v.payload();
    size_t thl = size_t(tcp[12] >> 4) * 4;
    uint8_t flags = tcp[13];
    if (thl < 20 || thl > v.payload_len() || (flags & (TH_SYN | TH_RST))) {
        output(0).push(p);
        return;
    }
    int64_t H = int64_t(v.hlen + thl);
    int64_t S = int64_t(mtu) - H;
    int64_t L = int64_t(v.tot) - H;
    if (mtu == 0 || S <= 0 || L < S) {
        output(0).push(p);
        return;
    }
    _fragmented_count.fetch_add(1, std::memory_order_relaxed);

    size_t nh = size_t(v.ip - p->data());
    uint32_t seq0;
    std::memcpy(&seq0, tcp + 4, 4);
    seq0 = ntohl(seq0);
    for (int64_t off = 0; off < L; off += S) {
        size_t n = size_t(std::min(S, L - off));
        WritablePacket* q = Packet::make(Packet::default_headroom, nullptr, uint32_t(nh + H + n), 0);
        if (!q)
            break;
        uint8_t* ip = q->data() + nh;
        std::memcpy(q->data(), p->data(), nh + size_t(H));
        std::memcpy(ip + H, v.ip + H + off, n);
        uint16_t tot = uint16_t(H + int64_t(n));
        ip[2] = uint8_t(tot >> 8);
        ip[3] = uint8_t(tot);
        ipv4_set_checksum(ip, v.hlen);
        uint8_t* t = ip + v.hlen;
        uint32_t seq = htonl(seq0 + uint32_t(off));
        std::memcpy(t + 4, &seq, 4);
        if (off + int64_t(n) < L)
            t[13] &= uint8_t(~TH_FIN);
        l4_set_checksum(ip, v.hlen, tot);
        q->copy_annotations(p);
        if (p->has_mac_header())
            q->set_mac_header(q->data() + p->mac_header_offset());
        q->set_network_header(ip, uint32_t(v.hlen));
        _fragments.fetch_add(1, std::memory_order_relaxed);
        output(0).push(q);
    }
    p->kill();
}

void QuiloTCPFragmenter::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this] { return std::to_string(_count.load()); }));
    add_read_handler("fragmented_count", ReadHandlerFunction([this] { return std::to_string(_fragmented_count.load()); }));
    add_read_handler("fragments", ReadHandlerFunction([this] { return std::to_string(_fragments.load()); }));
}

QUILO_REGISTER_ELEMENT(QuiloTCPFragmenter);
