// QuiloUDPIPEncap(SRC, SPORT, DST, DPORT [, CHECKSUM, DF]): puts an IPv4 and a
// UDP header in front of each packet. The packet grows at its tail (no
// headroom needed) and its content moves 28 bytes on.
//   SRC       IP address, or "SRC_ANNO": the packet's own IP source (bytes 12-15)
//   SPORT     UDP source port
//   DST       IP address, or "DST_ANNO": the destination annotation
//   DPORT     UDP destination port
//   CHECKSUM  bool, default true: compute the UDP checksum
//   DF        bool, default false: set don't-fragment
// Ports 1/1, agnostic. Handlers: src, sport, dst, dport (read: current value;
// "src" shows the last source used with SRC_ANNO; write: reconfigure that
// argument), drops (packets that could not grow).
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class QuiloUDPIPEncap : public Element {
  public:
    const char* class_name() const override { return "QuiloUDPIPEncap"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    const char* flags() const override { return "A"; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

    Packet* simple_action(Packet* p) override;

  private:
    uint32_t _saddr = 0;  // network order
    uint32_t _daddr = 0;
    uint16_t _sport = 0;  // network order
    uint16_t _dport = 0;
    bool _use_src_anno = false;
    bool _use_dst_anno = false;
    bool _cksum = true;
    bool _df = false;
    std::atomic<uint16_t> _id{0};
    std::atomic<uint32_t> _last_src{0};
    std::atomic<uint32_t> _drops{0};
};
