// FlowLookup(DIRECTION WAN_IN|WAN_OUT): sends each packet to the output of
// the peer appliance that carries it, as the FlowTable decides: output 0 for
// traffic no peer carries (with PEER_IP 0), output n for peer output port n
// (with PEER_IP set to the peer). A peer port without an output of its own
// also takes output 0 (warned about once). Give it MAX_PEERS + 1 outputs.
//
// Ports "1/1-", push. Read handlers: count, byte_count (packets and bytes
// sent to a peer output), unmapped_count (peer packets sent to output 0 for
// lack of an output).
#pragma once

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"
#include "sessions/sessionnotifier.hh"

class FlowTable;

class FlowLookup : public WBase {
  public:
    const char* class_name() const override { return "FlowLookup"; }
    const char* port_count() const override { return "1/1-"; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    uint64_t count() const { return _count.load(std::memory_order_relaxed); }
    uint64_t byte_count() const { return _bytes.load(std::memory_order_relaxed); }

  private:
    SessionNotifier::PacketDirection _dir = SessionNotifier::WAN_OUT;
    FlowTable* _table = nullptr;
    std::atomic<uint64_t> _count{0}, _bytes{0}, _unmapped{0};
    std::atomic<bool> _warned_unmapped{false};
};
