#include "sessions/peernotifiers.hh"

#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

PeerDiscoveryNotifier* find_peer_notifier(Element* self, const std::string& name, ErrorHandler* errh) {
    Element* ne = self->router()->find(name, self);
    if (!ne) {
        errh->error("%<%s%> does not name an element", name.c_str());
        return nullptr;
    }
    auto* n = static_cast<PeerDiscoveryNotifier*>(ne->cast("PeerDiscoveryNotifier"));
    if (!n)
        errh->error("%<%s%> is not an PeerDiscoveryNotifier", ne->name().c_str());
    return n;
}
