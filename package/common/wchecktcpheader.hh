// WCheckTCPHeader([VERBOSE, DETAILS]): drops TCP packets whose header length,
// IP lengths or TCP checksum are wrong; other packets pass unchanged.
// Reasons: "not TCP", "bad packet length", "bad TCP checksum".
// Keywords, ports and handlers: see headercheck.hh.
#pragma once

#include "common/headercheck.hh"

class WCheckTCPHeader : public HeaderCheck {
  public:
    const char* class_name() const override { return "WCheckTCPHeader"; }
    Packet* simple_action(Packet* p) override;

  protected:
    const char* const* reason_texts() const override;
    void log_drop(const char* reason) override;
};
