#include "common/wipencap.hh"

#include <host/args.hh>
#include <host/ipaddress.hh>

#include <arpa/inet.h>

#include <cstring>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/tailgrow.hh"

int WIPEncap::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int proto = 0;
    IPAddress src;
    std::string dst, ect_text;
    int tos = -1, dscp = -1;
    uint8_t ttl = 250;
    bool ce = false, df = false;
    if (Args(conf, this, errh)
            .read_mp("PROTO", IPProtocolArg(), proto)
            .read_mp("SRC", src)
            .read_mp("DST", AnyArg(), dst)
            .read("TOS", tos)
            .read("TTL", ttl)
            .read("DSCP", dscp)
            .read("ECT", AnyArg(), ect_text)
            .read("CE", ce)
            .read("DF", df)
            .complete() < 0)
        return -1;
    if (proto < 0 || proto > 255)
        return errh->error("bad IP protocol");

    uint32_t daddr = 0;
    bool dst_anno = false;
    if (dst == "DST_ANNO")
        dst_anno = true;
    else {
        IPAddress a;
        Args quiet;
        if (!IPAddressArg().parse(dst, a, quiet))
            return errh->error("DST argument should be IP address or 'DST_ANNO'");
        daddr = a.addr();
    }

    int ecn = 0, ecn_options = 0;
    if (!ect_text.empty()) {
        bool ect = false;
        Args quiet;
        if (ect_text == "2")
            ecn = 2, ++ecn_options;
        else if (BoolArg().parse(ect_text, ect, quiet)) {
            if (ect)
                ecn = 1, ++ecn_options;
        } else
            return errh->error("bad ECT value '%s'", ect_text.c_str());
    }
    if (ce)
        ecn = 3, ++ecn_options;
    if (ecn_options > 1)
        return errh->error("can set at most one ECN option");
    if (tos >= 0 && dscp >= 0)
        return errh->error("cannot set both TOS and DSCP");
    if (tos >= 0 && ecn)
        return errh->error("cannot set both TOS and ECN bits");
    if (tos > 255)
        return errh->error("TOS too large; max 255");
    if (dscp > 63)
        return errh->error("DSCP too large; max 63");
    if (tos < -1 || dscp < -1)
        return errh->error("TOS and DSCP must not be negative");

    uint8_t* h = _tmpl;
    std::memset(h, 0, sizeof(_tmpl));
    h[0] = 0x45;
    h[1] = uint8_t(tos >= 0 ? tos : (dscp >= 0 ? dscp << 2 : 0) | ecn);
    uint16_t off = htons(df ? IP_DF : 0);
    std::memcpy(h + 6, &off, 2);
    h[8] = ttl;
    h[9] = uint8_t(proto);
    uint32_t s = src.addr();
    std::memcpy(h + 12, &s, 4);
    std::memcpy(h + 16, &daddr, 4);
    _daddr = daddr;
    _use_dst_anno = dst_anno;
    return 0;
}

int WIPEncap::initialize(ErrorHandler*) {
    _id = 0;
    return 0;
}

Packet* WIPEncap::simple_action(Packet* p) {
    WritablePacket* q = grow_front_by_moving(p, 20);
    if (!q) {
        ++_drops;
        return nullptr;
    }
    uint8_t* ip = q->data();
    std::memcpy(ip, _tmpl, 20);
    uint16_t v = htons(uint16_t(q->length()));
    std::memcpy(ip + 2, &v, 2);
    v = htons(_id.fetch_add(1, std::memory_order_relaxed));
    std::memcpy(ip + 4, &v, 2);
    if (_use_dst_anno) {
        uint32_t d = dst_ip_anno(q);
        std::memcpy(ip + 16, &d, 4);
    } else
        set_dst_ip_anno(q, _daddr);
    ipv4_set_checksum(ip, 20);
    q->set_network_header(ip, 20);
    return q;
}

void WIPEncap::add_handlers() {
    add_read_handler("src", ReadHandlerFunction([this] {
        uint32_t s;
        std::memcpy(&s, _tmpl + 12, 4);
        return IPAddress(s).unparse();
    }));
    add_read_handler("dst", ReadHandlerFunction([this] {
        return _use_dst_anno ? std::string("DST_ANNO") : IPAddress(_daddr).unparse();
    }));
    add_write_handler("src", reconfigure_positional_handler, reinterpret_cast<void*>(intptr_t(1)));
    add_write_handler("dst", reconfigure_positional_handler, reinterpret_cast<void*>(intptr_t(2)));
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
}

QUILO_REGISTER_ELEMENT(WIPEncap);
