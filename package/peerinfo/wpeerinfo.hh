// WPeerInfo: small control exchanges with the peer appliance over the tunnel
// framing. The RTT probe (WRTTProtocol) measures the round trip every few
// seconds and keeps a scaled moving average; the host-information exchange
// (WHostInfoProtocol) tells each side the other's host name and announces it
// to PeerInfoListeners (the flow table).
//
// Input 0: packets from the peer. Output 0: everything that is not peer
// information, unchanged. Output 1: requests built here. Output 2: responses.
// Output 3: peer-information packets of another path link.
//
// With PATH_LINK above 0 the RTT requests and the answers to the peer's RTT
// requests carry PATH_ANNO = PATH_LINK, so that a path selector
// (PathRedirect) sends both through that path's gateway. A PATH_LINK above 1
// only takes packets marked with its own path link; put it in front of the
// PATH_LINK 1 element and feed that from its output 3.
#pragma once

#include <host/element.hh>
#include <host/ipaddress.hh>
#include <host/spinlock.hh>
#include <host/timer.hh>

#include <cstdint>
#include <string>
#include <vector>

#include "common/shim.hh"
#include "common/wbase.hh"
#include "peerinfo/peerinfo_wire.hh"
#include "sessions/peernotifiers.hh"

class WPeerInfo;

// The RTT probe part.
class WRTTProtocol {
  public:
    explicit WRTTProtocol(WPeerInfo* e) : _e(e) {}
    void set_peer_ip(IPAddress peer);
    void timer_hook();
    // Consumes the packet.
    void handle_packet(Packet* p, uint8_t* ip, const peerinfo::View& v);

    uint16_t _interval = 5;
    IPAddress _local_ip;
    IPAddress _peer;
    uint16_t _ip_id = 0;
    peerinfo::RttAverage _avg;
    bool _enable = true;
    bool _debug = false;
    uint8_t _path_link = 0;
    Timer _timer;

  private:
    WPeerInfo* _e;
};

// The host-name exchange part.
class WHostInfoProtocol {
  public:
    explicit WHostInfoProtocol(WPeerInfo* e) : _e(e) {}
    void set_peer_ip(IPAddress peer);
    void timer_hook();
    // Consumes the packet.
    void handle_packet(Packet* p, const uint8_t* ip, const peerinfo::View& v);

    uint16_t _interval = 90;
    IPAddress _local_ip;
    uint16_t _ip_id = 0;
    std::string _local_hostname;
    whost_info _info;
    bool _enabled = true;
    bool _debug = false;
    // The next timer run sends this end's name even though the peer's is
    // known (the name changed over a hot reconfiguration).
    bool _announce_name = false;
    Timer _timer;

  private:
    Packet* make_packet(bool request);
    WPeerInfo* _e;
};

class WPeerInfo : public WBase, public PeerDiscoveryListener, public PeerInfoNotifier {
  public:
    WPeerInfo();
    ~WPeerInfo() override;

    const char* class_name() const override { return "WPeerInfo"; }
    const char* port_count() const override { return "1/4"; }
    const char* processing() const override { return PUSH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;
    // Hot reconfiguration: with the same LOCAL_IP and PATH_LINK, keeps the
    // peer, its RTT average and its host name, so that nothing is measured
    // or announced again; a changed local host name is sent at once.
    void take_state(Element* old, ErrorHandler* errh) override;
    void push(int port, Packet* p) override;

    void peer_discovered_notify(const IPAddress& peer) override;

    // One RTT probe round now, as the timer runs it every interval (tests).
    void run_rtt_probe() { _rtt.timer_hook(); }

    // Figures for path selection; take the element lock.
    uint16_t rtt_average();
    uint16_t missed_responses();
    bool rtt_valid();
    std::string peer_hostname();
    IPAddress peer_ip() const { return _peer; }

    const ShimConfig& shim() const { return _shim; }
    Spinlock& lock() { return _lock; }
    uint64_t malformed_count() const { return _malformed; }

  private:
    friend class WRTTProtocol;
    friend class WHostInfoProtocol;
    void log_limited(int level, const char* fmt, ...);

    IPAddress _local_ip;
    IPAddress _peer;
    int _peer_output_port = 0;
    bool _enable = true;
    bool _debug = false;
    uint8_t _path_link = 0;
    ShimConfig _shim;
    Spinlock _lock;
    bool _initialized = false;
    uint64_t _malformed = 0;
    uint32_t _last_warn = 0;
    WRTTProtocol _rtt;
    WHostInfoProtocol _host;
};
