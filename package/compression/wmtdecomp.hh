// WMTDeComp: restores the packets of a peer's WMTComp. It keeps one decoder
// per worker index of the peer: the low four bits of the shim's control byte
// select it, so each of the peer's worker streams is decoded by a stream of
// its own.
//
//   WMTDeComp(RSP rsp_element [, THREADS 1-15])
//
// THREADS (1) must be at least the peer WMTComp's THREADS; 0 and values
// above 15 are corrected with an error message. A packet whose index is
// THREADS or more is dropped ("received invalid thread ID", counted in
// "invalid"). Packets of any engine decode, LZ4 included, so a WComp peer
// (index 0) is read as well.
//
// One input, output 0 always, output 1 (push) for packets that still carry
// dedup bits, which leave with their shim, exactly as WDeComp. Packets
// without a shim pass on output 0 unchanged. A stream packet that cannot be
// decoded resets the RSP connection of the tunnel (through the RSP element,
// which sends what it builds once its lock is released), so both ends
// restart their streams together.
//
// Handlers: counters "decompressed", "uncompressed", "passed", "errors"
// (summed over the decoders), "invalid".
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "common/wbase.hh"
#include "compression/packet_decompressor.hh"

class RSP;

class WMTDeComp : public WBase {
  public:
    const char* class_name() const override { return "WMTDeComp"; }
    const char* port_count() const override { return "1/1-2"; }
    const char* processing() const override { return PROCESSING_A_AH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    // Hot reconfiguration: keeps decoding the running streams of the old
    // element (as many as both have).
    void take_state(Element* old, ErrorHandler* errh) override;

    Packet* simple_action(Packet* p) override;

    int threads() const { return _threads; }
    const PacketDecompressor& decoder(int i) const { return *_decs[size_t(i)]; }
    uint64_t invalid_count() const { return _invalid.load(std::memory_order_relaxed); }

  private:
    RSP* _rsp = nullptr;
    int _threads = 1;
    std::vector<std::unique_ptr<PacketDecompressor>> _decs;
    std::atomic<uint64_t> _invalid{0};
    std::atomic<uint32_t> _last_warn{0};
};
