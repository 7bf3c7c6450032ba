// EtherEncap(ETHERTYPE, SRC, DST): prepends an Ethernet header and marks it
// as the packet's MAC header.
// Ports: 1 input, 1 output, agnostic.
// Handlers: ethertype, src, dst (read/write).
#pragma once
#include <host/element.hh>
#include <host/etheraddress.hh>

class EtherEncap : public Element {
 public:
    const char* class_name() const override { return "EtherEncap"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;
    void push(int, Packet* p) override {
        if ((p = simple_action(p)))
            output(0).push(p);
    }
    Packet* pull(int) override {
        Packet* p = input(0).pull();
        return p ? simple_action(p) : nullptr;
    }

 private:
    uint16_t _type = 0;   // host order
    EtherAddress _src, _dst;
};
