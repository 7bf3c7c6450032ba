// SetTCPChecksum: recomputes the TCP checksum of each IPv4 TCP packet (the
// network header must be marked). Other packets, fragments and packets
// whose lengths do not fit are dropped and counted.
// Ports: 1 input, 1 output, agnostic.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

class SetTCPChecksum : public Element {
 public:
    const char* class_name() const override { return "SetTCPChecksum"; }
    const char* port_count() const override { return PORTS_1_1; }
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

 private:
    std::atomic<uint64_t> _drops{0};
};
