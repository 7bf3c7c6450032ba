// Peer events: a peer appliance discovered on a peer output port (FlowTable
// notifies RSP, WFEC, Stacker, WPeerInfo), a peer reboot (RSP notifies
// FlowTable) and new host information from a peer (WPeerInfo notifies
// FlowTable). Listeners find notifiers with cast("PeerDiscoveryNotifier"),
// cast("PeerBootNotifier") or cast("PeerInfoNotifier"); find_peer_notifier()
// resolves a NOTIFIER keyword.
#pragma once

#include <host/ipaddress.hh>

#include <string>
#include <unordered_map>
#include <vector>

#include "sessions/listenervector.hh"

class Element;
class ErrorHandler;

// What the host-information protocol learns about a peer.
struct whost_info {
    IPAddress peer_ip;
    std::string hostname;
};

class PeerBootListener {
  public:
    virtual ~PeerBootListener() = default;
    virtual void peer_boot_notify(const IPAddress& peer) { (void)peer; }
};

class PeerBootNotifier : public ListenerVector<PeerBootListener> {
  public:
    void peer_boot_notify(const IPAddress& peer) const {
        for_each_listener([&](PeerBootListener* l) { l->peer_boot_notify(peer); });
    }
};

class PeerDiscoveryListener {
  public:
    virtual ~PeerDiscoveryListener() = default;
    virtual void peer_discovered_notify(const IPAddress& peer) { (void)peer; }
};

// Listeners register per peer output port and hear only of peers on that port.
class PeerDiscoveryNotifier {
  public:
    void add_listener(PeerDiscoveryListener* l, int port) {
        std::vector<PeerDiscoveryListener*>& v = _listeners[port];
        for (PeerDiscoveryListener* x : v)
            if (x == l)
                return;
        v.push_back(l);
    }

    void peer_discovered_notify(int port, const IPAddress& peer) const {
        auto it = _listeners.find(port);
        if (it == _listeners.end())
            return;
        const std::vector<PeerDiscoveryListener*>& v = it->second;
        for (size_t i = 0; i < v.size(); ++i)
            v[i]->peer_discovered_notify(peer);
    }

    const std::unordered_map<int, std::vector<PeerDiscoveryListener*>>& discovery_listeners() const {
        return _listeners;
    }

  private:
    std::unordered_map<int, std::vector<PeerDiscoveryListener*>> _listeners;
};

class PeerInfoListener {
  public:
    virtual ~PeerInfoListener() = default;
    virtual void peer_info_notify(whost_info& info) { (void)info; }
};

class PeerInfoNotifier : public ListenerVector<PeerInfoListener> {
  public:
    void peer_info_notify(whost_info& info) const {
        for_each_listener([&](PeerInfoListener* l) { l->peer_info_notify(info); });
    }
};

// The PeerDiscoveryNotifier that `name` names, looked up from `self` (so a
// sibling inside a compound comes first); nullptr after reporting why on
// `errh`.
PeerDiscoveryNotifier* find_peer_notifier(Element* self, const std::string& name, ErrorHandler* errh);
