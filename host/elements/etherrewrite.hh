// EtherRewrite(SRC, DST): overwrites the source and destination addresses
// of the Ethernet header at the start of each packet. Packets shorter than
// an Ethernet header are dropped and counted.
// Ports: 1 input, 1 output, agnostic.
// Handlers: src, dst (read/write), drops (read).
#pragma once
#include <host/element.hh>
#include <host/etheraddress.hh>

#include <atomic>

class EtherRewrite : public Element {
 public:
    const char* class_name() const override { return "EtherRewrite"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;
    void push(int, Packet* p) override {
        if ((p = simple_action(p)))
            output(0).push(p);
    }
    Packet* pull(int) override {
        for (;;) {
            Packet* p = input(0).pull();
            if (!p)
                return nullptr;
            if ((p = simple_action(p)))
                return p;
        }
    }

 private:
    EtherAddress _src, _dst;
    std::atomic<uint64_t> _drops{0};
};
