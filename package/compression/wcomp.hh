// WComp: compresses the payload of TCP and UDP packets on their way to the
// peer and marks every TCP/UDP packet with the shim header.
//
//   WComp([MIN_DATA_LEN n] [, COMPRESSOR 0-5] [, METHOD streaming|stateless]
//         [, FORCE_STATELESS bool] [, LEVEL n])
//
// Port count 1/1, agnostic. The packet's IP header is at its network header
// when one is set, else at the start of its data. Streaming packets depend
// on every earlier streaming packet and carry WSHIM_STREAM; RSP controls the
// method through WCompBase. Handlers: "active_method" ("Streaming" or
// "Stateless"); counters "compressed", "uncompressed", "passed", "errors".
#pragma once

#include <atomic>

#include "common/wbase.hh"
#include "compression/compressor_engine.hh"
#include "compression/wcompbase.hh"

struct ShimConfig;

class WComp : public WBase, public WCompBase {
  public:
    WComp();
    ~WComp() override;

    const char* class_name() const override { return "WComp"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    // Hot reconfiguration: with the same COMPRESSOR and LEVEL, continues the
    // old element's stream (engine and the flags RSP set); otherwise the
    // next streaming packet starts a new stream.
    void take_state(Element* old, ErrorHandler* errh) override;

    Packet* simple_action(Packet* p) override;

    void set_force_stateless() override;
    void hard_set_force_stateless() override;
    void unforce_stateless() override;
    void set_master_fallback() override;
    void reset_master_fallback() override;

    // For tests and handlers.
    bool new_stream() const { return _new_stream; }
    uint64_t compressed_count() const { return _compressed.load(std::memory_order_relaxed); }
    uint64_t uncompressed_count() const { return _uncompressed.load(std::memory_order_relaxed); }
    uint64_t passed_count() const { return _passed.load(std::memory_order_relaxed); }
    uint64_t error_count() const { return _errors.load(std::memory_order_relaxed); }

  private:
    Packet* skip_compression(Packet* p, int ip_off, struct ShimLayout& l, const ShimConfig& c);

    bool _new_stream = true;  // the next streaming packet starts a new stream
    CompressorEngine _engine;
    std::atomic<uint64_t> _compressed{0}, _uncompressed{0}, _passed{0}, _errors{0};
};
