// MarkMACHeader(OFFSET, LENGTH): marks LENGTH bytes (default 14) starting
// OFFSET bytes (default 0) into each packet as its MAC header; the network
// header follows it. Frames that arrive through Socket get a link-layer
// header position this way. Packets shorter than OFFSET + LENGTH pass on
// unmarked.
// Ports: 1 input, 1 output, agnostic.
#pragma once
#include <host/element.hh>

class MarkMACHeader : public Element {
 public:
    const char* class_name() const override { return "MarkMACHeader"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override {
        if (p->length() >= _offset + _length)
            p->set_mac_header(p->data() + _offset, _length);
        return p;
    }

 private:
    uint32_t _offset = 0;
    uint32_t _length = 14;
};
