// Listener registration order, duplicates and removal, masks, and per-port
// peer discovery.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sessions/peernotifiers.hh"
#include "sessions/sessionnotifier.hh"

namespace {

std::vector<std::string> calls;

struct Listener : SessionListener, PeerBootListener, PeerDiscoveryListener, PeerInfoListener {
    explicit Listener(std::string n, uint8_t mask = 3) : name(std::move(n)) { _listener_mask = mask; }
    void session_notify(unsigned id, unsigned char mask, SessionEvent ev, const IPFlowID*,
                        const WSessionInfo* info) override {
        calls.push_back(name + ":s" + std::to_string(id) + "/" + std::to_string(mask) + "/" + std::to_string(ev) +
                        (info ? "+" : "-"));
    }
    void peer_boot_notify(const IPAddress& a) override { calls.push_back(name + ":boot " + a.unparse()); }
    void peer_discovered_notify(const IPAddress& a) override { calls.push_back(name + ":disc " + a.unparse()); }
    void peer_info_notify(whost_info& h) override { calls.push_back(name + ":info " + h.hostname); }
    std::string name;
};

struct TestNotifier : SessionNotifier {
    std::string unparse_session(IPFlowID&, unsigned char) override { return ""; }
    using SessionNotifier::notify_session;
};

}  // namespace

TEST(Notifiers, VectorOrderDuplicatesAndRemoval) {
    Listener a("a"), b("b"), c("c");
    PeerBootNotifier n;
    n.add_listener(&a);
    n.add_listener(&b);
    n.add_listener(&a);  // already there
    n.add_listener(&c);
    ASSERT_EQ(n.listeners().size(), 3u);
    calls.clear();
    n.peer_boot_notify(IPAddress(htonl(0x01020304)));
    EXPECT_EQ(calls, (std::vector<std::string>{"a:boot 1.2.3.4", "b:boot 1.2.3.4", "c:boot 1.2.3.4"}));

    Listener stranger("x");
    n.remove_listener(&stranger);
    EXPECT_EQ(n.listeners().size(), 3u);
    n.remove_listener(&a);  // last one takes its place: c, b
    EXPECT_EQ(n.listeners(), (std::vector<PeerBootListener*>{&c, &b}));

    PeerInfoNotifier pi;
    pi.add_listener(&b);
    whost_info h{IPAddress(htonl(0x0a000001)), "peer-a"};
    calls.clear();
    pi.peer_info_notify(h);
    EXPECT_EQ(calls, (std::vector<std::string>{"b:info peer-a"}));
}

TEST(Notifiers, SessionMasks) {
    Listener tcp("tcp", SessionListener::MASK_TCP), both("both", 3), all("all", 7), none("none", 0);
    TestNotifier n;
    for (Listener* l : {&tcp, &both, &all, &none})
        n.add_listener(l);
    WSessionInfo rec{};
    IPFlowID f;
    calls.clear();
    n.notify_session(5, SessionListener::MASK_UDP, SessionListener::SESSION_NEW, &f, &rec);
    n.notify_session(6, SessionListener::MASK_TCP, SessionListener::SESSION_DELETED, &f, nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"both:s5/2/0+", "all:s5/2/0+", "tcp:s6/1/1-", "both:s6/1/1-",
                                               "all:s6/1/1-"}));
}

TEST(Notifiers, DiscoveryPerPort) {
    Listener p1("p1"), p2("p2"), p2b("p2b");
    PeerDiscoveryNotifier n;
    n.add_listener(&p1, 1);
    n.add_listener(&p2, 2);
    n.add_listener(&p2b, 2);
    n.add_listener(&p2, 2);
    calls.clear();
    n.peer_discovered_notify(1, IPAddress(htonl(0x0a000001)));
    n.peer_discovered_notify(3, IPAddress(htonl(0x0a000003)));  // nobody on port 3
    n.peer_discovered_notify(2, IPAddress(htonl(0x0a000002)));
    EXPECT_EQ(calls, (std::vector<std::string>{"p1:disc 10.0.0.1", "p2:disc 10.0.0.2", "p2b:disc 10.0.0.2"}));
}
