// QuiloTCPFragmenter(MTU, MTU_ANNO): splits TCP segments whose IP packet is
// longer than the MTU into several valid segments (sequence numbers advanced,
// FIN only on the last, checksums recomputed). SYN and RST segments, non-TCP
// packets and malformed headers pass unchanged.
//   MTU       unsigned 16-bit, default 0 (unset): largest IP packet
//   MTU_ANNO  annotation offset of a per-packet 16-bit MTU (0 to 94); a
//             non-zero value there is used (the smaller of both with MTU)
// At least one must be set. Ports 1/1, push.
// Handlers: count (TCP packets), fragmented_count (packets split), fragments.
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class QuiloTCPFragmenter : public Element {
  public:
    const char* class_name() const override { return "QuiloTCPFragmenter"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

    void push(int port, Packet* p) override;

  private:
    uint16_t _mtu = 0;
    int _mtu_anno = -1;
    std::atomic<uint32_t> _count{0};
    std::atomic<uint32_t> _fragmented_count{0};
    std::atomic<uint32_t> _fragments{0};
};
