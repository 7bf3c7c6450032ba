// SetUDPChecksum: recomputes the UDP checksum of each IPv4 UDP packet (the
// network header must be marked). Other packets, fragments and packets
// whose lengths do not fit are dropped and counted.
// Ports: 1 input, 1 output, agnostic.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

class SetUDPChecksum : public Element {
 public:
    const char* class_name() const override { return "SetUDPChecksum"; }
    const char* port_count() const override { return PORTS_1_1; }
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

 private:
    std::atomic<uint64_t> _drops{0};
};
