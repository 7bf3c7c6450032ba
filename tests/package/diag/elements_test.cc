// The small diagnostics elements: counters across threads, the keep-alive
// cadence and sync mark, mirroring (and what it must not touch), session
// events, and Crash's guard.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "common/annotations.hh"
#include "diag.hh"
#include "diag/wcounter.hh"
#include "diag/wkeepalive.hh"
#include "sessions/sessionmanager.hh"

using diag_test::ipv4;
using diag_test::packet;
using diag_test::tcp;
using quilo_test::Sink;
using quilo_test::TestRouter;

namespace {

// A tunnel packet under the default settings (IP protocol 108, shim magic).
std::vector<uint8_t> tunnel(uint8_t shim_flags, uint8_t inner = 6, std::vector<uint8_t> rest = tcp(1, 2, 3, 4, 0x10)) {
    rest.insert(rest.begin(), {0x77, 0, inner, shim_flags});
    return ipv4(108, rest);
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

}  // namespace

TEST(WCounter, CountsPacketsAndBytesExactlyAcrossThreads) {
    TestRouter r;
    ASSERT_TRUE(r.build("Idle -> c :: WCounter -> s :: QuiloTestSink;")) << r.errors();
    auto* c = r.get<WCounter>("c");
    r.get<Sink>("s")->keep(false);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([c, t] {
            click_set_current_thread_id(t);
            for (int i = 0; i < 5000; ++i)
                c->push(0, packet(std::vector<uint8_t>(60 + t), -1));
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(r.read("c.count"), "20000");
    EXPECT_EQ(r.read("c.byte_count"), std::to_string(5000 * (60 + 61 + 62 + 63)));
}

TEST(WKeepAlive, CopiesTheFirstTunnelPacketOfEachPeriodButNeverSyncTraffic) {
    TestRouter r;
    ASSERT_TRUE(r.build("WConf(MAX_PEERS 1); Idle -> ka :: WKeepAlive -> out :: QuiloTestSink; ka[1] -> copies :: QuiloTestSink;"))
        << r.errors();
    auto* ka = r.get<WKeepAlive>("ka");
    auto* copies = r.get<Sink>("copies");

    // Cadence: the first period ends 5 s after initialisation, later ones every 2 s.
    ASSERT_TRUE(ka->timer().scheduled());
    EXPECT_NEAR((ka->timer().expiry_steady() - Timestamp::now_steady()).doubleval(), 5.0, 0.5);
    Timestamp first = ka->timer().expiry_steady();
    ka->run_timer(nullptr);
    EXPECT_EQ((ka->timer().expiry_steady() - first).nsecval(), Timestamp::make_sec(2).nsecval());

    // Plain packets are never copied; the period's first tunnel packet is, once.
    ka->push(0, packet(ipv4(6, tcp(1, 2, 3, 4, 0x10))));
    for (int i = 0; i < 5; ++i)
        ka->push(0, packet(tunnel(WSHIM_STREAM)));
    EXPECT_EQ(copies->packets.size(), 1u);
    // A period that starts with sync traffic copies nothing, not even the packets after it.
    ka->new_period();
    ka->push(0, packet(tunnel(WSHIM_DEDUP_SYNC)));
    ka->push(0, packet(tunnel(0)));
    for (int period = 0; period < 3; ++period) {
        ka->new_period();
        ka->push(0, packet(tunnel(WSHIM_DEDUP_SYNC | WSHIM_DEDUP)));
    }
    EXPECT_EQ(copies->packets.size(), 1u);
    ka->new_period();
    ka->push(0, packet(tunnel(WSHIM_ZSTD)));
    EXPECT_EQ(copies->packets.size(), 2u);
    EXPECT_EQ(r.get<Sink>("out")->packets.size(), 12u);
}

TEST(WIPMirror, SwapsWhatIsThereAndOnlyThat) {
    TestRouter r;
    ASSERT_TRUE(r.build("WConf(MAX_PEERS 1); Idle -> m :: WIPMirror -> s :: QuiloTestSink;")) << r.errors();
    auto* s = r.get<Sink>("s");
    auto run = [&](const std::vector<uint8_t>& b) {
        r.find("m")->push(0, packet(b));
        return std::vector<uint8_t>(s->last()->data(), s->last()->end_data());
    };

    std::vector<uint8_t> o = run(ipv4(6, tcp(1000, 80, 111, 222, 0x18, 10)));
    EXPECT_EQ(be32(&o[12]), 0x0a000002u);
    EXPECT_EQ(be32(&o[16]), 0x0a000001u);
    EXPECT_EQ(dst_ip_anno(s->last()), htonl(0x0a000001));
    EXPECT_EQ(be32(&o[20]), 80u << 16 | 1000);
    EXPECT_EQ(be32(&o[24]), 222u);
    EXPECT_EQ(be32(&o[28]), 111u);

    // A stream tunnel packet is mirrored at its inner TCP header, after the
    // shim and the RSP header, which is left alone.
    std::vector<uint8_t> inner = tcp(1000, 80, 111, 222, 0x10);
    inner.insert(inner.begin(), 8, 0xEE);
    o = run(tunnel(WSHIM_STREAM, 6, inner));
    EXPECT_EQ(be32(&o[32]), 80u << 16 | 1000);
    EXPECT_EQ(be32(&o[36]), 222u);
    EXPECT_EQ(o[24], 0xEE);

    // ICMP, a later TCP fragment, and 10 bytes of TCP (enough for the ports,
    // not for the acknowledgement number): addresses only.
    std::vector<uint8_t> cut = ipv4(6, tcp(1000, 80, 111, 222, 0x10));
    cut.resize(30);
    for (const auto& b : {ipv4(1, {8, 0, 0, 0, 0, 1, 0, 2}), ipv4(6, tcp(1000, 80, 111, 222, 0x10), 185), cut}) {
        o = run(b);
        EXPECT_EQ(o[15], 2);
        EXPECT_TRUE(std::equal(o.begin() + 20, o.end(), b.begin() + 20));
    }
    EXPECT_EQ(r.read("m.short"), "1");

    // Random and cut packets, shimmed or not: never a read or write outside the packet.
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> b = tunnel(uint8_t(rng()), uint8_t(rng() % 2 ? 6 : 17));
        b.resize(rng() % (b.size() + 30));
        for (size_t k = 1; k < b.size(); ++k)
            b[k] = k == 9 && i % 2 ? b[k] : uint8_t(rng());
        if (!b.empty())
            b[0] = uint8_t(0x40 | (rng() % 16));
        run(b);
        s->clear();
    }
}

TEST(SessionListenerTest, HearsNewAndDeletedSessionsOfBothMaps) {
    TestRouter r;
    ASSERT_TRUE(r.build("WConf(MAX_PEERS 1); sm :: SessionManager; Idle -> sm -> t :: SessionListenerTest(NOTIFIER sm) "
                        "-> QuiloTestSink; Idle -> [1]sm[1] -> Discard;"))
        << r.errors();
    auto framed = [](const std::vector<uint8_t>& ip) {
        Packet* p = packet(diag_test::ether(ip), 14);
        p->set_mac_header(p->data(), 14);
        return p;
    };
    auto* sm = r.get<SessionManager>("sm");
    sm->push(0, framed(ipv4(6, tcp(1000, 80, 1, 0, 0x02))));
    sm->push(0, framed(ipv4(6, tcp(1000, 80, 2, 0, 0x10))));  // same session
    sm->push(0, framed(ipv4(17, {0, 53, 0, 53, 0, 8, 0, 0})));
    EXPECT_EQ(r.read("t.new_sessions"), "2");
    EXPECT_EQ(r.read("t.packets"), "3");
    sm->collect_garbage(Timestamp::now().sec() + 100000);
    EXPECT_EQ(r.read("t.deleted_sessions"), "2");
    EXPECT_EQ(r.read("t.invalid"), "0");
    Packet* p = framed(ipv4(17, {0, 53, 0, 53, 0, 8, 0, 0}));
    set_session_direction_anno(p, 7);
    r.find("t")->push(0, p);
    EXPECT_EQ(r.read("t.invalid"), "1");

    TestRouter bad;
    EXPECT_FALSE(bad.build("c :: WConf(MAX_PEERS 1); Idle -> SessionListenerTest(NOTIFIER c) -> Discard;"));
    EXPECT_NE(bad.errors().find("c is not a SessionNotifier"), std::string::npos) << bad.errors();
}

TEST(Crash, StopsTheProcessOnlyWhenEnabled) {
    TestRouter missing;
    EXPECT_FALSE(missing.build("Idle -> Crash -> Discard;"));
    EXPECT_NE(missing.errors().find("ENABLE is mandatory"), std::string::npos) << missing.errors();
    TestRouter off;
    ASSERT_TRUE(off.build("Idle -> c :: Crash(ENABLE false) -> s :: QuiloTestSink;")) << off.errors();
    off.find("c")->push(0, packet(ipv4(17, std::vector<uint8_t>(8))));
    EXPECT_EQ(off.get<Sink>("s")->packets.size(), 1u);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TestRouter on;
            if (on.build("Idle -> c :: Crash(ENABLE true) -> Discard;"))
                on.find("c")->push(0, packet(ipv4(17, std::vector<uint8_t>(8))));
        },
        "Crash c: stopping the process");
}
