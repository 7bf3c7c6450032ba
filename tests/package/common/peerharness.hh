// A harness for the per-peer elements that hear of their peer from a
// PeerDiscoveryNotifier (Stacker, WFEC): "n" stands in for the flow table,
// "e" is the element under test with its outputs in one sink, and packets
// are pushed straight into it.
#pragma once

#include <host/ipaddress.hh>

#include <string>

#include "sessions/peernotifiers.hh"
#include "testrouter.hh"

namespace quilo_test {

class PeerTestNotifier : public Element, public PeerDiscoveryNotifier {
  public:
    const char* class_name() const override { return "QuiloTestPeerNotifier"; }
    void* cast(const char* n) override {
        if (std::string(n) == "PeerDiscoveryNotifier")
            return static_cast<PeerDiscoveryNotifier*>(this);
        return Element::cast(n);
    }
};

struct PeerHarness {
    TestRouter r;
    Element* e = nullptr;
    Sink* s = nullptr;

    // `element` is the class with its arguments, `wconf` the WConf arguments.
    bool build(const std::string& element, int noutputs, const std::string& wconf = "") {
        static bool registered = [] {
            click_add_element_type<PeerTestNotifier>("QuiloTestPeerNotifier");
            return true;
        }();
        (void)registered;
        std::string text = "WConf(MAX_PEERS 1" + wconf + "); n :: QuiloTestPeerNotifier; e :: " + element +
                           "; s :: QuiloTestSink; Idle -> e;";
        for (int i = 0; i < noutputs; ++i)
            text += " e[" + std::to_string(i) + "] -> [" + std::to_string(i) + "]s;";
        if (!r.build(text))
            return false;
        e = r.find("e");
        s = r.get<Sink>("s");
        return e && s;
    }
    void announce(const char* peer = "10.0.0.2") {
        r.get<PeerTestNotifier>("n")->peer_discovered_notify(1, IPAddress(peer));
    }
    void push(Packet* p) { e->push(0, p); }
    uint64_t count(const std::string& h) { return std::stoull(r.read("e." + h)); }
    // Packets that left on `port`, in order.
    std::vector<Packet*> on(int port) const {
        std::vector<Packet*> v;
        for (size_t i = 0; i < s->packets.size(); ++i)
            if (s->ports[i] == port)
                v.push_back(s->packets[i]);
        return v;
    }
};

}  // namespace quilo_test
