// Unstrip(LEN): puts LEN bytes back in front of every packet (the bytes a
// Strip removed; the buffer grows when headroom is short).
// Ports: 1 input, 1 output, agnostic.
#pragma once
#include <host/element.hh>

class Unstrip : public Element {
 public:
    const char* class_name() const override { return "Unstrip"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override { return p->nonunique_push(_len); }
    void push(int, Packet* p) override {
        if ((p = simple_action(p)))
            output(0).push(p);
    }
    Packet* pull(int) override {
        Packet* p = input(0).pull();
        return p ? simple_action(p) : nullptr;
    }

 private:
    uint32_t _len = 0;
};
