// WCheckUDPHeader([VERBOSE, DETAILS]): drops UDP packets whose UDP length does
// not fit the packet or whose non-zero checksum is wrong; a zero checksum is
// accepted. Other packets pass unchanged.
// Reasons: "not UDP", "bad packet length", "bad UDP checksum".
// Keywords, ports and handlers: see headercheck.hh.
#pragma once

#include "common/headercheck.hh"

class WCheckUDPHeader : public HeaderCheck {
  public:
    const char* class_name() const override { return "WCheckUDPHeader"; }
    Packet* simple_action(Packet* p) override;

  protected:
    const char* const* reason_texts() const override;
    void log_drop(const char* reason) override;
};
