// The per-packet work of WDeComp, apart from the element: finds the shim,
// decodes and checks the payload, restores the original packet. It reports
// whether a stream packet failed and leaves the RSP reset to its owner.
// Messages begin with the owner's name.
#pragma once

#include <host/spinlock.hh>

#include <atomic>
#include <cstdint>
#include <string>

#include "compression/decompressor_engine.hh"

class Element;
class Packet;
class RSP;
class WritablePacket;
class ErrorHandler;
struct ShimConfig;
struct ShimLayout;

class PacketDecompressor {
  public:
    struct Result {
        Packet* packet = nullptr;  // null when dropped
        int port = 0;              // 1: still carries dedup bits and its shim
        bool stream_failed = false;
    };

    // Creates the decoders; errors go to errh. `name` prefixes every message
    // and `suffix` ends it (". Thread 2" for a decoder of WMTDeComp).
    int initialize(const std::string& name, ErrorHandler* errh, const std::string& suffix = "");
    void cleanup() { _engine.cleanup(); }
    // Hot reconfiguration: takes `old`'s decoders with their streams and
    // adds its counters to these.
    void take_state(PacketDecompressor& old);

    // Restores `p` (IP header at its network header, or at its data start).
    Result process(Packet* p, const ShimConfig& c);

    // The owner's last step: a failed stream packet resets `rsp` (which
    // takes its lock; the caller holds none), a packet with dedup bits
    // leaves on the owner's output 1; returns what goes to output 0.
    static Packet* deliver(Result r, Element* owner, RSP* rsp);

    uint64_t decompressed_count() const { return _decompressed.load(std::memory_order_relaxed); }
    uint64_t uncompressed_count() const { return _uncompressed.load(std::memory_order_relaxed); }
    uint64_t passed_count() const { return _passed.load(std::memory_order_relaxed); }
    uint64_t error_count() const { return _errors.load(std::memory_order_relaxed); }
    const DecompressorEngine& engine() const { return _engine; }

  private:
    Result uncompressed(Packet* p, int ip_off, const ShimLayout& l);
    Result fail(Packet* p, bool stream);

    std::string _name, _suffix;
    DecompressorEngine _engine;
    Spinlock _lock;  // the decoders and their output buffer
    std::atomic<uint64_t> _decompressed{0}, _uncompressed{0}, _passed{0}, _errors{0};
};
