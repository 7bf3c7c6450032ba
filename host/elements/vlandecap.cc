#include "vlandecap.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int VLANDecap::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool anno = true;
    if (Args(conf, this, errh).read("ANNO", anno).complete() < 0)
        return -1;
    _anno = anno;
    return 0;
}

Packet* VLANDecap::simple_action(Packet* p) {
    const unsigned char* d = p->data();
    uint16_t type = p->length() >= 14 ? uint16_t((d[12] << 8) | d[13]) : 0;
    if (p->length() < 18 || (type != 0x8100 && type != 0x88A8)) {
        if (_anno)
            p->set_anno_u16(VLAN_TCI_ANNO_OFFSET, 0);
        return p;
    }
    uint16_t tci_net;
    memcpy(&tci_net, d + 14, 2);
    WritablePacket* q = p->uniqueify();
    if (!q)
        return nullptr;
    memmove(q->data() + 4, q->data(), 12);
    q->pull(4);
    q->set_mac_header(q->data(), 14);
    if (_anno)
        q->set_anno_u16(VLAN_TCI_ANNO_OFFSET, tci_net);
    return q;
}

QUILO_HOST_ELEMENT(VLANDecap);
