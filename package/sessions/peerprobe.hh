// PeerProbe(MODE, INT, PROBE, KEY, MAC [, ADD_PEERS]): lets two appliances
// find each other on the TCP handshakes they both forward.
//
// MODE 1 (INT 0, on traffic leaving towards the peer): adds a 16-byte TCP
// option (kind 76, length 16, "zi", KEY, MAC, 0, no-free-ports flag) to each
// SYN, or rewrites one that is already there, marks the session's peer flow
// with this side's probe and sends the SYN out on output 1.
// MODE 0 (INT 1, on traffic arriving from the peer): reads that option from
// SYNs and, when it comes from another appliance and ADD_PEERS is set,
// registers the announcing peer for the session; a clone of such a SYN goes
// to output 1, the SYN itself always to output 0.
// Everything else passes on output 0 unchanged, as do SYNs that cannot take
// the option (over 1320 bytes, TCP header already 48 bytes or more, bad
// option lengths). Other MODE/INT combinations discard SYNs.
//
// Ports "1/1-2", agnostic input. Handlers: active (read/write boolean),
// probed_count, seen_count, registered_count.
#pragma once

#include <host/element.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>

#include <atomic>
#include <cstddef>
#include <cstdint>

class FlowTable;

// The probe option.
constexpr uint8_t PEER_PROBE_KIND = 76;
constexpr uint8_t PEER_PROBE_LEN = 16;
constexpr uint8_t PEER_PROBE_MAGIC0 = 'z';
constexpr uint8_t PEER_PROBE_MAGIC1 = 'i';

// Result of scanning the options of a TCP header.
struct TcpOptionScan {
    bool invalid = false;  // an option with length below 2
    int probe = -1;        // offset of a probe option from the TCP header, or -1
    int eol = -1;          // offset of an end-of-options byte, or -1
};

// Scans the options of the TCP header at `th` (`avail` bytes readable from
// th, header length `hl`): never reads at or beyond min(hl, avail).
TcpOptionScan scan_tcp_options(const uint8_t* th, size_t hl, size_t avail);

class PeerProbe : public Element {
  public:
    const char* class_name() const override { return "PeerProbe"; }
    const char* port_count() const override { return "1/1-2"; }
    const char* processing() const override { return "a/ah"; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;
    Packet* pull(int port) override;

    bool active() const { return _active.load(std::memory_order_relaxed); }
    void set_active(bool a) { _active.store(a, std::memory_order_relaxed); }

    // The packet to pass on output 0, or null when it left by output 1 or was dropped.
    Packet* handle(Packet* p);

  private:
    Packet* add_probe(Packet* p, size_t ip_off, size_t ip_len, size_t hl, size_t thl, const TcpOptionScan& s);
    Packet* read_probe(Packet* p, const uint8_t* th, const TcpOptionScan& s);

    int _mode = 0;
    int _int = 0;
    std::atomic<bool> _active{false};
    IPAddress _key;
    EtherAddress _mac;
    bool _add_peers = false;
    FlowTable* _table = nullptr;
    std::atomic<uint64_t> _probed{0}, _seen{0}, _registered{0};
};
