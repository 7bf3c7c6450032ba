// MSSAdjust([ADDMISSING]): lowers the MSS option of TCP SYN and SYN-ACK
// segments to the WConf MSS (never raises it), so that end hosts send segments
// that fit the tunnel. With ADDMISSING true, a SYN without an MSS option gets
// one when its TCP header has room for another word.
//   ADDMISSING  bool, default false
// Ports 1/1, agnostic. Handlers: adjusted, added (segments changed).
#pragma once

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"

class MSSAdjust : public WBase {
  public:
    const char* class_name() const override { return "MSSAdjust"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;

    Packet* simple_action(Packet* p) override;

  private:
    uint16_t _mss = 1320;
    bool _add_missing = false;
    std::atomic<uint32_t> _adjusted{0};
    std::atomic<uint32_t> _added{0};
};
