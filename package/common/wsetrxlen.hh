// WSetRXLen(STRIP): records the received length of each packet, less STRIP
// bytes (typically a link-layer header), in the RX_LEN annotation, truncated to
// 16 bits, and passes the packet on unchanged.
//   STRIP  unsigned 16-bit, default 0.
// Ports 1/1, agnostic. No handlers.
#pragma once

#include <host/element.hh>

#include <cstdint>

class WSetRXLen : public Element {
  public:
    const char* class_name() const override { return "WSetRXLen"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;

    Packet* simple_action(Packet* p) override;

  private:
    uint16_t _strip = 0;
};
