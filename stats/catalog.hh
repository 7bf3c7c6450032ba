// What quilo-stats reads from an appliance and how it becomes metrics.
//
// Nothing here names elements of a particular configuration: after
// connecting, quilo-stats reads the router's "list" and every element's
// "class", "handlers" and "config", and Catalog::build picks the read
// handlers it knows by their names (and, for a few, the class): counters
// ("count", "byte_count"), RSP's counters and connection state, the peer
// information's "wrtt", the byte cache's "ds_slot", the compressors'
// "active_method", queues' "length", every "drops" and "drops_REASON", ...
// Elements a configuration lacks are simply not read.
//
// An element belongs to a peer by its PEER_OUTPUT_PORT keyword, or else by
// the number that ends its name (dd1, comp1: peer 1). Counters named
// lan_tx1, wan_tx1, wan_tx1_own, wan_rx1, lan_rx1 (lan_ or wan_, tx or rx,
// the peer, an optional _suffix) add up to the peer's LAN and WAN traffic.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ctlproto.hh"

namespace qstats {

using Labels = std::vector<std::pair<std::string, std::string>>;

struct Family {
    const char* name;
    bool counter;  // else a gauge
    const char* help;
};
// Every metric family quilo-stats exports, in the order /metrics lists them.
const std::vector<Family>& families();
const Family* family(const std::string& name);

struct Sample {
    const Family* family;
    Labels labels;  // without "appliance"
    double value;
};

struct ElementInfo {
    std::string name, cls, config;
    std::set<std::string> reads;  // its read handlers
};

// Parses "name\tflags" lines of an ELEMENT.handlers value into the names of
// read handlers.
std::set<std::string> read_handlers(const std::string& text);
// The element names of a "list" value (its first line is the count), at
// most kMaxElements of them.
constexpr size_t kMaxElements = 2000;
std::vector<std::string> element_list(const std::string& text);
// The peer an element belongs to ("" if none).
std::string peer_of(const std::string& name, const std::string& config);
// A traffic counter's name ("lan_tx1", "wan_tx1_own"): *side "lan" or
// "wan", *dir "tx" or "rx", *peer the peer's number.
bool traffic_counter(const std::string& name, std::string* side, std::string* dir, std::string* peer);

class Catalog {
  public:
    void build(const std::vector<ElementInfo>& elements);
    // Handler names to READ on every poll.
    const std::vector<std::string>& reads() const { return reads_; }
    // Turns one poll's replies (indexed like reads()) into samples.
    std::vector<Sample> extract(const std::vector<Reply>& replies);
    size_t element_count() const { return elements_; }

  private:
    enum class Kind {
        Number,       // the value is a number
        Bool,         // "true"/"false"
        LastNumber,   // the last number in the text ("tcp map size: 3")
        Rtt,          // milliseconds, 65535 = none yet -> seconds
        TunnelState,  // RSP connection_state
        RspQueues,    // RSP "state": tx_queue, rx_queue
        Sessions,     // SessionManager "maps": tcp and udp map sizes
        Streaming,    // compressor active_method
        Peers,        // FlowTable "peers": "ADDRESS PORT" lines
        Hostname,     // WPeerInfo peerhostname
        CacheSlot,    // Dedup ds_slot (with ds_capacity: the fill)
    };
    struct Probe {
        Kind kind;
        const Family* family;
        Labels labels;
        std::string peer, element;
        int sum_group = -1;  // index into sums_ for lan_/wan_ counters
    };
    void add(const std::string& handler, Kind kind, const char* family, Labels labels,
             const std::string& peer = "", const std::string& element = "");

    std::vector<std::string> reads_;
    std::vector<Probe> probes_;
    struct SumGroup {
        const Family* family;
        Labels labels;
    };
    std::vector<SumGroup> sums_;
    size_t elements_ = 0;
    // Byte-cache slots seen, by element: a slot lower than the last one means
    // the ring has wrapped and the cache is full from then on.
    std::map<std::string, std::pair<double, bool>> slots_;
};

// Numbers in handler text: the decimal after `key` ("tx_queue: " 12), or
// the whole trimmed text. False when there is none.
bool number_after(const std::string& text, const std::string& key, double* out);
bool whole_number(const std::string& text, double* out);

}  // namespace qstats
