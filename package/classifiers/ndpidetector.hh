// NDPIDetector: the protocol detection behind WDPI (see wdpi.hh).
//
// One record per session, created and deleted by SessionManager's events.
// The first packets of a session are fed to nDPI until it names an
// application protocol, or until the packet budget runs out (more than 10
// packets for TCP, more than 8 for UDP); from then on the cached result is
// only stamped on the session's packets.
//
// Built on nDPI 4.2. Two properties of that release shape the locking:
//  - a flow's nDPI state must not be updated by two threads at once, and
//    the two directions of a session may run on different router threads;
//  - the detection module keeps the packet being dissected in the module
//    itself, so even different flows must not be dissected at once.
// Every nDPI call that dissects or guesses therefore runs under the
// module's own spinlock. A record's detection state changes only under
// that lock; its result is published with `done` (release) and never
// changes afterwards, so the per-packet path after detection takes no lock
// but its thread's shared side of the session table.
#pragma once

#include <host/ipflowid.hh>
#include <host/packet.hh>
#include <host/spinlock.hh>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sessions/sessionnotifier.hh"
#include "sessions/wreadwritelock.hh"

struct ndpi_detection_module_struct;
struct ndpi_flow_struct;
class Element;
class ErrorHandler;

class NDPIDetector : public SessionListener {
  public:
    struct Settings {
        uint32_t local_ip = 0;  // network byte order
        std::string protocol_file;
        bool guess = false;
        bool debug = false;
    };

    struct DPIFlow {
        ndpi_flow_struct* flow = nullptr;  // freed as soon as detection ends
        IPFlowID key;                      // the session's key, wide-area side first
        uint8_t proto = 0;                 // 6 or 17
        std::atomic<uint32_t> packets{0};  // packets given to nDPI (changed under the module lock)
        std::atomic<bool> done{false};
        // Interim values while detecting (under the module lock), final once done.
        std::atomic<uint16_t> master{0}, app{0};
        bool guessed = false;
        std::string host_server_name, client_cert, server_cert;  // set when done
    };

    // Counters for handlers and tests.
    struct Stats {
        uint64_t sessions, detected, undetected, inspected, skipped, malformed;
    };

    // `owner` gives messages their element name.
    NDPIDetector(const Element* owner, Settings s);
    ~NDPIDetector() override;
    NDPIDetector(const NDPIDetector&) = delete;
    NDPIDetector& operator=(const NDPIDetector&) = delete;

    // Creates and sets up the nDPI module; false with the error reported.
    bool init_module(ErrorHandler* errh);
    // Takes over `old`'s module and sessions (hot reconfiguration).
    void take_state(NDPIDetector* old);
    // Exits the module unless a successor took it.
    void cleanup();

    void session_notify(unsigned int session_id, unsigned char mask, SessionEvent event, const IPFlowID* flow,
                        const WSessionInfo* info) override;

    // Detection (or only the stamp) for one packet; annotations are written
    // on session packets only.
    void process(Packet* p);

    // Name of a protocol id as nDPI knows it; ids beyond nDPI's (1000 + a
    // port) are written as their number.
    std::string proto_name(uint16_t id) const;

    size_t sessions() const;
    Stats stats() const;
    // One line per session: id, master and application protocol, packets,
    // state and names seen.
    std::string unparse_flows() const;
    // One line per application protocol of finished detections: name, count.
    std::string unparse_protocols() const;

    // Result of session `id` (false when unknown); for tests.
    bool result(uint32_t id, uint16_t* master, uint16_t* app, bool* done, std::string* host = nullptr) const;

  private:
    struct Module;
    struct Slot;
    class FlowTable;

    const char* name() const;
    __attribute__((noinline)) void detect(Slot* s, const uint8_t* ip, size_t ip_len, uint8_t proto,
                                          int direction, int64_t ts_ms);
    void finish(Slot* s, const uint8_t* ip, size_t ip_len, uint8_t proto, int direction);
    void log_result(const DPIFlow* f, const uint8_t* ip, size_t hlen, uint8_t proto) const;
    static void free_flow(DPIFlow* f);

    const Element* _owner;
    Settings _s;
    Module* _module = nullptr;  // owned unless handed over
    bool _handed_over = false;
    std::unique_ptr<FlowTable> _table;
    WReadWriteLock _lock{0, WReadWriteLock::FAST_READERS};
    std::atomic<int> _fragment_logs{0};

    std::atomic<uint64_t> _detected{0}, _undetected{0}, _inspected{0}, _skipped{0}, _malformed{0};
    mutable Spinlock _proto_lock;
    std::map<uint16_t, uint64_t> _proto_counts;  // finished detections by application protocol
};
