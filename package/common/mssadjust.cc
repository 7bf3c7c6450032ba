#include "common/mssadjust.hh"

#include <host/args.hh>

#include <netinet/in.h>

#include <cstring>

#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"

int MSSAdjust::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (WBase::configure(conf, errh) < 0)
        return -1;
    bool add = false;
    if (Args(conf, this, errh).read_p("ADDMISSING", add).complete() < 0)
        return -1;
    _add_missing = add;
    return 0;
}

int MSSAdjust::initialize(ErrorHandler* errh) {
    int mss = _wconf->mss();
    if (mss < 1 || mss > 65535)
        return errh->error("WConf MSS %d is not a valid segment size", mss);
    _mss = uint16_t(mss);
    return 0;
}

Packet* MSSAdjust::simple_action(Packet* p) {
    IPv4View v;
    if (!ipv4_view(p, &v) || v.proto() != IPPROTO_TCP || !v.first_fragment() || v.payload_len() < 20)
        return p;
    const uint8_t* tcp = v.payload();
    if ((tcp[13] & ~TH_ACK) != TH_SYN)
        return p;
    size_t doff = size_t(tcp[12] >> 4);
    size_t thl = doff * 4;
    size_t opt_end = std::min(thl, v.payload_len());

    // Option scan, never past the TCP header or the packet.
    int mss_pos = -1;
    for (size_t i = 20; i < opt_end;) {
        uint8_t type = tcp[i];
        if (type == 0)
            break;
        if (type == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= opt_end)
            break;
        uint8_t olen = tcp[i + 1];
        if (olen == 0) {
            WLogger::error("%s invalid TCP option length.", name().c_str());
            return p;
        }
        if (i + olen > opt_end)
            break;
        if (type == 2 && olen == 4)
            mss_pos = int(i);
        i += olen;
    }

    size_t nh = size_t(v.ip - p->data());
    size_t hlen = v.hlen;
    size_t tot = v.tot;
    if (mss_pos >= 0) {
        uint16_t cur = uint16_t(tcp[mss_pos + 2] << 8 | tcp[mss_pos + 3]);
        if (cur < _mss)
            return p;
        WritablePacket* q = p->uniqueify();
        if (!q)
            return nullptr;
        uint8_t* ip = q->data() + nh;
        ip[hlen + size_t(mss_pos) + 2] = uint8_t(_mss >> 8);
        ip[hlen + size_t(mss_pos) + 3] = uint8_t(_mss);
        l4_set_checksum(ip, hlen, tot);
        ipv4_set_checksum(ip, hlen);
        _adjusted.fetch_add(1, std::memory_order_relaxed);
        return q;
    }

    // No MSS option: insert one only when asked, when the header is whole and
    // the data offset leaves room for one more word (at most 15 after).
    if (!_add_missing || doff < 5 || doff > 14 || thl > v.payload_len() || tot - hlen > _mss || tot + 4 > 0xFFFF)
        return p;
    size_t trailer = p->length() - nh - tot;  // bytes after the IP packet (padding)
    WritablePacket* q = p->put(4);
    if (!q) {
        WLogger::error("%s Insufficient memory to allocate MSSAdjust Option", name().c_str());
        return nullptr;
    }
    uint8_t* ip = q->data() + nh;
    uint8_t* t = ip + hlen;
    std::memmove(t + 24, t + 20, (tot - hlen - 20) + trailer);
    t[20] = 2;
    t[21] = 4;
    t[22] = uint8_t(_mss >> 8);
    t[23] = uint8_t(_mss);
    t[12] = uint8_t(((doff + 1) << 4) | (t[12] & 0x0F));
    tot += 4;
    ip[2] = uint8_t(tot >> 8);
    ip[3] = uint8_t(tot);
    q->set_network_header(ip, uint32_t(hlen));
    l4_set_checksum(ip, hlen, tot);
    ipv4_set_checksum(ip, hlen);
    _added.fetch_add(1, std::memory_order_relaxed);
    return q;
}

void MSSAdjust::add_handlers() {
    add_read_handler("adjusted", ReadHandlerFunction([this] { return std::to_string(_adjusted.load()); }));
    add_read_handler("added", ReadHandlerFunction([this] { return std::to_string(_added.load()); }));
}

QUILO_REGISTER_ELEMENT(MSSAdjust);
