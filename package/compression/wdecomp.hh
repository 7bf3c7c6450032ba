// WDeComp: restores packets from the peer: decompresses the payload, checks
// it against the shim's check value, restores the original IP protocol and
// removes the shim.
//
//   WDeComp(RSP rsp_element)
//
// One input, output 0 always, output 1 (push) for packets that still carry
// dedup bits, which leave with their shim. Packets without a shim pass on
// output 0 unchanged. A stream packet that cannot be decoded resets the RSP
// connection of the tunnel, so both ends restart their streams together.
// Handlers: counters "decompressed", "uncompressed", "passed", "errors".
// cast: "WDeComp".
#pragma once

#include "common/wbase.hh"
#include "compression/packet_decompressor.hh"

class RSP;

class WDeComp : public WBase {
  public:
    const char* class_name() const override { return "WDeComp"; }
    const char* port_count() const override { return "1/1-2"; }
    const char* processing() const override { return PROCESSING_A_AH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    // Hot reconfiguration: keeps decoding the running stream of the old element.
    void take_state(Element* old, ErrorHandler* errh) override;

    Packet* simple_action(Packet* p) override;

    const PacketDecompressor& decompressor() const { return _dec; }

  private:
    RSP* _rsp = nullptr;
    PacketDecompressor _dec;
};
