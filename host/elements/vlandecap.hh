// VLANDecap(ANNO): removes the 802.1Q (or 802.1ad) tag of each Ethernet
// frame and stores its TCI, in network byte order, in the VLAN annotation
// (offset 20); untagged frames get a zero annotation and pass unchanged.
// Keywords: ANNO (bool, default true: store the TCI).
// Ports: 1 input, 1 output, agnostic.
#pragma once
#include <host/element.hh>

class VLANDecap : public Element {
 public:
    const char* class_name() const override { return "VLANDecap"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override;

 private:
    bool _anno = true;
};
