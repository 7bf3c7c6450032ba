#include "common/quiloudpipencap.hh"

#include <host/args.hh>
#include <host/ipaddress.hh>

#include <arpa/inet.h>

#include <cstring>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/tailgrow.hh"

namespace {

// An IPv4 address or the given keyword.
struct AddrOrAnnoArg {
    const char* anno_word;
    bool parse(const std::string& str, uint32_t& addr, bool& anno, Args& args) const {
        if (str == anno_word) {
            anno = true;
            addr = 0;
            return true;
        }
        IPAddress a;
        if (!IPAddressArg().parse(str, a, args))
            return false;
        anno = false;
        addr = a.addr();
        return true;
    }
};

}  // namespace

int QuiloUDPIPEncap::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string src, dst;
    uint16_t sport = 0, dport = 0;
    bool cksum = true, df = false;
    if (Args(conf, this, errh)
            .read_mp("SRC", AnyArg(), src)
            .read_mp("SPORT", IPPortArg(IPPROTO_UDP), sport)
            .read_mp("DST", AnyArg(), dst)
            .read_mp("DPORT", IPPortArg(IPPROTO_UDP), dport)
            .read_p("CHECKSUM", cksum)
            .read_p("DF", df)
            .complete() < 0)
        return -1;
    uint32_t saddr = 0, daddr = 0;
    bool src_anno = false, dst_anno = false;
    Args quiet;
    if (!AddrOrAnnoArg{"SRC_ANNO"}.parse(src, saddr, src_anno, quiet))
        return errh->error("bad SRC");
    if (!AddrOrAnnoArg{"DST_ANNO"}.parse(dst, daddr, dst_anno, quiet))
        return errh->error("bad DST");
    _saddr = saddr;
    _daddr = daddr;
    _use_src_anno = src_anno;
    _use_dst_anno = dst_anno;
    _sport = htons(sport);
    _dport = htons(dport);
    _cksum = cksum;
    _df = df;
    if (!src_anno)
        _last_src = saddr;
    return 0;
}

Packet* QuiloUDPIPEncap::simple_action(Packet* p) {
    uint32_t saddr = _saddr;
    if (_use_src_anno) {
        if (p->length() < 16) {
            ++_drops;
            p->kill();
            return nullptr;
        }
        std::memcpy(&saddr, p->data() + 12, 4);
        _last_src.store(saddr, std::memory_order_relaxed);
    }
    WritablePacket* q = grow_front_by_moving(p, 28);
    if (!q) {
        ++_drops;
        return nullptr;
    }
    uint8_t* ip = q->data();
    uint32_t len = q->length();
    uint32_t daddr = _daddr;
    if (_use_dst_anno)
        daddr = dst_ip_anno(q);
    else
        set_dst_ip_anno(q, daddr);

    ip[0] = 0x45;
    ip[1] = 0;
    uint16_t v = htons(uint16_t(len));
    std::memcpy(ip + 2, &v, 2);
    v = htons(_id.fetch_add(1, std::memory_order_relaxed));
    std::memcpy(ip + 4, &v, 2);
    v = htons(_df ? IP_DF : 0);
    std::memcpy(ip + 6, &v, 2);
    ip[8] = 250;
    ip[9] = IPPROTO_UDP;
    std::memcpy(ip + 12, &saddr, 4);
    std::memcpy(ip + 16, &daddr, 4);
    ipv4_set_checksum(ip, 20);

    uint8_t* udp = ip + 20;
    std::memcpy(udp, &_sport, 2);
    std::memcpy(udp + 2, &_dport, 2);
    v = htons(uint16_t(len - 20));
    std::memcpy(udp + 4, &v, 2);
    udp[6] = udp[7] = 0;
    if (_cksum)
        l4_set_checksum(ip, 20, len);

    q->set_network_header(ip, 20);
    return q;
}

void QuiloUDPIPEncap::add_handlers() {
    add_read_handler("src", ReadHandlerFunction([this] { return IPAddress(_last_src.load()).unparse(); }));
    add_read_handler("sport", ReadHandlerFunction([this] { return std::to_string(ntohs(_sport)); }));
    add_read_handler("dst", ReadHandlerFunction([this] {
        return _use_dst_anno ? std::string("DST_ANNO") : IPAddress(_daddr).unparse();
    }));
    add_read_handler("dport", ReadHandlerFunction([this] { return std::to_string(ntohs(_dport)); }));
    for (intptr_t i = 0; i < 4; ++i) {
        static const char* const names[] = {"src", "sport", "dst", "dport"};
        add_write_handler(names[i], reconfigure_positional_handler, reinterpret_cast<void*>(i));
    }
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
}

QUILO_REGISTER_ELEMENT(QuiloUDPIPEncap);
