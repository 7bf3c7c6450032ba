// SetIPChecksum: recomputes the IP header checksum of each packet (the
// network header must be marked, as CheckIPHeader or MarkIPHeader do).
// Packets without a usable IP header are dropped and counted.
// Ports: 1 input, 1 output, agnostic.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

class SetIPChecksum : public Element {
 public:
    const char* class_name() const override { return "SetIPChecksum"; }
    const char* port_count() const override { return PORTS_1_1; }
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

 private:
    std::atomic<uint64_t> _drops{0};
};
