// WFEC: XOR-parity forward error correction for RSP's stream, so that a
// single lost packet in a group is rebuilt on the peer without waiting a
// round trip for RSP's retransmission.
//
//   WFEC(LOCAL_IP ADDR, NOTIFIER ELEMENT, PEER_OUTPUT_PORT N, MODE TX|RX
//        [, GROUP_SIZE 5] [, BULK_GROUP_SIZE 0] [, ADAPTIVE false]
//        [, RSP ELEMENT] [, FLUSH_MS 0] [, MAX_RX_QUEUE_SIZE N] [, MTU 1500] [, DEBUG false])
//
// Keywords:
//   LOCAL_IP           source address of FEC packets (mandatory)
//   NOTIFIER           element that announces peers (a FlowTable; mandatory)
//   PEER_OUTPUT_PORT   the peer output port whose peer this element serves
//   MODE               "TX" (after RSP's output 0) or "RX" (before RSP's
//                      input 1), exactly so
//   GROUP_SIZE         stream packets per parity packet, 1 to 255 (default 5)
//   BULK_GROUP_SIZE    TX: stream packets per parity packet while the WAN
//                      is the bottleneck and every parity packet takes a
//                      data packet's place: from a group start that finds
//                      at least GROUP_SIZE packets held by RSP's pacer
//                      until, with FLUSH_MS, the stream pauses or has a gap
//                      (0, the default: always GROUP_SIZE; needs RSP). RX:
//                      a group size the peer may use, tried after a lost
//                      parity packet (0: none)
//   ADAPTIVE           TX: BULK_GROUP_SIZE is the longest bulk group; the
//                      bulk group follows the link's loss, as estimated from
//                      RSP's retransmissions (below); nothing without
//                      BULK_GROUP_SIZE (default false)
//   RSP                TX: the RSP element whose pacer BULK_GROUP_SIZE and
//                      FLUSH_MS watch
//   FLUSH_MS           TX: a group that got no stream packet for this long,
//                      while RSP's pacer holds none, is closed with the
//                      parity of what it has, so that the end of a burst is
//                      protected too (0, the default: parity only for whole
//                      groups)
//   MAX_RX_QUEUE_SIZE  stream packets RX keeps for rebuilding (default 20 or
//                      twice the larger group size; at least that double)
//   MTU                longest FEC packet, in bytes (TX; default 1500, the
//                      WAN's MTU)
//   DEBUG              debug lines for groups and rebuilt packets
//
// Ports 1/2, push. Until a peer is announced every packet passes on output 0.
//
// TX: every packet leaves on output 0. First transmissions of stream packets
// (shim with the stream bit, no retransmit bit, a sound RSP header) are
// protected in groups of consecutive RSP sequence numbers; after the last
// packet of a group, an FEC packet leaves on output 1: IPv4 header
// (LOCAL_IP to the peer, TTL 250, protocol IPPROTO or 17 with the UDP shim),
// [UDP header], shim with protocol 203, the 2-byte sequence number of the
// group's last packet, then the XOR of the group's packets, each whole from
// its IP header, zero-padded to the longest. FEC packets carry the peer in
// the destination annotation and need an Ethernet header (ARPQuerier). A
// group's size is picked when it starts (fec::group_for): BULK_GROUP_SIZE
// while the WAN is the bottleneck, else GROUP_SIZE. A gap or reordering in the
// sequence numbers ends the group; so does a packet too long for its FEC
// packet to stay within MTU and the 1620-byte parity buffer (longer than MTU
// minus 26 bytes, 34 with the UDP shim: 1474 and 1466 by default), which
// itself passes unprotected. With fixed groups (no BULK_GROUP_SIZE, no
// FLUSH_MS) such a group is abandoned and parity is sent only for whole
// groups: the last packets before a pause wait for later ones. With
// variable groups it is closed with the parity of the packets it has, and
// FLUSH_MS closes it after a pause; the peer then needs a receiver of this
// version.
//
// With ADAPTIVE the bulk group is the largest size g, between GROUP_SIZE
// and BULK_GROUP_SIZE, for which a lost packet is rebuilt at least 3 times
// in 4: (1 - loss)^g >= 0.75, the other g - 1 stream packets and the parity
// packet all arrived (fec::group_for_loss: 28 at 1% loss, 5 at 5%, where a
// group of 24 rebuilds only 29% of losses). The loss is estimated from what
// passes here: RSP's retransmissions of stream packets (retransmit bit) per
// first transmission. Parity rebuilds most losses, so RSP resends only those
// it could not, loss * (1 - (1 - loss)^g) of the packets of groups of g;
// fec::loss_from_resent solves that for the loss with the groups' mean size.
// Both counts are summed over blocks of 256 first transmissions, older
// blocks weighing 15/16 less each: about the last 4000 packets count, a few
// seconds of a bulk transfer, long enough for a handful of resends at 1%
// loss, so that the size does not flap. The bulk group is GROUP_SIZE until
// the first block ends; nothing resent gives BULK_GROUP_SIZE. A receiver of this version tries
// the size of the latest group it delimited after a lost parity packet.
//
// RX: every packet except FEC packets leaves on output 0; stream packets are
// also remembered (a shared copy, at most MAX_RX_QUEUE_SIZE, in sequence
// order). The FEC packet carries only its group's last sequence number; the
// group starts right after the previous FEC packet's (variable groups), or
// BULK_GROUP_SIZE, the size of the latest group found after its predecessor's
// FEC packet, or GROUP_SIZE before its end (a sender of fixed groups, or
// after a lost FEC packet); the FEC packet's layout is the same either way.
// The starts are tried in that order (the longer first: a group guessed too
// short may look whole when a packet before it is missing): one whose group is whole ends the
// search; one whose group lacks exactly one packet rebuilds it from the
// parity and the others, and the rebuilt packet is accepted only when it is
// the missing stream packet byte for byte as far as can be checked
// (fec::rebuilt_packet_len: its number, the zero padding, RSP's checksum);
// else the next start is tried. An accepted packet leaves, with the FEC
// packet's timestamp, on output 1. Every remembered packet up to the FEC
// packet's number is then forgotten, and the FEC packet is consumed. Lengths from
// the wire are checked: an FEC packet too short for its sequence number or
// longer than any sender builds is dropped, XOR covers only the bytes both
// the parity and a packet have, and a rebuild that fails the check is
// dropped, all counted.
//
// Read handlers: fec_sent (FEC packets sent), groups_abandoned, flushed
// (groups closed before their size: at a gap or after FLUSH_MS),
// bulk_groups (groups of BULK_GROUP_SIZE), unprotected (too long for the
// parity buffer), rebuilt (packets rebuilt), fec_received, unrecoverable
// (groups missing more than one packet), malformed (FEC packets too short or
// too long), bad_rebuild (groups whose rebuilds all failed the check, none
// found whole from another start), no_memory,
// rx_queue_len; bulk_size (TX: the bulk group size now, BULK_GROUP_SIZE
// without ADAPTIVE) and loss (TX with ADAPTIVE: the estimated loss share,
// e.g. 0.010300).
#pragma once

#include <host/ipaddress.hh>
#include <host/spinlock.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/peerbound.hh"
#include "common/shim.hh"

class RSP;

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
        std::atomic<uint64_t> flushed{0};
        std::atomic<uint64_t> bulk_groups{0};
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
    // Packets RSP's pacer holds (0 without RSP); takes RSP's lock.
    size_t rsp_held() const;
    // Starts a group at `seq` of `size` packets with a fresh zeroed FEC
    // packet; false when no buffer could be had (the group is then not
    // protected).
    bool start_group(uint16_t seq, uint8_t size);
    // Ends the open group: with variable groups its parity so far (or none
    // when it holds no packet), else nothing (abandoned).
    Packet* end_group();
    void abandon_group();
    Packet* finish_group();
    // ADAPTIVE: a block of first transmissions is complete; estimates the
    // loss and picks the bulk group size.
    void end_loss_block();
    static void flush_timer_hook(Timer*, void*);
    void run_flush_timer();
    void remember(Packet* p, uint16_t seq);
    // Rebuilds the packet missing from the `n` nodes at `nodes` (the group
    // start..end less `missing`); null when the result fails the check.
    Packet* rebuild(const uint8_t* parity, size_t parity_len, const Node* nodes, size_t n, uint16_t start,
                    uint16_t end, uint16_t missing);

    IPAddress _local_ip;
    uint8_t _group_size = 5;
    uint8_t _bulk_group = 0;
    uint32_t _flush_ms = 0;
    RSP* _rsp = nullptr;
    bool _adaptive = false;
    bool _variable = false;  // BULK_GROUP_SIZE or FLUSH_MS: groups end early
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
    bool _in_bulk = false;  // groups of BULK_GROUP_SIZE until a pause or a gap
    int64_t _last_ns = 0;   // steady time of the group's latest packet
    Timer _flush_timer;
    uint8_t _size = 0;                   // the open group's size
    std::atomic<uint8_t> _bulk_now{0};   // written under the lock
    // ADAPTIVE: first transmissions of the current block and the sum of
    // their groups' sizes; retransmissions seen since the block started
    // (they pass without the lock); the decaying sums of all three.
    static constexpr uint32_t LOSS_BLOCK = 256;
    uint32_t _blk_sent = 0;
    uint32_t _blk_sizes = 0;
    std::atomic<uint32_t> _resent{0};
    double _sum_sent = 0, _sum_resent = 0, _sum_sizes = 0;
    std::atomic<uint32_t> _loss_ppm{0};

    // RX: stream packets in 16-bit serial order; capacity fixed at configure.
    std::vector<Node> _rxq;
    size_t _highwater = 0;
    uint16_t _rx_next = 0;  // after the latest FEC packet's group
    bool _rx_next_valid = false;
    uint16_t _rx_span = 0;  // size of the latest group found after its predecessor's FEC packet
    Counters _c;
};
