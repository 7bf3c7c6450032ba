// Stacker: packs small IP packets bound for the peer appliance into one
// tunnel packet (a stacker packet) and, on the peer, unpacks them again.
// Every packet on a WAN link costs its own headers and its own slot in the
// link's queue; voice, games and chatty protocols send many small ones.
//
//   Stacker(LOCAL_IP ADDR, NOTIFIER ELEMENT, PEER_OUTPUT_PORT N, MODE TX|RX
//           [, WAIT_TIME_MS 50] [, MTU 1500] [, SEND_WHEN_LEN 1450]
//           [, WHOLE_FIRST 0] [, DEBUG false])
//
// Keywords:
//   LOCAL_IP          source address of stacker packets (mandatory)
//   NOTIFIER          element that announces peers (a FlowTable; mandatory)
//   PEER_OUTPUT_PORT  the peer output port whose peer this element serves
//   MODE              "TX" (stack) or "RX" (unstack), exactly so
//   WAIT_TIME_MS      longest time a stacker packet stays open (default 50)
//   MTU               largest stacker packet, in bytes (default 1500)
//   SEND_WHEN_LEN     a stacker packet is sent once it is this long (1450)
//   WHOLE_FIRST       TX: the first N packets of each conversation (TCP or
//                     UDP, one direction) leave whole on output 0 (default
//                     0: every packet that fits is stacked). The peer creates
//                     a session only from a packet that crossed whole, and
//                     restores unpacked packets from their session; a new
//                     UDP flow whose packets were all stacked would never be
//                     delivered. Conversations are told apart by a table of
//                     4096 entries, so a rare collision lets a conversation
//                     send a few more packets whole.
//   DEBUG             a debug line per stacker packet unpacked
//   SESSIONS          the SessionManager whose sessions unpacked packets
//                     refresh (RX; default: the router's SessionManager)
//
// A stacker packet: IPv4 header (LOCAL_IP to the peer, TTL 250, protocol
// IPPROTO, or 17 with the UDP shim), [UDP header], shim with protocol 204,
// then whole IP packets back to back, each as long as its own total-length
// field says. Until a peer is announced every packet passes on output 0.
//
// TX (ports 1/3): a packet that fits the open stacker packet is copied into
// it, from its IP header on, and leaves on output 2 (its content travels in
// the stacker packet; connect output 2 to Discard). A packet that does not
// fit sends the open stacker packet first and leaves unchanged on output 0,
// as does any packet longer than MTU minus the stacker headers or without a
// sound IPv4 header. Stacker packets leave on output 1 when they reach
// SEND_WHEN_LEN or when WAIT_TIME_MS has passed since they were opened; they
// carry the peer in the destination annotation and need an Ethernet header
// (ARPQuerier). Their timestamp is the time they were sent.
//
// RX: stacker packets are unpacked; each inner packet leaves on output 1
// with its network header set and the stacker packet's timestamp (the time
// it arrived), so RSP's round-trip samples stay right. The stacker packet
// hides its inner packets from the SessionManager it crossed, so each one
// refreshes its own session there, as a packet that crossed whole would, and
// carries that session's id and direction (WAN_IN); sessions are never
// created here, and unknown ones keep the annotations unset. Everything else
// leaves on output 0. Lengths from the wire are checked: unpacking stops at
// the first inner packet shorter than 20 bytes, longer than what remains,
// or whose header length does not fit its total length, and at an outer
// total length beyond the packet; the rest is counted as corrupt. Inner
// packets that are not IPv4 are dropped and counted. Unpacked packets have
// no Ethernet header: downstream, the session's own header is put back
// (L2Mapper), so a session the receiving appliance has not yet seen cross
// whole cannot be restored.
//
// Read handlers: stacked (packets copied into stacker packets), sent
// (stacker packets sent), unstacked (packets unpacked), corrupt (stacker
// packets with bad lengths), not_ipv4 (inner packets dropped), no_memory
// (allocation failures), whole (packets WHOLE_FIRST sent whole), peer.
#pragma once

#include <host/ipaddress.hh>
#include <host/spinlock.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/peerbound.hh"
#include "common/shim.hh"

class SessionManager;

class Stacker : public WPeerBound {
  public:
    Stacker();
    ~Stacker() override;

    const char* class_name() const override { return "Stacker"; }
    const char* port_count() const override { return "1/3"; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;

    struct Counters {
        std::atomic<uint64_t> stacked{0};
        std::atomic<uint64_t> sent{0};
        std::atomic<uint64_t> unstacked{0};
        std::atomic<uint64_t> corrupt{0};
        std::atomic<uint64_t> not_ipv4{0};
        std::atomic<uint64_t> no_memory{0};
        std::atomic<uint64_t> whole{0};
    };
    const Counters& counters() const { return _c; }

  private:
    void push_tx(Packet* p) override;
    void push_rx(Packet* p) override;
    bool open_packet();
    // Finishes the open stacker packet and hands it back (null when none is
    // open); the caller pushes it on output 1 once the lock is released.
    Packet* close_packet();
    static void timer_hook(Timer*, void*);
    void refresh_session(Packet* q, const uint8_t* inner, size_t n);
    // WHOLE_FIRST: true while the conversation of the packet at `ip` has
    // sent fewer than WHOLE_FIRST packets whole (and counts this one).
    // Called with _lock held.
    bool first_of_conversation(const uint8_t* ip, size_t len);

    IPAddress _local_ip;
    uint32_t _wait_ms = 50;
    uint32_t _mtu = 1500;
    uint32_t _send_when_len = 1450;
    bool _debug = false;
    uint32_t _whole_first = 0;
    ShimConfig _shim;
    SessionManager* _sessions = nullptr;

    Spinlock _lock;
    WritablePacket* _open = nullptr;  // the stacker packet being filled
    // WHOLE_FIRST: per slot, a conversation's hash (upper 56 bits) and the
    // packets it sent whole (lower 8 bits); allocated at configuration.
    static constexpr size_t FIRSTS_SLOTS = 4096;
    std::vector<uint64_t> _firsts;
    uint16_t _ip_id = 1;
    Timer _timer;
    Counters _c;
};
