// ARPQuerier(IP, ETH, TABLE, CAPACITY, ENTRY_CAPACITY, ENTRY_PACKET_CAPACITY,
// TIMEOUT, POLL_TIMEOUT, BROADCAST): puts an Ethernet header on IP packets,
// resolving the next hop with ARP.
// Input 0: IP packets; the next hop is the destination address annotation,
// or the IP destination when the annotation is zero. Input 1: ARP replies
// (Ethernet frames). Output 0: Ethernet frames (IP packets and, without an
// output 1, ARP queries); output 1 (optional): ARP queries.
// Keywords: IP (address, or address/prefix to learn the subnet broadcast),
// ETH (our MAC), TABLE (an ARPTable to share; default a private table),
// POLL_TIMEOUT (minimum time between queries for one address, default 1 s),
// BROADCAST (broadcast address, default from the prefix, else
// 255.255.255.255), and the ARPTable limits.
// Handlers: table, insert, delete, clear (as ARPTable's), queries,
// responses, drops (read).
#pragma once
#include <host/element.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>

#include <atomic>

#include "../lib/arpcache.hh"

class ARPQuerier : public Element {
 public:
    const char* class_name() const override { return "ARPQuerier"; }
    const char* port_count() const override { return "2/1-2"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage) override { _own.clear(); }
    void push(int port, Packet* p) override;

 private:
    void handle_ip(Packet* p);
    void handle_response(Packet* p);
    void send_query(IPAddress ip, uint16_t vlan_anno);
    void send_resolved(Packet* p, const EtherAddress& dst);

    IPAddress _ip, _bcast;
    EtherAddress _eth;
    ArpCache _own;
    ArpCache* _cache = &_own;
    int64_t _poll_ns = 1000000000;
    std::atomic<uint64_t> _queries{0}, _responses{0}, _drops{0};
};
