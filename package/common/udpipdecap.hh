// UDPIPDecap: removes the outer IPv4 and UDP headers of UDP packets that carry
// an IPv4 packet; the inner packet then starts the data, its total length is
// set to what remains and its header checksum recomputed. Packets without a
// network header, or not UDP, pass unchanged. A packet whose remainder is not
// a whole IPv4 header (fewer than 20 bytes, fewer than its header length, or
// not version 4) is dropped and counted.
// Ports 1/1, agnostic. Handler: drops.
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class UDPIPDecap : public Element {
  public:
    const char* class_name() const override { return "UDPIPDecap"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    void add_handlers() override;

    Packet* simple_action(Packet* p) override;

  private:
    std::atomic<uint32_t> _drops{0};
};
