// Dedup: puts the byte cache on the packet path. On the way to the peer it
// replaces the transport payload of large TCP and UDP packets by the encoded
// stream of the byte cache and marks them with the shim header (flags 0x10);
// on the way from the peer it rehydrates shimmed packets and restores them
// as they were before encoding.
//
//   Dedup(ACTION, DS [, LOOKUP_BOOST bool] [, LOOKUP_BOOST_ERROR_RATE r]
//         [, LEVEL n] [, DS_SIZE mb] [, DS_DIR path]
//         [, NOTIFIER ft, PEER_OUTPUT_PORT n])
//
// ACTION  0: encode outgoing and decode incoming packets; 1: decode only
//         (outgoing packets pass unchanged); other values: outgoing packets
//         get the shim around their payload, escaped but not deduplicated.
// DS      datastore number: the datastore file is DS_DIR/peer<DS> ("peerX"
//         for 1000), with DS_DIR/peer<DS>.info beside it.
// LOOKUP_BOOST, LOOKUP_BOOST_ERROR_RATE (false, 0.05, within (0, 1)):
//         bloom filter in front of the datastore index.
// LEVEL   encoding level (4); 0 leaves outgoing packets unencoded.
// DS_SIZE datastore size in megabytes (16000), above 0.
// DS_DIR  directory of the datastore ("/quilo/ds0"), created if missing.
//         When it cannot be used the datastore never becomes ready: an
//         error is logged, outgoing traffic passes unencoded and shimmed
//         packets are dropped.
// NOTIFIER, PEER_OUTPUT_PORT (together): the flow table and the peer port
//         this Dedup serves. The datastore is then opened only once a peer
//         is known on that port, so that a peer branch no peer ever uses
//         costs neither the index memory nor the file (ds_waiting reads
//         "true" until then, and ProbeHandler does not wait for it).
//
// The datastore is opened 1 ms after initialisation by a timer and prepared
// on a thread of the engine; a hot swap hands the open datastore to the new
// element when DS, DS_DIR and DS_SIZE are unchanged.
//
// Ports: one input; output 0 carries encoded packets and packets passed on
// unchanged; output 1 sync traffic (a packet whose chunks the receiver lacks,
// or whose rehydrated TCP checksum failed, goes back to its sender with flag
// 0x20, and the sender returns it rehydrated); output 2 the rehydrated
// packets when ACTION is 0, which therefore needs three outputs. A packet
// sent back travels as its session's other direction (IP addresses, inner
// ports and Ethernet addresses swapped) so that the sender's session layer
// hands it to the sender's Dedup, which swaps them back.
//
// On a peer branch of an appliance (one Dedup and one DS per peer):
//
//   out_l[1] -> dd1 :: Dedup(0, 1, DS_SIZE 2000, DS_DIR /var/lib/quilo)
//            -> comp1 :: WComp(...) -> [0]rsp1;   // encoded or unchanged
//   dd1[1] -> comp1;                              // sync traffic, to the peer
//   dd1[2] -> l2in;                               // rehydrated, to the LAN
//   rsp1[1] -> dec1 :: WDeComp(RSP rsp1) -> l2in;
//   dec1[1] -> dd1;                               // dedup bits still set
//
// The datastore's in-memory index grows with DS_SIZE (about 50 to 100 KB per
// megabyte; the default 16000 MB needs about a gigabyte of memory).
//
// Handlers (read): ds_ready ("true"/"false"; ProbeHandler waits for it),
// ds_slot (next record written), ds_capacity (records before the datastore
// wraps), ds_path; counters encoded, unencoded, passed, decoded,
// encode_bytes_in, encode_bytes_out, missing_syncs, checksum_syncs,
// sync_returns, drops, errors. Write: reset_counts.
#pragma once

#include <host/spinlock.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "common/wbase.hh"
#include "dedup/wdedup.hh"
#include "sessions/peernotifiers.hh"

struct ShimLayout;

class Dedup : public WBase, public PeerDiscoveryListener {
  public:
    Dedup();
    ~Dedup() override;

    const char* class_name() const override { return "Dedup"; }
    const char* port_count() const override { return "1/1-"; }
    const char* processing() const override { return PROCESSING_A_AH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void take_state(Element* old, ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void run_timer(Timer* t) override;

    void push(int port, Packet* p) override;
    Packet* simple_action(Packet* p) override;

    // The engine (null until the start timer has fired), for handlers and tests.
    WDedup* engine() const { return _engine.load(std::memory_order_acquire); }
    bool ds_ready() const;
    // Whether the datastore is still waiting for a peer on its port.
    bool waiting_for_peer() const { return _await_peer && !_peer_known.load(std::memory_order_acquire) && !engine(); }
    void peer_discovered_notify(const IPAddress& peer) override;
    const std::string& ds_path() const { return _ds_path; }
    int action() const { return _action; }
    int level() const { return _level; }

    struct Counters {
        std::atomic<uint64_t> encoded{0};      // packets sent encoded
        std::atomic<uint64_t> unencoded{0};    // eligible packets sent as they were
        std::atomic<uint64_t> passed{0};       // packets not for the byte cache
        std::atomic<uint64_t> decoded{0};      // packets rehydrated
        std::atomic<uint64_t> bytes_in{0};     // payload bytes before encoding
        std::atomic<uint64_t> bytes_out{0};    // encoded payload bytes
        std::atomic<uint64_t> missing_syncs{0};
        std::atomic<uint64_t> checksum_syncs{0};
        std::atomic<uint64_t> sync_returns{0};  // sync packets rehydrated at the sender
        std::atomic<uint64_t> drops{0};
        std::atomic<uint64_t> errors{0};  // packets the engine failed on (also in drops)
    };
    const Counters& counters() const { return _count; }

  private:
    enum Route { OUT_PASS = 0, OUT_SYNC = 1, OUT_REHYDRATED = 2 };

    // Works on one packet; returns it with the output it goes to, or null.
    // `used`: the engine worked on it (commit follows).
    Packet* process(Packet* p, int* port, bool* used);
    Packet* encode(Packet* p, int ip_off, const ShimLayout& l, WDedup* engine);
    Packet* decode(Packet* p, int ip_off, const ShimLayout& l, WDedup* engine, int* port);
    Packet* strip_shim(Packet* p, int ip_off, const ShimLayout& l, int* port);
    Packet* drop(Packet* p);
    void note_sync_update();
    bool loud_error();
    // fit() with the failure logged and counted as a drop (packet freed).
    WritablePacket* resize(Packet* p, int ip_off, uint32_t total, uint32_t need);
    void reset_counts();

    Spinlock _lock;  // guards _out and _missing, held around engine calls and rewrites
    uint8_t _out[WDedup::MAX_PAYLOAD];
    std::set<uint64_t> _missing;

    int _action = 0;
    int _ds = 0;
    int _ds_size = 16000;
    bool _lookup_boost = false;
    double _error_rate = 0.05;
    int _level = 4;
    std::string _ds_dir;
    std::string _ds_path;
    uint32_t _sync_counter = 0;

    std::atomic<WDedup*> _engine{nullptr};
    bool _state_taken = false;
    bool _readiness_reported = false;
    uint32_t _ready_polls = 0;
    bool _await_peer = false;             // NOTIFIER given: open on the first peer
    std::atomic<bool> _peer_known{false};
    Timer _timer;
    Counters _count;
};
