#include "etherencap.hh"

#include <arpa/inet.h>

#include <cstdio>

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
    add_read_handler("ethertype", ReadHandlerFunction([this]() {
                         char b[16];
                         snprintf(b, sizeof b, "0x%04x\n", _type);
                         return std::string(b);
                     }));
    add_write_handler("ethertype", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          uint16_t t;
                          if (!parse_arg(IntArg(), s, t, errh))
                              return errh->error("ethertype: expected a 16-bit number");
                          _type = t;
                          return 0;
                      }));
    add_data_handlers("src", Handler::h_read | Handler::h_write, &_src);
    add_data_handlers("dst", Handler::h_read | Handler::h_write, &_dst);
}

QUILO_HOST_ELEMENT(EtherEncap);
