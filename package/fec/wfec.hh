// WFEC: XOR-parity forward error correction for RSP's stream, so that a
// single lost packet in a group is rebuilt on the peer without waiting a
// round trip for RSP's retransmission.
//
//   WFEC(LOCAL_IP ADDR, NOTIFIER ELEMENT, PEER_OUTPUT_PORT N, MODE TX|RX
//        [, GROUP_SIZE 5] [, MAX_RX_QUEUE_SIZE 20] [, MTU 1500] [, DEBUG false])
//
// Keywords:
//   LOCAL_IP           source address of FEC packets (mandatory)
//   NOTIFIER           element that announces peers (a FlowTable; mandatory)
//   PEER_OUTPUT_PORT   the peer output port whose peer this element serves
//   MODE               "TX" (after RSP's output 0) or "RX" (before RSP's
//                      input 1), exactly so
//   GROUP_SIZE         stream packets per parity packet, 1 to 255 (default 5)
//   MAX_RX_QUEUE_SIZE  stream packets RX keeps for rebuilding (default 20,
//                      at least 2 x GROUP_SIZE)
//   MTU                longest FEC packet, in bytes (TX; default 1500, the
//                      WAN's MTU)
//   DEBUG              debug lines for groups and rebuilt packets
//
// Ports 1/2, push. Until a peer is announced every packet passes on output 0.
//
// TX: every packet leaves on output 0. First transmissions of stream packets
// (shim with the stream bit, no retransmit bit, a sound RSP header) are
// protected in groups of GROUP_SIZE consecutive RSP sequence numbers; after
// the last packet of a group, an FEC packet leaves on output 1: IPv4 header
// (LOCAL_IP to the peer, TTL 250, protocol IPPROTO or 17 with the UDP shim),
// [UDP header], shim with protocol 203, the 2-byte sequence number of the
// group's last packet, then the XOR of the group's packets, each whole from
// its IP header, zero-padded to the longest. FEC packets carry the peer in
// the destination annotation and need an Ethernet header (ARPQuerier). A gap
// or reordering in the sequence numbers abandons the group; so does a packet
// too long for its FEC packet to stay within MTU and the 1620-byte parity
// buffer (longer than MTU minus 26 bytes, 34 with the UDP shim: 1474 and
// 1466 by default), which itself passes unprotected. Parity is sent only for
// whole groups: the last packets before a pause wait for later ones.
//
// RX: every packet except FEC packets leaves on output 0; stream packets are
// also remembered (a shared copy, at most MAX_RX_QUEUE_SIZE, in sequence
// order). An FEC packet whose group lacks exactly one packet rebuilds it,
// with the FEC packet's timestamp, on output 1; FEC packets are consumed.
// Lengths from the wire are checked: an FEC packet too short for its
// sequence number is dropped, XOR covers only the bytes both the parity and
// a packet have, and a rebuilt packet without a sound IPv4 header (at least
// 20 bytes, total length within the parity) is dropped, all counted.
//
// Read handlers: fec_sent (FEC packets sent), groups_abandoned, unprotected
// (too long for the parity buffer), rebuilt (packets rebuilt), fec_received,
// unrecoverable (groups missing more than one packet), malformed (FEC packets
// too short), bad_rebuild (rebuilt packets dropped), no_memory, rx_queue_len.
#pragma once

#include <host/ipaddress.hh>
#include <host/spinlock.hh>

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/peerbound.hh"
#include "common/shim.hh"

class WFEC : public WPeerBound {
  public:
    // The buffer an FEC packet is built in; the parity follows its headers.
    static constexpr size_t FEC_BUFFER_LEN = 1620;

    WFEC();
    ~WFEC() override;

    const char* class_name() const override { return "WFEC"; }
    const char* port_count() const override { return "1/2"; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;

    struct Counters {
        std::atomic<uint64_t> fec_sent{0};
        std::atomic<uint64_t> groups_abandoned{0};
        std::atomic<uint64_t> unprotected{0};
        std::atomic<uint64_t> rebuilt{0};
        std::atomic<uint64_t> fec_received{0};
        std::atomic<uint64_t> unrecoverable{0};
        std::atomic<uint64_t> malformed{0};
        std::atomic<uint64_t> bad_rebuild{0};
        std::atomic<uint64_t> no_memory{0};
    };
    const Counters& counters() const { return _c; }

  private:
    struct Node {
        Packet* pkt;
        uint16_t seq;
    };

    void push_tx(Packet* p) override;
    void push_rx(Packet* p) override;
    // Starts a group at `seq` with a fresh zeroed FEC packet; false when no
    // buffer could be had (the group is then not protected).
    bool start_group(uint16_t seq, size_t len);
    void abandon_group();
    Packet* finish_group();
    void remember(Packet* p, uint16_t seq);
    Packet* rebuild(const uint8_t* parity, size_t parity_len, const Node* taken, size_t n, uint16_t start,
                    uint16_t end);

    IPAddress _local_ip;
    uint8_t _group_size = 5;
    uint32_t _max_rx_queue = 20;
    bool _debug = false;
    ShimConfig _shim;
    size_t _hdr = 24;         // IP [+ UDP] + shim
    size_t _max_len = 1474;   // longest packet a group may hold (MTU, parity buffer)

    // TX: one group at a time, guarded by the lock (RSP may send from
    // several threads).
    Spinlock _lock;
    WritablePacket* _fec = nullptr;
    uint16_t _expected = 0;
    uint16_t _last = 0;
    size_t _longest = 0;
    bool _new_group = true;
    uint16_t _ip_id = 1;

    // RX: stream packets in 16-bit serial order; capacity fixed at configure.
    std::vector<Node> _rxq;
    size_t _highwater = 0;
    Counters _c;
};
