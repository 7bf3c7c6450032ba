// The per-packet work of the compressing elements, apart from the element:
// finds the shim and payload, compresses the payload with the engine, writes
// the shim, or only adds the shim when the payload stays as it is. WComp owns
// one; each worker of WMTComp owns one inside its WCompressor.
//
// Settings and flags (method, forced stateless, master fallback) are read
// from a WCompBase; its _lock guards them, the engine and the caller's
// new-stream flag, and is held only around the engine and the shim flags.
// Messages begin with the owner's name and end with a suffix (". Thread 3"
// for a worker, empty for WComp).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "compression/compressor_engine.hh"

class Packet;
class WCompBase;
struct ShimConfig;
struct ShimLayout;

class PacketCompressor {
  public:
    void set_names(const std::string& name, const std::string& suffix) {
        _name = name;
        _suffix = suffix;
    }
    // Creates the engine for `compressor` at `level` (already clamped; 0
    // leaves every payload uncompressed). Returns 0, or -1 with error() set.
    int init(int compressor, int level);
    void cleanup() { _engine.cleanup(); }
    const char* error() const { return _engine.error(); }

    // Compresses `p` (IP header at its network header, or at its data start)
    // as `ctl` says, with ctl._lock taken inside. `new_stream` (guarded by
    // the same lock): the next streaming packet starts a new stream; it is
    // set again when a streaming compression fails. `thread_index` goes into
    // the low four bits of the shim's control byte of every shim written
    // here. Returns the packet to send, or null when it was dropped (a failed
    // compression also sets ctl._master_fallback).
    Packet* process(Packet* p, const ShimConfig& c, WCompBase& ctl, bool& new_stream, uint8_t thread_index);

    // The adaptive level's change, under the owner's lock. Level 0 pauses
    // compression: payloads pass uncompressed with their shim, outside the
    // stream, and the engine and its stream wait as they are. Another level
    // goes to the engine and resumes. Returns 0, or -1 for a level the
    // engine refuses.
    int adapt_level(int level);
    bool paused() const { return _paused.load(std::memory_order_relaxed); }

    // Engine access for the owner (stream resets, level changes, hot
    // reconfiguration); under the owner's lock.
    CompressorEngine& engine() { return _engine; }
    const CompressorEngine& engine() const { return _engine; }

    // Adds `o`'s counters to these.
    void add_counters(const PacketCompressor& o);
    uint64_t compressed_count() const { return _compressed.load(std::memory_order_relaxed); }
    uint64_t uncompressed_count() const { return _uncompressed.load(std::memory_order_relaxed); }
    uint64_t passed_count() const { return _passed.load(std::memory_order_relaxed); }
    uint64_t error_count() const { return _errors.load(std::memory_order_relaxed); }
    // Nanoseconds spent in the engine (wall clock), for the adaptive level.
    uint64_t busy_ns() const { return _busy_ns.load(std::memory_order_relaxed); }

  private:
    Packet* skip_compression(Packet* p, int ip_off, ShimLayout& l, const ShimConfig& c, uint8_t thread_index);
    Packet* out_of_memory();

    std::string _name, _suffix;
    bool _off = true;  // LEVEL 0 or no engine: every payload stays as it is
    std::atomic<bool> _paused{false};
    CompressorEngine _engine;
    std::atomic<uint64_t> _compressed{0}, _uncompressed{0}, _passed{0}, _errors{0}, _busy_ns{0};
};
