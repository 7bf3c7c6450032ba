// WIPEncap(PROTO, SRC, DST [, TOS, TTL, DSCP, ECT, CE, DF]): puts an IPv4
// header (IP in IP) in front of each packet. The packet grows at its tail and
// its content moves 20 bytes on (no headroom needed).
//   PROTO  IP protocol, name or number (below 256)
//   SRC    IP address
//   DST    IP address, or "DST_ANNO": the destination annotation
//   TOS    0-255 (not with DSCP or ECN bits); DSCP 0-63
//   TTL    default 250
//   ECT    bool or "2" (ECN 01, or 10 with "2"); CE: bool (ECN 11)
//   DF     bool, default false
// Ports 1/1, agnostic. Handlers: src, dst (read; write reconfigures
// argument 1 or 2), drops (packets that could not be made writable or grow).
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class WIPEncap : public Element {
  public:
    const char* class_name() const override { return "WIPEncap"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;

    Packet* simple_action(Packet* p) override;

  private:
    uint8_t _tmpl[20] = {};  // header template: version to destination
    uint32_t _daddr = 0;     // network order
    bool _use_dst_anno = false;
    std::atomic<uint16_t> _id{0};
    std::atomic<uint32_t> _drops{0};
};
