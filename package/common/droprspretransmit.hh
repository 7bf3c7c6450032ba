// DropRSPRetransmit(DROP): with DROP true, drops the packets that the RSP
// receive path marked as retransmissions (RSP_RX_RETRANSMIT annotation) and
// counts them; everything else passes.
//   DROP  bool, mandatory
// Ports 1/1, agnostic. Handlers: drop (read/write "true"/"false"), drop_count.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"

class DropRSPRetransmit : public WBase {
  public:
    const char* class_name() const override { return "DropRSPRetransmit"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

    Packet* simple_action(Packet* p) override;

  private:
    std::atomic<bool> _drop{false};
    std::atomic<uint32_t> _drop_count{0};
};
