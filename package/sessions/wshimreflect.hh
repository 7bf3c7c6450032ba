// WShimReflect: sends a tunnelled TCP packet that this appliance cannot
// handle back to the peer with the reflect mark (shim flag 0x02) set, so the
// peer takes the session off the optimised path. The packet goes back as a
// packet of the session's other direction (IP addresses, inner TCP ports and
// Ethernet addresses swapped; checksums stay valid), so that the peer's
// session manager and flow lookup place it in its session. Tunnel packets of other
// protocols, packets without the shim and packets that already carry the
// reflect mark (never bounced back again) are discarded.
//
// WHandleShimReflect: on the appliance that receives a reflected packet,
// detaches the packet's session from its peer in the FlowTable and discards
// the packet; every other packet passes on output 0.
//
// Both: ports "1/1", push; need a WConf. Read handlers: reflected (or
// handled) and dropped counts.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"

class FlowTable;

class WShimReflect : public WBase {
  public:
    const char* class_name() const override { return "WShimReflect"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    std::atomic<uint64_t> _reflected{0}, _dropped{0};
};

class WHandleShimReflect : public WBase {
  public:
    const char* class_name() const override { return "WHandleShimReflect"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    FlowTable* _table = nullptr;
    std::atomic<uint64_t> _handled{0}, _no_session{0};
};
