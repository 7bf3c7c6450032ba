#include "etherencap.hh"

#include <arpa/inet.h>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int EtherEncap::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint16_t type;
    EtherAddress src, dst;
    if (Args(conf, this, errh)
            .read_mp("ETHERTYPE", type)
            .read_mp("SRC", src)
            .read_mp("DST", dst)
            .complete() < 0)
        return -1;
    _type = type;
    _src = src;
    _dst = dst;
    return 0;
}

Packet* EtherEncap::simple_action(Packet* p) {
    WritablePacket* q = p->push(14);
    if (!q)
        return nullptr;
    click_ether* e = reinterpret_cast<click_ether*>(q->data());
    memcpy(e->ether_dhost, _dst.data(), 6);
    memcpy(e->ether_shost, _src.data(), 6);
    e->ether_type = htons(_type);
    q->set_ether_header(e);
    return q;
}

void EtherEncap::add_handlers() {
    add_reconfigure_handlers("ethertype", "ETHERTYPE");
    add_reconfigure_handlers("src", "SRC");
    add_reconfigure_handlers("dst", "DST");
}

QUILO_HOST_ELEMENT(EtherEncap);
