// Strip(LEN): removes LEN bytes from the front of every packet.
// Ports: 1 input, 1 output, agnostic. Packets shorter than LEN lose all data.
#pragma once
#include <host/element.hh>

class Strip : public Element {
 public:
    const char* class_name() const override { return "Strip"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override {
        p->pull(_len);
        return p;
    }
    void push(int, Packet* p) override { output(0).push(simple_action(p)); }
    Packet* pull(int) override {
        Packet* p = input(0).pull();
        return p ? simple_action(p) : nullptr;
    }

 private:
    uint32_t _len = 0;
};
