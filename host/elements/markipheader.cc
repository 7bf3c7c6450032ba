#include "markipheader.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int MarkIPHeader::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t offset = 0;
    if (Args(conf, this, errh).read_p("OFFSET", BoundedIntArg(0, 65535), offset).complete() < 0)
        return -1;
    _offset = offset;
    return 0;
}

Packet* MarkIPHeader::simple_action(Packet* p) {
    if (p->length() >= _offset + 20) {
        const unsigned char* ip = p->data() + _offset;
        uint32_t hlen = (ip[0] & 0x0F) * 4u;
        if (hlen < 20 || _offset + hlen > p->length())
            hlen = 20;
        p->set_network_header(ip, hlen);
    }
    return p;
}

QUILO_HOST_ELEMENT(MarkIPHeader);
