// Null: passes packets through unchanged.
// Keywords: none.
// Ports: 1 input, 1 output, push or pull.
// Handlers: none.
#pragma once
#include <host/element.hh>

class Null : public Element {
 public:
    const char* class_name() const override { return "Null"; }
    const char* port_count() const override { return PORTS_1_1; }
    Packet* simple_action(Packet* p) override;
};
