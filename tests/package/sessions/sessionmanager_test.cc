// SessionManager: session identity across directions and tunnels, TCP flag
// transitions, garbage collection limits and statistics, untracked packets,
// id allocation, concurrent creation, and fuzzed frames.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "../common/testrouter.hh"
#include "common/annotations.hh"
#include "sessions/sessionmanager.hh"

using namespace quilo_test;

namespace {

struct Event {
    unsigned id;
    unsigned char mask;
    int event;
    IPFlowID flow;
    bool has_info;
    WSessionInfo info;
};

// Records session events; registers with the first SessionNotifier.
class Listener : public Element, public SessionListener {
  public:
    Listener() { _listener_mask = MASK_TCP | MASK_UDP; }
    const char* class_name() const override { return "QuiloTestSessionListener"; }
    int initialize(ErrorHandler*) override {
        for (Element* e : router()->elements())
            if (auto* n = static_cast<SessionNotifier*>(e->cast("SessionNotifier"))) {
                n->add_listener(this);
                notifier = n;
                break;
            }
        return 0;
    }
    void session_notify(unsigned id, unsigned char mask, SessionEvent ev, const IPFlowID* flow,
                        const WSessionInfo* info) override {
        std::lock_guard<std::mutex> g(m);
        events.push_back({id, mask, int(ev), *flow, info != nullptr, info ? *info : WSessionInfo{}});
        if (info)
            keys[id] = {*flow, mask == MASK_TCP ? uint8_t(6) : uint8_t(17)};
        if (ev == SESSION_NEW && call_back) {
            // Re-entering the manager from inside the notification must not deadlock.
            IPFlowID f = *flow;
            last_unparse = notifier->unparse_session(f, mask == MASK_TCP ? 6 : 17);
        }
    }
    std::vector<Event> of(int ev) {
        std::vector<Event> r;
        for (auto& e : events)
            if (e.event == ev)
                r.push_back(e);
        return r;
    }
    std::mutex m;
    std::vector<Event> events;
    std::map<unsigned, std::pair<IPFlowID, uint8_t>> keys;  // id -> key, protocol
    SessionNotifier* notifier = nullptr;
    bool call_back = false;
    std::string last_unparse;
};

const bool listener_registered = click_add_element_type<Listener>("QuiloTestSessionListener") > 0;

class SessionManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(listener_registered);
        build("");
    }
    void build(const std::string& keywords) {
        tr.reset();
        tr.reset(new TestRouter(2));
        ASSERT_TRUE(tr->build("WConf(MAX_PEERS 4, LOG_LEVEL 4); l :: QuiloTestSessionListener;"
                              "sm :: SessionManager(" + keywords + ");"
                              "out :: QuiloTestSink; Idle -> [0]sm[0] -> [0]out; Idle -> [1]sm[1] -> [1]out;"))
            << tr->errors();
        sm = tr->get<SessionManager>("sm");
        out = tr->get<Sink>("out");
        lis = tr->get<Listener>("l");
        ASSERT_TRUE(sm && out && lis);
    }
    // Pushes f on `port`; returns the session id annotation (0 when untracked).
    uint32_t push(const Frame& f, int port, int64_t ts_sec = 1000) {
        Packet* p = make_packet(f, ts_sec * Timestamp::nsec_per_sec);
        sm->push(port, p);
        EXPECT_EQ(out->last(), p);
        EXPECT_EQ(out->ports.back(), port);
        return session_id_anno(p);
    }
    uint8_t flags_of(uint32_t id) {
        auto [key, proto] = lis->keys.at(id);
        WSessionInfo info;
        EXPECT_TRUE(sm->lookup_session(key, proto, &info));
        EXPECT_EQ(info.session_id, id);
        return info.flags;
    }

    std::unique_ptr<TestRouter> tr;
    SessionManager* sm = nullptr;
    Sink* out = nullptr;
    Listener* lis = nullptr;
};

}  // namespace

TEST_F(SessionManagerTest, BothDirectionsMapToOneSession) {
    Frame lan;  // local host 10.0.0.1 -> remote 192.168.0.1, enters input 0 (WAN_OUT)
    lan.proto = 17;
    lan.dport = 53;
    uint32_t id = push(lan, 0);
    EXPECT_EQ(id, 1u);  // the first session has id 1
    EXPECT_EQ(session_direction_anno(out->last()), WAN_OUT);
    EXPECT_EQ(push(lan.reversed(), 1), id);
    EXPECT_EQ(session_direction_anno(out->last()), WAN_IN);
    EXPECT_EQ(push(lan, 0), id);
    EXPECT_EQ(tr->read("sm.maps"), "tcp map size: 0, udp map size: 1");
    EXPECT_EQ(tr->read("sm.udp_map"), "udp map size: 1");

    ASSERT_EQ(lis->events.size(), 1u);  // one new-session event
    const Event& e = lis->events[0];
    EXPECT_EQ(e.id, id);
    EXPECT_EQ(e.mask, SessionListener::MASK_UDP);
    // Key oriented wide-area side first.
    EXPECT_EQ(e.flow, IPFlowID(IPAddress(htonl(lan.dst)), htons(lan.dport), IPAddress(htonl(lan.src)), htons(lan.sport)));
    // MACs from the first packet (WAN_OUT): destination is the wide-area neighbour.
    EXPECT_EQ(0, std::memcmp(e.info.wan_mac, lan.eth_dst, 6));
    EXPECT_EQ(0, std::memcmp(e.info.lan_mac, lan.eth_src, 6));
    EXPECT_EQ(e.info.last_activity, Timestamp::make_sec(1000));

    // Same addresses over TCP are another session.
    Frame t = lan;
    t.proto = 6;
    EXPECT_EQ(push(t.reversed(), 1), 2u);
    EXPECT_EQ(tr->read("sm.tcp_map"), "tcp map size: 1");

    // A tunnel packet (IPPROTO 108 + shim carrying UDP) from the peer belongs
    // to the same conversation as the plain packets.
    std::vector<uint8_t> b = lan.reversed().bytes();
    std::vector<uint8_t> tun(b.begin(), b.begin() + 34);
    tun[14 + 9] = 108;
    tun.insert(tun.end(), {WSHIM_MAGIC, 0, 17, 0});
    tun.insert(tun.end(), b.begin() + 34, b.end());
    uint16_t tot = htons(uint16_t(tun.size() - 14));
    std::memcpy(&tun[14 + 2], &tot, 2);
    Packet* p = make_packet(tun);
    sm->push(1, p);
    EXPECT_EQ(session_id_anno(p), id);
}

TEST_F(SessionManagerTest, TcpFlagTransitions) {
    Frame f;
    f.tcp_flags = TH_SYN;
    uint32_t id = push(f, 0);
    EXPECT_EQ(flags_of(id), 0);
    f.tcp_flags = TH_FIN | 0x10;
    push(f.reversed(), 1);  // FIN from the wide-area side
    EXPECT_EQ(flags_of(id), 0x05);
    push(f, 0);  // FIN from the local side
    EXPECT_EQ(flags_of(id), 0x0F);
    f.tcp_flags = 0x10;
    push(f, 0);
    EXPECT_EQ(flags_of(id), 0x0F);
    f.tcp_flags = TH_SYN;
    push(f, 0);  // a new SYN reopens: only the history bits stay
    EXPECT_EQ(flags_of(id), 0x0C);
    f.tcp_flags = TH_RST | TH_FIN;  // RST wins over FIN
    push(f, 0);
    EXPECT_EQ(flags_of(id), 0x13);

    IPFlowID key = lis->events[0].flow;
    std::string s = sm->unparse_session(key, 6);
    EXPECT_EQ(s, "Session: " + key.unparse() + ". Session ID: " + std::to_string(id) +
                     ", Session Over: 3, Session Over Reason: 4, Last Timestamp: " +
                     Timestamp::make_sec(1000).unparse());
    EXPECT_EQ(sm->unparse_session(key, 17), "Session not found: " + key.unparse());
}

TEST_F(SessionManagerTest, GarbageCollectionLimitsAndStatistics) {
    build("TCP_TIMEOUT 100, TCP_DONE_TIMEOUT 10, UDP_TIMEOUT 60");
    const int64_t t0 = 1000;
    Frame udp;
    udp.proto = 17;
    uint32_t u = push(udp, 0, t0);
    Frame open = udp;  // open TCP: idle limit, counted as timeout
    open.proto = 6;
    open.sport = 1;
    uint32_t o = push(open, 0, t0);
    Frame fin = open;  // both FINs: done limit, fin_complete
    fin.sport = 2;
    fin.tcp_flags = TH_FIN;
    uint32_t fc = push(fin, 0, t0);
    push(fin.reversed(), 1, t0);
    Frame rst = open;  // reset: done limit, rst
    rst.sport = 3;
    rst.tcp_flags = TH_RST;
    uint32_t r = push(rst, 0, t0);
    Frame half = open;  // FIN from one side: idle limit, counted in none
    half.sport = 4;
    half.tcp_flags = TH_FIN;
    uint32_t h = push(half, 1, t0);
    EXPECT_EQ(flags_of(h), 0x05);

    sm->collect_garbage(t0 + 10);  // exactly the done limit: everything stays
    EXPECT_EQ(tr->read("sm.maps"), "tcp map size: 4, udp map size: 1");
    sm->collect_garbage(t0 + 11);  // done and reset sessions go
    EXPECT_EQ(tr->read("sm.maps"), "tcp map size: 2, udp map size: 1");
    EXPECT_EQ(tr->read("sm.rst_count"), "1");
    EXPECT_EQ(tr->read("sm.fin_complete_count"), "1");
    EXPECT_EQ(tr->read("sm.timeout_count"), "0");
    auto del = lis->of(SessionListener::SESSION_DELETED);
    ASSERT_EQ(del.size(), 2u);
    std::set<unsigned> ids{del[0].id, del[1].id};
    EXPECT_EQ(ids, (std::set<unsigned>{fc, r}));
    for (auto& e : del) {
        EXPECT_FALSE(e.has_info);
        EXPECT_EQ(e.mask, SessionListener::MASK_TCP);
    }

    sm->collect_garbage(t0 + 60);  // UDP idle exactly its limit stays
    EXPECT_EQ(tr->read("sm.udp_map"), "udp map size: 1");
    sm->collect_garbage(t0 + 61);
    EXPECT_EQ(tr->read("sm.udp_map"), "udp map size: 0");
    del = lis->of(SessionListener::SESSION_DELETED);
    ASSERT_EQ(del.size(), 3u);
    EXPECT_EQ(del[2].id, u);
    EXPECT_EQ(del[2].mask, SessionListener::MASK_UDP);
    EXPECT_EQ(tr->read("sm.timeout_count"), "1");

    // Activity keeps a session: refresh the open one, let the half-closed expire.
    push(open, 0, t0 + 90);
    sm->collect_garbage(t0 + 101);
    EXPECT_EQ(tr->read("sm.tcp_map"), "tcp map size: 1");
    EXPECT_EQ(tr->read("sm.timeout_count"), "1");  // flags 0x05: none of the three
    sm->collect_garbage(t0 + 191);
    EXPECT_EQ(tr->read("sm.tcp_map"), "tcp map size: 0");
    EXPECT_EQ(tr->read("sm.timeout_count"), "2");
    EXPECT_EQ(tr->read("sm.sessions_created"), "5");
    EXPECT_EQ(tr->read("sm.sessions_deleted"), "5");
    (void)o;

    // A conversation seen again after removal is a new session with a new id.
    EXPECT_GT(push(open, 0, t0 + 200), h);
}

TEST_F(SessionManagerTest, UntrackedPacketsPassUnchanged) {
    auto check_untracked = [&](Packet* p, int port, const char* what) {
        set_session_id_anno(p, 0xdeadbeef);
        set_session_direction_anno(p, 7);
        sm->push(port, p);
        EXPECT_EQ(out->last(), p) << what;
        EXPECT_EQ(out->ports.back(), port) << what;
        EXPECT_EQ(session_id_anno(p), 0xdeadbeefu) << what;
        EXPECT_EQ(session_direction_anno(p), 7) << what;
    };
    Frame f;
    Frame frag = f;
    frag.frag = 0x2000;
    check_untracked(make_packet(frag), 0, "first fragment");
    frag.frag = 0x0010;
    check_untracked(make_packet(frag), 1, "later fragment");
    Frame icmp = f;
    icmp.proto = 1;
    check_untracked(make_packet(icmp), 0, "icmp");
    check_untracked(make_packet(f.bytes(), 1, false), 0, "no link-layer header");
    // A 20-byte IP packet claiming TCP.
    std::vector<uint8_t> b = f.bytes();
    b.resize(34);
    b[14 + 3] = 20;
    check_untracked(make_packet(b), 0, "truncated tcp");
    // ARP frame (network header set on the ARP payload).
    std::vector<uint8_t> arp(42, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    check_untracked(make_packet(arp), 1, "arp");
    // A shim packet cut right after the shim.
    std::vector<uint8_t> t = f.bytes();
    t.resize(34);
    t[14 + 9] = 108;
    t.insert(t.end(), {WSHIM_MAGIC, 0, 6, WSHIM_STREAM});
    t[14 + 3] = 24;
    check_untracked(make_packet(t), 1, "shim without inner header");
    EXPECT_EQ(tr->read("sm.maps"), "tcp map size: 0, udp map size: 0");
    EXPECT_TRUE(lis->events.empty());
}

TEST_F(SessionManagerTest, MissingTimestampIsRepaired) {
    Frame f;
    Packet* p = make_packet(f, 0);
    Timestamp before = Timestamp::now();
    sm->push(0, p);
    EXPECT_GE(p->timestamp_anno(), before);
    EXPECT_EQ(session_id_anno(p), 1u);
}

TEST_F(SessionManagerTest, IdsSkipZeroAndIdsInUse) {
    Frame f;
    f.proto = 17;
    for (uint16_t i = 0; i < 3; ++i) {
        f.sport = uint16_t(100 + i);
        EXPECT_EQ(push(f, 0), i + 1u);
    }
    sm->set_next_session_id(0xFFFFFFFEu);
    f.sport = 200;
    EXPECT_EQ(push(f, 0), 0xFFFFFFFEu);
    f.sport = 201;
    EXPECT_EQ(push(f, 0), 0xFFFFFFFFu);
    f.sport = 202;
    EXPECT_EQ(push(f, 0), 4u);  // 0 skipped, 1 to 3 still in use
}

TEST_F(SessionManagerTest, ListenerMayReadTheTableDuringNotification) {
    lis->call_back = true;
    Frame f;
    uint32_t id = push(f, 0);
    EXPECT_NE(lis->last_unparse.find("Session ID: " + std::to_string(id)), std::string::npos) << lis->last_unparse;
}

TEST(SessionManagerConfig, Errors) {
    TestRouter a;
    EXPECT_FALSE(a.build("WConf(MAX_PEERS 1); sm :: SessionManager(GC_INTERVAL 0); Idle -> sm -> Discard; Idle -> [1]sm[1] -> Discard;"));
    EXPECT_NE(a.errors().find("GC_INTERVAL must be positive"), std::string::npos) << a.errors();
    TestRouter b;
    EXPECT_FALSE(b.build("sm :: SessionManager; Idle -> sm -> Discard; Idle -> [1]sm[1] -> Discard;"));
    EXPECT_NE(b.errors().find("WConf not found"), std::string::npos) << b.errors();
    TestRouter c;
    EXPECT_FALSE(c.build("WConf(MAX_PEERS 1); sm :: SessionManager(UDP_TIMEOUT -1); Idle -> sm -> Discard; Idle -> [1]sm[1] -> Discard;"));
}

TEST_F(SessionManagerTest, TakeStateKeepsSessionsAndIds) {
    Frame f;
    uint32_t id = push(f, 0);
    TestRouter next(1);
    ASSERT_TRUE(next.build("WConf(MAX_PEERS 4); sm :: SessionManager; out :: QuiloTestSink;"
                           "Idle -> [0]sm[0] -> [0]out; Idle -> [1]sm[1] -> [1]out;"))
        << next.errors();
    auto* sm2 = next.get<SessionManager>("sm");
    sm2->take_state(sm, nullptr);
    EXPECT_EQ(sm2->tcp_sessions(), 1u);
    EXPECT_EQ(sm->tcp_sessions(), 0u);
    Packet* p = make_packet(f);
    sm2->push(0, p);
    EXPECT_EQ(session_id_anno(p), id);
    Frame g = f;
    g.sport = 9;
    p = make_packet(g);
    sm2->push(0, p);
    EXPECT_EQ(session_id_anno(p), id + 1);  // the counter came along
}

// Two threads push the first packets of the same conversations at once: one
// session and one new-session event per conversation.
TEST_F(SessionManagerTest, TwoThreadsCreateEachSessionOnce) {
    out->keep(false);
    constexpr int kConversations = 2000;
    std::atomic<int> ready{0};
    auto worker = [&](int which) {
        click_set_current_thread_id(which);  // router threads 0 and 1
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        for (int i = 0; i < kConversations; ++i) {
            Frame f;
            f.src = 0x0a000000u + uint32_t(i);
            f.sport = uint16_t(i);
            // Thread 0 sends local-side packets, thread 1 the replies.
            Frame g = which ? f.reversed() : f;
            sm->push(which, make_packet(g, 5 * Timestamp::nsec_per_sec));
        }
        click_set_current_thread_id(-1);
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(sm->tcp_sessions(), size_t(kConversations));
    auto created = lis->of(SessionListener::SESSION_NEW);
    EXPECT_EQ(created.size(), size_t(kConversations));
    std::set<unsigned> ids;
    for (auto& e : created)
        ids.insert(e.id);
    EXPECT_EQ(ids.size(), size_t(kConversations));
    EXPECT_EQ(out->count, size_t(2 * kConversations));
}

// Random and truncated frames, with header positions anywhere in the packet:
// never a crash or an out-of-bounds read (checked under the sanitizers).
TEST_F(SessionManagerTest, FuzzRandomAndTruncatedFrames) {
    out->keep(false);
    std::mt19937 rng(99);
    std::vector<std::vector<uint8_t>> seeds;
    Frame f;
    seeds.push_back(f.bytes());
    f.proto = 17;
    seeds.push_back(f.bytes());
    std::vector<uint8_t> t = f.bytes();
    t[14 + 9] = 108;
    t.insert(t.begin() + 34, {WSHIM_MAGIC, 0, 6, WSHIM_STREAM, 0, 0, 0, 0, 0, 0, 0, 0});
    seeds.push_back(t);
    size_t n = 0;
    for (int i = 0; i < 6000; ++i) {
        std::vector<uint8_t> b = seeds[size_t(i) % seeds.size()];
        if (i % 3 == 0) {
            b.resize(rng() % (b.size() + 1));
        } else if (i % 3 == 1) {
            for (int k = 0; k < 4 && !b.empty(); ++k)
                b[rng() % b.size()] = uint8_t(rng());
        } else {
            b.resize(rng() % 90);
            for (auto& x : b)
                x = uint8_t(rng());
        }
        WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
        uint32_t len = p->length();
        switch (rng() % 4) {
        case 0:
            p->set_mac_header(p->data(), len < 14 ? len : 14);
            break;
        case 1:
            p->set_mac_header(p->data(), len ? rng() % len : 0);
            break;
        case 2:
            p->set_mac_header(p->data());
            p->set_network_header(p->data() + len);  // at the very end
            break;
        default:
            break;  // no headers
        }
        if (rng() & 1)
            p->set_timestamp_anno(Timestamp::make_sec(1000));
        sm->push(int(rng() % 2), p);
        ++n;
    }
    EXPECT_EQ(out->count, n);
    sm->collect_garbage(1000000);
}

// Packet readers run without an atomic instruction while other threads create
// sessions (the table grows under them) and the collector removes some: every
// packet of a standing session must keep getting its own id, and nothing may
// touch freed slots (checked under the sanitizers).
TEST_F(SessionManagerTest, ReadersKeepTheirSessionsWhileTheTableGrowsAndShrinks) {
    build("TCP_TIMEOUT 100");
    auto packet = [](uint32_t src, uint16_t sport) {
        SessionPacket sp{};
        sp.proto = 6;
        sp.tcp_flags = TH_ACK;
        sp.saddr = htonl(src);
        sp.daddr = htonl(0xc0a80001);
        sp.sport = htons(sport);
        sp.dport = htons(80);
        return sp;
    };
    constexpr int kStanding = 64, kChurn = 20000;
    std::vector<uint32_t> ids;
    for (int i = 0; i < kStanding; ++i)
        ids.push_back(sm->track(packet(0x0a000001, uint16_t(i)), WAN_OUT, Timestamp::make_sec(1000), nullptr, 0));

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        click_set_current_thread_id(0);
        for (int round = 0; !done.load() && round < 1000000; ++round) {
            int i = round % kStanding;
            // WAN_IN sees the same conversation from the other side.
            SessionPacket sp = packet(0x0a000001, uint16_t(i));
            std::swap(sp.saddr, sp.daddr);
            std::swap(sp.sport, sp.dport);
            if (sm->track(sp, WAN_IN, Timestamp::make_sec(1000), nullptr, 0) != ids[size_t(i)])
                wrong.fetch_add(1);
        }
        click_set_current_thread_id(-1);
    });
    std::thread creator([&] {
        click_set_current_thread_id(1);
        for (int i = 0; i < kChurn; ++i)
            sm->track(packet(0x0b000000u + uint32_t(i), 7), WAN_OUT, Timestamp::make_sec(5), nullptr, 0);
        click_set_current_thread_id(-1);
    });
    for (int i = 0; i < 50; ++i)
        sm->collect_garbage(600);  // the churn (idle since second 5) goes, the standing sessions stay
    creator.join();
    sm->collect_garbage(600);
    done = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sm->tcp_sessions(), size_t(kStanding));
    EXPECT_EQ(sm->stats().created, uint64_t(kStanding + kChurn));
    EXPECT_EQ(sm->stats().deleted, uint64_t(kChurn));
}
