// SetIPAddress(ADDR): sets the destination address annotation (the next hop
// an ARPQuerier resolves) of every packet to ADDR.
// Ports: 1 input, 1 output, push or pull.
// Handlers: addr (read/write; writing reconfigures ADDR).
#pragma once
#include <host/element.hh>
#include <host/ipaddress.hh>

#include <atomic>

class SetIPAddress : public Element {
 public:
    const char* class_name() const override { return "SetIPAddress"; }
    const char* port_count() const override { return PORTS_1_1; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override;
    void add_handlers() override;

 private:
    std::atomic<uint32_t> _addr{0};
};
