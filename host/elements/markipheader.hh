// MarkIPHeader(OFFSET): marks the IPv4 header that starts OFFSET bytes into
// each packet as its network header (header length from the IHL field).
// Packets too short to hold an IP header there pass on unmarked.
// Ports: 1 input, 1 output, agnostic.
#pragma once
#include <host/element.hh>

class MarkIPHeader : public Element {
 public:
    const char* class_name() const override { return "MarkIPHeader"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override;

 private:
    uint32_t _offset = 0;
};
