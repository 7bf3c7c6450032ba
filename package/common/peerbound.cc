#include "common/peerbound.hh"

#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/router.hh>

#include "common/wlogger.hh"

void WPeerBound::peer_discovered_notify(const IPAddress& peer) {
    WLogger::debug("%s peer IP address notification. Peer: %s", name().c_str(), peer.unparse().c_str());
    _peer.store(peer.addr(), std::memory_order_release);
}

void WPeerBound::push(int, Packet* p) {
    if (peer_net() == 0) {
        output(0).push(p);
        return;
    }
    if (_tx)
        push_tx(p);
    else
        push_rx(p);
}

int WPeerBound::configure_peer(const std::string& mode, const std::string& notifier, int port, ErrorHandler* errh) {
    if (mode != "TX" && mode != "RX")
        return errh->error("%s is not a valid mode.", mode.c_str());
    PeerDiscoveryNotifier* n = find_peer_notifier(this, notifier, errh);
    if (!n)
        return -EINVAL;
    std::vector<std::string> none;
    if (WBase::configure(none, errh) < 0)
        return -EINVAL;
    n->add_listener(this, port);
    _tx = mode == "TX";
    return 0;
}

void WPeerBound::add_counter_handler(const char* name, const std::atomic<uint64_t>* c) {
    add_read_handler(name, ReadHandlerFunction([c] { return std::to_string(c->load(std::memory_order_relaxed)); }));
}

bool WPeerBound::log_allowed() {
    uint32_t now = click_jiffies() | 1;
    uint32_t last = _last_log.load(std::memory_order_relaxed);
    if (last && uint32_t(now - last) < 1000)
        return false;
    return _last_log.compare_exchange_strong(last, now, std::memory_order_relaxed);
}
