#include "vlanencap.hh"

#include <arpa/inet.h>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int VLANEncap::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string id_s, tci_s;
    int pcp = -1, native = 0;
    uint16_t ethertype = 0x8100;
    if (Args(conf, this, errh)
            .read_p("VLAN_ID", WordArg(), id_s)
            .read("VLAN_TCI", WordArg(), tci_s)
            .read("VLAN_PCP", BoundedIntArg(0, 7), pcp)
            .read("NATIVE_VLAN", BoundedIntArg(-1, 4095), native)
            .read("ETHERTYPE", ethertype)
            .complete() < 0)
        return -1;
    bool anno = true;
    uint16_t tci = 0;
    if (!tci_s.empty() && tci_s != "ANNO") {
        uint32_t v;
        if (!parse_arg(BoundedIntArg(0, 65535), tci_s, v, errh))
            return errh->error("VLAN_TCI: expected 0-65535 or ANNO");
        tci = uint16_t(v);
        anno = false;
    }
    if (!id_s.empty() && id_s != "ANNO") {
        uint32_t v;
        if (!parse_arg(BoundedIntArg(0, 4095), id_s, v, errh))
            return errh->error("VLAN_ID: expected 0-4095 or ANNO");
        tci = uint16_t((tci & 0xF000) | v);
        anno = false;
    }
    _use_anno = anno;
    _tci = tci;
    _pcp = pcp;
    _native = native;
    _ethertype = ethertype;
    return 0;
}

Packet* VLANEncap::simple_action(Packet* p) {
    if (p->length() < 14) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return nullptr;
    }
    uint16_t tci = _use_anno ? ntohs(p->anno_u16(VLAN_TCI_ANNO_OFFSET)) : _tci;
    if (_pcp >= 0)
        tci = uint16_t((tci & 0x1FFF) | (_pcp << 13));
    if (_native >= 0 && (tci & 0x0FFF) == _native)
        return p;
    WritablePacket* q = p->push(4);
    if (!q)
        return nullptr;
    unsigned char* d = q->data();
    memmove(d, d + 4, 12);
    d[12] = _ethertype >> 8;
    d[13] = _ethertype & 0xFF;
    d[14] = tci >> 8;
    d[15] = tci & 0xFF;
    q->set_mac_header(d, 18);
    return q;
}

void VLANEncap::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(VLANEncap);
