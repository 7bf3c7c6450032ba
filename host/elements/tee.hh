// Tee([N]): copies each packet to every output. Outputs 0 to N-2 get clones,
// the last output gets the original.
// Keywords: N (number of outputs; must match the outputs connected).
// Ports: 1 push input, 1 or more push outputs.
// Handlers: none.
#pragma once
#include <host/element.hh>

class Tee : public Element {
 public:
    const char* class_name() const override { return "Tee"; }
    const char* port_count() const override { return "1/1-"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void push(int, Packet* p) override;
};
