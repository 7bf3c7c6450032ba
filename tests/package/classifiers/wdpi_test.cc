// WDPI behind a SessionManager: detection and the stamp, the packet budget
// and the port fallback (with its 16-bit wrap), packets left alone, both
// directions of sessions on two threads, hot reconfiguration, and random
// and truncated packets.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <random>
#include <thread>

#include "../common/testrouter.hh"
#include "classifiers/wdpi.hh"
#include "common/annotations.hh"
#include "sessions/sessionmanager.hh"

using namespace quilo_test;

namespace {

const char* LOCAL = "10.9.9.9";
using Annos = std::pair<uint16_t, uint16_t>;  // master, application protocol

struct Rig {
    explicit Rig(int threads = 1, const std::string& extra = "") : tr(new TestRouter(threads)) {
        bool ok = tr->build(std::string("WConf(MAX_PEERS 1, LOG_LEVEL 4); sm :: SessionManager;"
                                        "dpi :: WDPI(NOTIFIER sm, LOCAL_IP ") +
                            LOCAL + extra +
                            "); out :: QuiloTestSink;"
                            "Idle -> [0]sm[0] -> [0]dpi[0] -> [0]out; Idle -> [1]sm[1] -> [1]dpi[1] -> [1]out;");
        EXPECT_TRUE(ok) << tr->errors();
        sm = tr->get<SessionManager>("sm");
        dpi = tr->get<WDPI>("dpi");
        out = tr->get<Sink>("out");
    }
    // Pushes `b` (an Ethernet frame) on `port`; returns the annotations it
    // leaves with (those of no packet when the sink does not keep them).
    Annos push(std::vector<uint8_t> b, int port = 0, uint16_t preset = 0) {
        Packet* p = make_packet(b, 1700000000LL * 1000000000LL);
        set_dpi_master_proto_anno(p, preset);
        set_dpi_proto_anno(p, preset);
        sm->push(port, p);
        Packet* q = out->last();
        Annos r = q ? Annos{dpi_master_proto_anno(q), dpi_proto_anno(q)} : Annos{};
        out->clear();
        return r;
    }
    std::unique_ptr<TestRouter> tr;
    SessionManager* sm;
    WDPI* dpi;
    Sink* out;
};

// A frame with `payload`, its IP total length and UDP length set.
std::vector<uint8_t> with_payload(const Frame& f, const std::vector<uint8_t>& payload) {
    Frame g = f;
    g.payload = payload.size();
    std::vector<uint8_t> b = g.bytes();
    size_t l4 = f.proto == 6 ? 20 : 8;
    std::copy(payload.begin(), payload.end(), b.begin() + long(14 + 20 + l4));
    if (f.proto == 17) {
        uint16_t ul = htons(uint16_t(8 + payload.size()));
        std::memcpy(&b[14 + 20 + 4], &ul, 2);
    }
    return b;
}

std::vector<uint8_t> dns_query() {
    // id 0x1234, recursion desired, one question: quilo.test A IN
    std::vector<uint8_t> q = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const char* label : {"quilo", "test"}) {
        q.push_back(uint8_t(strlen(label)));
        q.insert(q.end(), label, label + strlen(label));
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    return q;
}

std::vector<uint8_t> noise(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& x : v)
        x = uint8_t(rng());
    return v;
}

}  // namespace

TEST(WDPI, DetectsAndThenStamps) {
    Rig r;
    Frame f;
    f.proto = 17;
    f.dport = 53;
    auto [m, a] = r.push(with_payload(f, dns_query()));
    EXPECT_EQ(a, 5) << r.tr->read("dpi.flows");  // DNS, from its first packet
    std::mt19937 rng(1);
    uint64_t inspected = std::stoull(r.tr->read("dpi.inspected"));
    EXPECT_EQ(r.push(with_payload(f.reversed(), noise(rng, 40)), 1), std::make_pair(m, a));  // only stamped
    EXPECT_EQ(std::stoull(r.tr->read("dpi.inspected")), inspected);
    EXPECT_EQ(r.tr->read("dpi.protocols"), "DNS 1\n");
    EXPECT_NE(r.tr->read("dpi.flows").find("192.168.0.1:53 <-> 10.0.0.1:40000 app=DNS master=Unknown packets=1 done"), std::string::npos) << r.tr->read("dpi.flows");
}

// Undetected sessions end after the budget (9th UDP packet, 11th TCP
// packet) with 1000 + the smaller port, taken in 16 bits.
TEST(WDPI, BudgetAndPortFallback) {
    struct Case {
        uint8_t proto;
        uint16_t sport, dport;
        int last;  // the packet that ends detection
        uint16_t app;
    } cases[] = {{17, 5000, 6000, 9, 6000}, {17, 65100, 65000, 9, 464}, {6, 40001, 33333, 11, 34333}};
    std::mt19937 rng(2);
    for (const Case& c : cases) {
        Rig r;
        Frame f;
        f.proto = c.proto;
        f.sport = c.sport;
        f.dport = c.dport;
        for (int i = 1; i <= c.last + 1; ++i) {
            Frame g = (i & 1) ? f : f.reversed();
            uint16_t app = r.push(with_payload(g, noise(rng, 64 + size_t(i))), (i & 1) ? 0 : 1).second;
            EXPECT_EQ(app, i < c.last ? 0 : c.app) << "port " << c.sport << " packet " << i;
        }
        EXPECT_EQ(r.tr->read("dpi.undetected"), "1");
        EXPECT_EQ(r.tr->read("dpi.inspected"), std::to_string(c.last));
    }
}

TEST(WDPI, LeavesOtherPacketsAlone) {
    Rig r;
    Frame to_local;
    to_local.proto = 17;
    to_local.dport = 53;
    to_local.dst = ntohl(inet_addr(LOCAL));
    EXPECT_EQ(r.push(with_payload(to_local, dns_query()), 0, 0xABCD), Annos(0xABCD, 0xABCD));
    EXPECT_EQ(r.tr->read("dpi.sessions"), "0");  // nor is a record kept
    Frame icmp;
    icmp.proto = 1;
    EXPECT_EQ(r.push(icmp.bytes(), 0, 7), Annos(7, 7));
    Frame frag;
    frag.proto = 17;
    frag.frag = 100;  // not the first fragment
    EXPECT_EQ(r.push(frag.bytes(), 0, 9), Annos(9, 9));
}

// The two directions of many sessions arrive on two threads at once: every
// session ends detected once, with nothing corrupted.
TEST(WDPI, BothDirectionsOnTwoThreads) {
    Rig r(2);
    r.out->keep(false);
    const int sessions = 200;
    auto run = [&](bool reverse, uint32_t seed) {
        std::mt19937 rng(seed);
        for (int round = 0; round < 12; ++round)
            for (int s = 0; s < sessions; ++s) {
                Frame f;
                f.proto = 17;
                f.sport = uint16_t(20000 + s);
                f.dport = 7000;
                r.push(with_payload(reverse ? f.reversed() : f, noise(rng, 100)), reverse ? 1 : 0);
            }
    };
    std::thread a(run, false, 3), b(run, true, 4);
    a.join();
    b.join();
    EXPECT_EQ(r.tr->read("dpi.sessions"), std::to_string(sessions));
    uint64_t ended = std::stoull(r.tr->read("dpi.detected")) + std::stoull(r.tr->read("dpi.undetected"));
    EXPECT_EQ(ended, uint64_t(sessions));
    std::string flows = r.tr->read("dpi.flows");
    EXPECT_EQ(flows.find("detecting"), std::string::npos) << flows;
}

TEST(WDPI, HotReconfigurationKeepsSessions) {
    Rig old;
    Frame f;
    f.proto = 17;
    f.dport = 53;
    std::mt19937 rng(5);
    EXPECT_EQ(old.push(with_payload(f, dns_query())).second, 5);
    Frame g;  // still detecting at the swap
    g.proto = 17;
    g.sport = 5000, g.dport = 6000;
    for (int i = 0; i < 4; ++i)
        old.push(with_payload(g, noise(rng, 50)));

    Rig next;
    StringErrorHandler errh;
    next.sm->take_state(old.sm, &errh);
    next.dpi->take_state(old.dpi, &errh);
    EXPECT_EQ(next.tr->read("dpi.sessions"), "2");
    EXPECT_EQ(old.tr->read("dpi.sessions"), "0");
    uint64_t inspected = std::stoull(next.tr->read("dpi.inspected"));
    EXPECT_EQ(next.push(with_payload(f.reversed(), noise(rng, 30)), 1).second, 5);
    EXPECT_EQ(std::stoull(next.tr->read("dpi.inspected")), inspected);
    for (int i = 5; i <= 9; ++i)  // detection goes on where it stopped
        EXPECT_EQ(next.push(with_payload(g, noise(rng, 50))).second, i < 9 ? 0 : 6000) << i;
    EXPECT_EQ(next.tr->read("dpi.protocols"), "DNS 1\n6000 1\n");
    old.tr.reset();  // the old router goes; the module it handed over stays
    EXPECT_EQ(next.push(with_payload(g, noise(rng, 50))).second, 6000);
}

TEST(WDPI, RandomAndTruncatedPacketsAreSafe) {
    Rig r;
    std::mt19937 rng(6);
    for (int i = 0; i < 4000; ++i) {
        Frame f;
        f.proto = (i & 1) ? 6 : 17;
        f.sport = uint16_t(1000 + i % 50);
        std::vector<uint8_t> b = with_payload(f, noise(rng, rng() % 200));
        for (size_t k = 14; k < b.size(); ++k)
            if (rng() % 16 == 0)
                b[k] = uint8_t(rng());
        b.resize(14 + rng() % (b.size() - 13));
        Packet* p = make_packet(b);
        p->set_network_header(p->data() + 14, 20);
        set_session_id_anno(p, 1 + rng() % 60);
        set_session_direction_anno(p, uint8_t(rng() & 1));
        r.dpi->push(i & 1, p);  // straight in, with session annotations of live and unknown sessions
        if (i % 100 == 0)
            r.push(with_payload(f, noise(rng, 20)), 0);  // new sessions meanwhile
    }
    EXPECT_GT(std::stoull(r.tr->read("dpi.malformed")), 0u);
}
