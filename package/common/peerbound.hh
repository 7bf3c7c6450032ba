// WPeerBound: base of the elements that serve one peer beside RSP's stream
// (Stacker, WFEC): they learn the peer's address from a
// PeerDiscoveryNotifier (the flow table) for one peer output port, work in
// one of two modes, and show counters as read handlers.
#pragma once

#include <host/ipaddress.hh>
#include <host/packet.hh>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/wbase.hh"
#include "sessions/peernotifiers.hh"

class WPeerBound : public WBase, public PeerDiscoveryListener {
  public:
    const char* processing() const override { return PUSH; }
    // Until a peer is announced every packet leaves on output 0; then the
    // mode's procedure takes it.
    void push(int port, Packet* p) override;

    // Logs "<name> peer IP address notification. Peer: <address>" (debug)
    // and keeps the address.
    void peer_discovered_notify(const IPAddress& peer) override;

  protected:
    virtual void push_tx(Packet* p) = 0;
    virtual void push_rx(Packet* p) = 0;
    // Checks MODE ("TX" or "RX", exactly), finds the NOTIFIER element,
    // registers with it for `port` and runs WBase::configure.
    int configure_peer(const std::string& mode, const std::string& notifier, int port, ErrorHandler* errh);
    // The peer's address in network byte order, 0 until announced.
    uint32_t peer_net() const { return _peer.load(std::memory_order_acquire); }
    void add_counter_handler(const char* name, const std::atomic<uint64_t>* c);
    static void count(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }
    // Whether a line about a bad packet may be logged now: at most one a
    // second, as bad packets can arrive at line rate (they are counted).
    bool log_allowed();

    bool _tx = true;

  private:
    std::atomic<uint32_t> _peer{0};
    std::atomic<uint32_t> _last_log{0};
};

// The start of a packet's IPv4 header: its network header when that lies
// within the data, else the first byte of the data.
inline const uint8_t* packet_ip(const Packet* p) {
    const uint8_t* nh = p->network_header();
    if (nh && nh >= p->data() && nh <= p->end_data())
        return nh;
    return p->data();
}
