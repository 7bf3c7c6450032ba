// Classifier(PATTERN, ...): sends each packet to the output of the first
// pattern it matches; packets that match none are dropped and counted.
// Patterns are "OFFSET/VALUE[%MASK]" clauses (hex VALUE, "?" wildcard
// nibbles, "!" negation) separated by spaces, all of which must match, or
// "-" for every packet. Offsets count from the start of the packet data.
// Ports: 1 input, as many outputs as patterns; push.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

#include "../lib/classifierexpr.hh"

class Classifier : public Element {
 public:
    const char* class_name() const override { return "Classifier"; }
    const char* port_count() const override { return "1/-"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override;

 private:
    std::vector<classifier::Pattern> _patterns;
    std::atomic<uint64_t> _drops{0};
};
