// VLANEncap(VLAN_ID, VLAN_PCP, VLAN_TCI, NATIVE_VLAN, ETHERTYPE): adds an
// 802.1Q tag to each Ethernet frame. Without VLAN_ID or VLAN_TCI (or with
// the value ANNO) the TCI comes from the VLAN annotation (offset 20, network
// byte order). Frames whose VLAN ID equals NATIVE_VLAN (default 0) leave
// untagged. Frames shorter than an Ethernet header are dropped and counted.
// Keywords: VLAN_ID (0-4095 or ANNO), VLAN_PCP (0-7), VLAN_TCI (0-65535 or
// ANNO), NATIVE_VLAN (0-4095, -1 for none), ETHERTYPE (default 0x8100).
// Ports: 1 input, 1 output, agnostic.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

class VLANEncap : public Element {
 public:
    const char* class_name() const override { return "VLANEncap"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

 private:
    bool _use_anno = true;
    uint16_t _tci = 0;          // host order, when not from the annotation
    int _pcp = -1;
    int _native = 0;
    uint16_t _ethertype = 0x8100;
    std::atomic<uint64_t> _drops{0};
};
