// WCompressor: the compression state of one WMTComp worker. It is a
// WCompBase of its own: it copies the element's settings and keeps its own
// flags (forced stateless, master fallback, new stream), which the element
// sets in every worker; its _lock is the worker's lock, held around each
// compression and each flag change. Only zstd (4) and zlib (5) compress
// here; with any other COMPRESSOR every payload keeps its bytes and only
// gets the shim.
//
// Each worker has its own streaming context, so each worker produces an
// independent stream; its index travels in the low four bits of the shim's
// control byte and selects the peer's decoder. Messages carry ". Thread N"
// with N the worker task's home thread.
#pragma once

#include <string>

#include "compression/packet_compressor.hh"
#include "compression/wcompbase.hh"

struct ShimConfig;

class WCompressor : public WCompBase {
  public:
    // Copies the settings and the forced-stateless flag of `settings`;
    // master fallback off, the first streaming packet starts a stream.
    void configure(const WCompBase& settings, int thread_id, const std::string& owner_name);
    // Creates the engine; -1 with error() set.
    int initialize();
    void cleanup() { _pc.cleanup(); }
    const char* error() const { return _pc.error(); }

    // The caller does not hold _lock (process takes it around the engine).
    Packet* compress(Packet* p, const ShimConfig& c, uint8_t index) {
        return _pc.process(p, c, *this, _new_stream, index);
    }

    // Flag changes, each under _lock; the element logs them once.
    void set_force_stateless() override;
    void hard_set_force_stateless() override;
    void unforce_stateless() override;
    void set_master_fallback() override;
    void reset_master_fallback() override;
    // A new level for the adaptive mode (under _lock).
    void set_level(int level);

    bool new_stream() const { return _new_stream; }
    const PacketCompressor& packets() const { return _pc; }

  private:
    PacketCompressor _pc;
    bool _new_stream = true;
    int _thread_id = 0;
    std::string _owner;
};
