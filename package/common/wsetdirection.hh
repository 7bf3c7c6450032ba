// WSetDirection(DIRECTION): ORs an interface-direction bit into the packet's
// DIRECTION annotation and passes the packet on unchanged.
//   DIRECTION  "LANRX" (1), "LANTX" (2), "WANRX" (4) or "WANTX" (8), exactly as
//              written; mandatory, may be given positionally.
// Ports 1/1, agnostic. No handlers.
#pragma once

#include <host/element.hh>

#include <cstdint>

class WSetDirection : public Element {
  public:
    const char* class_name() const override { return "WSetDirection"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;

    Packet* simple_action(Packet* p) override;

    uint8_t direction() const { return _direction; }

  private:
    uint8_t _direction = 0;
};
