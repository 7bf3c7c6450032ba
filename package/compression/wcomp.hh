// WComp: compresses the payload of TCP and UDP packets on their way to the
// peer and marks every TCP/UDP packet with the shim header.
//
//   WComp([MIN_DATA_LEN n] [, COMPRESSOR 0-5] [, METHOD streaming|stateless]
//         [, FORCE_STATELESS bool] [, LEVEL n]
//         [, ADAPTIVE bool] [, ADAPTIVE_MIN n] [, ADAPTIVE_MAX n]
//         [, ADAPTIVE_OFF bool])
//
// Port count 1/1, agnostic. The packet's IP header is at its network header
// when one is set, else at the start of its data. Streaming packets depend
// on every earlier streaming packet and carry WSHIM_STREAM; RSP controls the
// method through WCompBase.
//
// COMPRESSOR: 0 none (shim only), 1 deprecated (becomes 4), 2 LZ4, 3 LZ4
// high-compression, 4 zstd (default), 5 zlib. LEVEL 0 (default) leaves
// payloads uncompressed. zstd takes 1 to its library's maximum (22), zlib 1
// to 9; another level runs zstd at 11 and zlib at 9, with a warning that
// says so (zstd's negative levels are for ADAPTIVE_MIN only).
//
// ADAPTIVE (false): the level follows the bottleneck of the tunnel, between
// ADAPTIVE_MIN and ADAPTIVE_MAX (zstd -50 to 9, zlib 1 to 9 by default),
// starting at LEVEL: up while the WAN is the limit and the compressing thread
// has time to spare, down while that thread is saturated (see
// adaptive_level.hh). ADAPTIVE_OFF (true): a thread still saturated at
// ADAPTIVE_MIN stops compressing (level 0) until the WAN is the limit again;
// payloads cross uncompressed, and while the method is streaming RSP carries
// them as reliably as the stream, which resumes where it stood. zstd and
// zlib only; the RSP element that names this compressor in WCOMP supplies
// the WAN figures.
//
// Handlers: "active_method" ("Streaming" or "Stateless"); "level" (the
// level in use, 0 while the adaptive level compresses nothing); "adaptive"
// ("off", or the adaptive level's state);
// counters "compressed", "uncompressed", "passed", "errors".
#pragma once

#include <atomic>

#include "common/wbase.hh"
#include "compression/adaptive_level.hh"
#include "compression/comp_settings.hh"
#include "compression/packet_compressor.hh"
#include "compression/wcompbase.hh"

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

    // The adaptive level's change (0: compress nothing for now); public for
    // tests.
    void adapt_level(int level);

    // For tests and handlers.
    bool new_stream() const { return _new_stream; }
    uint64_t compressed_count() const { return _pc.compressed_count(); }
    uint64_t uncompressed_count() const { return _pc.uncompressed_count(); }
    uint64_t passed_count() const { return _pc.passed_count(); }
    uint64_t error_count() const { return _pc.error_count(); }
    uint64_t busy_ns() const { return _pc.busy_ns(); }

  private:
    CompSettings _settings;
    bool _new_stream = true;  // the next streaming packet starts a new stream
    PacketCompressor _pc;
    LevelAdapter _adapter;
    std::atomic<int> _tid{0};  // kernel id of the thread that compresses (adaptive level)
};
