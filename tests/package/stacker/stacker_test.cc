// Stacker and DropStacker: what a stacker packet holds and when it leaves,
// the round trip through an unstacking peer, and stacker packets whose
// lengths lie.
#include <gtest/gtest.h>

#include <host/checksum.hh>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "common/annotations.hh"
#include "common/framing/framing.hh"
#include "peerharness.hh"
#include "sessions/sessionmanager.hh"
#include "stacker/stacker_wire.hh"

using framing_test::Bytes;
using framing_test::contents;
using framing_test::get16;
using framing_test::IPPacket;
using framing_test::ip_packet;
using quilo_test::PeerHarness;

namespace {

const std::string TX = "Stacker(LOCAL_IP 10.0.0.1, NOTIFIER n, PEER_OUTPUT_PORT 1, MODE TX";
const std::string RX = "Stacker(LOCAL_IP 10.0.0.2, NOTIFIER n, PEER_OUTPUT_PORT 1, MODE RX)";

// An IPv4/UDP packet of exactly `total` bytes.
Bytes ip_of_len(size_t total, uint16_t id = 1) {
    IPPacket p;
    p.payload = total - 28;
    p.id = id;
    return p.bytes();
}

// A stacker packet holding `payload` after the shim, its total length `tot`
// (0: the real length).
Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes r(a.size() + b.size());
    std::copy(a.begin(), a.end(), r.begin());
    std::copy(b.begin(), b.end(), r.begin() + ptrdiff_t(a.size()));
    return r;
}

Bytes stacker_packet(const Bytes& payload, size_t tot = 0) {
    Bytes b(24, 0);
    b[0] = 0x45;
    b[8] = 250;
    b[9] = 108;
    b[20] = 0x77;
    b[22] = 204;
    b = cat(b, payload);
    framing_test::put16(&b[2], uint16_t(tot ? tot : b.size()));
    framing_test::fix_ip_cksum(b.data());
    return b;
}

}  // namespace

TEST(StackerTx, StacksUntilFullAndBuildsTheLayout) {
    PeerHarness h;
    ASSERT_TRUE(h.build(TX + ")", 3)) << h.r.errors();
    // No peer yet: everything passes.
    h.push(ip_packet(ip_of_len(400)));
    ASSERT_EQ(h.on(0).size(), 1u);
    h.s->clear();

    h.announce();
    for (uint16_t i = 0; i < 3; ++i)
        h.push(ip_packet(ip_of_len(400, i)));
    EXPECT_EQ(h.on(2).size(), 3u);
    EXPECT_TRUE(h.on(1).empty());
    // 24 + 3 x 400 + 400 > 1500: the open packet goes, the fourth passes.
    h.push(ip_packet(ip_of_len(400, 3)));
    ASSERT_EQ(h.on(1).size(), 1u);
    ASSERT_EQ(h.on(0).size(), 1u);
    EXPECT_EQ(h.s->ports.back(), 0);  // the stacker packet left first
    Packet* sp = h.on(1)[0];
    const uint8_t* ip = sp->data();
    ASSERT_EQ(sp->length(), 24u + 1200u);
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(get16(ip + 2), 1224);
    EXPECT_EQ(get16(ip + 4), 1);  // first stacker packet
    EXPECT_EQ(ip[8], 250);
    EXPECT_EQ(ip[9], 108);
    EXPECT_TRUE(framing_test::ip_cksum_ok(ip));
    EXPECT_EQ(IPAddress(ip + 12), IPAddress("10.0.0.1"));
    EXPECT_EQ(IPAddress(ip + 16), IPAddress("10.0.0.2"));
    EXPECT_EQ(ip[20], 0x77);
    EXPECT_EQ(ip[22], 204);
    EXPECT_EQ(dst_ip_anno(sp), IPAddress("10.0.0.2").addr());
    EXPECT_FALSE(sp->timestamp_anno().is_zero());
    EXPECT_EQ(Bytes(ip + 24 + 400, ip + 24 + 800), ip_of_len(400, 1));
    EXPECT_EQ(h.count("stacked"), 3u);
    EXPECT_EQ(h.count("sent"), 1u);
}

TEST(StackerTx, SizeLimitsSendWhenLenAndTimer) {
    PeerHarness h;
    ASSERT_TRUE(h.build(TX + ", WAIT_TIME_MS 20)", 3)) << h.r.errors();
    h.announce();
    h.push(ip_packet(ip_of_len(1477)));  // never fits with the headers
    EXPECT_EQ(h.on(0).size(), 1u);
    h.push(ip_packet(ip_of_len(1476)));  // fits alone, and reaches 1450
    EXPECT_EQ(h.on(1).size(), 1u);
    EXPECT_EQ(h.on(1)[0]->length(), 1500u);
    // A packet whose total length claims more than it holds is not copied.
    Bytes lie = ip_of_len(100);
    framing_test::put16(&lie[2], 200);
    h.push(ip_packet(lie));
    EXPECT_EQ(h.on(0).size(), 2u);
    // A lone small packet leaves by the timer.
    Master* m = h.r.router()->master();
    std::thread run([&] { m->run(h.r.router()); });
    while (!m->running())
        std::this_thread::yield();
    m->call_on_thread0([&] { h.push(ip_packet(ip_of_len(100))); });
    for (int i = 0; i < 200 && h.count("sent") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m->please_stop();
    run.join();
    ASSERT_EQ(h.on(1).size(), 2u);
    EXPECT_EQ(h.on(1)[1]->length(), 124u);
}

// WHOLE_FIRST: the peer learns a conversation only from a packet that
// crossed whole, so each conversation's first packets are not stacked.
TEST(StackerTx, WholeFirstSendsEachConversationsFirstPacketsWhole) {
    PeerHarness h;
    ASSERT_TRUE(h.build(TX + ", WHOLE_FIRST 2)", 3)) << h.r.errors();
    h.announce();
    IPPacket a;
    for (int i = 0; i < 3; ++i)
        h.push(ip_packet(a.bytes()));
    EXPECT_EQ(h.on(0).size(), 2u);
    EXPECT_EQ(h.on(2).size(), 1u);
    // A new conversation (another port): whole, behind the open stacker
    // packet, which leaves first.
    IPPacket b;
    b.sport = 4321;
    h.push(ip_packet(b.bytes()));
    ASSERT_EQ(h.on(1).size(), 1u);
    EXPECT_EQ(h.on(0).size(), 3u);
    EXPECT_EQ(h.s->ports.back(), 0);
    h.push(ip_packet(b.bytes()));
    h.push(ip_packet(b.bytes()));
    h.push(ip_packet(a.bytes()));
    EXPECT_EQ(h.on(0).size(), 4u);
    EXPECT_EQ(h.on(2).size(), 3u);
    EXPECT_EQ(h.count("whole"), 4u);
}

// TX output into RX: the same packets, with the stacker packet's timestamp
// and their network header; with the UDP shim as without.
TEST(StackerRx, RoundTripGivesBackEveryPacket) {
    for (bool udp : {false, true}) {
        std::string w = udp ? ", UDP_SHIM true" : "";
        PeerHarness tx, rx;
        ASSERT_TRUE(tx.build(TX + ")", 3, w)) << tx.r.errors();
        ASSERT_TRUE(rx.build(RX, 3, w)) << rx.r.errors();
        tx.announce();
        rx.announce("10.0.0.1");
        std::vector<Bytes> sent;
        for (uint16_t i = 0; i < 6; ++i) {
            sent.push_back(ip_of_len(100 + 37 * i, i));
            tx.push(ip_packet(sent.back()));
        }
        tx.push(ip_packet(ip_of_len(1400)));  // sends the open packet
        ASSERT_EQ(tx.on(1).size(), 1u);
        Packet* sp = tx.on(1)[0];
        if (udp) {
            EXPECT_EQ(sp->data()[9], 17);
            EXPECT_EQ(get16(sp->data() + 24), sp->length() - 20);
        }
        size_t at = size_t(std::find(tx.s->packets.begin(), tx.s->packets.end(), sp) - tx.s->packets.begin());
        tx.s->packets.erase(tx.s->packets.begin() + ptrdiff_t(at));
        tx.s->ports.erase(tx.s->ports.begin() + ptrdiff_t(at));
        sp->set_timestamp_anno(Timestamp::make_msec(12345));
        rx.push(sp);
        auto got = rx.on(1);
        ASSERT_EQ(got.size(), sent.size()) << udp;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(contents(got[i]), sent[i]);
            EXPECT_EQ(got[i]->network_header(), got[i]->data());
            EXPECT_EQ(got[i]->timestamp_anno(), Timestamp::make_msec(12345));
        }
        EXPECT_EQ(rx.count("unstacked"), sent.size());
        // Not a stacker packet: passes.
        rx.push(ip_packet(ip_of_len(300)));
        EXPECT_EQ(rx.on(0).size(), 1u);
    }
}

// Lengths from the wire: an inner length of 0 or below the header, a
// one-byte remainder, a header length beyond the packet, an outer length
// beyond the buffer. The packets before the fault are delivered, the fault
// is counted, nothing is read outside the buffer (ASan), nothing loops.
TEST(StackerRx, LyingLengthsStopUnpackingAndAreCounted) {
    PeerHarness h;
    ASSERT_TRUE(h.build(RX, 3)) << h.r.errors();
    h.announce("10.0.0.1");
    Bytes good = ip_of_len(60);
    auto with = [&](const Bytes& tail) { return cat(good, tail); };
    Bytes zero_len = good;
    framing_test::put16(&zero_len[2], 0);
    Bytes short_len = good;
    framing_test::put16(&short_len[2], 12);
    Bytes long_hl = good;
    long_hl[0] = 0x4F;  // a 60-byte header in a 40-byte packet
    framing_test::put16(&long_hl[2], 40);
    long_hl.resize(40);
    Bytes over = good;
    framing_test::put16(&over[2], 61);
    std::vector<Bytes> cases = {with(zero_len), with({0x45}), with(short_len), with(long_hl), with(over)};
    for (size_t i = 0; i < cases.size(); ++i) {
        h.s->clear();
        uint64_t corrupt = h.count("corrupt");
        h.push(ip_packet(stacker_packet(cases[i])));
        EXPECT_EQ(h.on(1).size(), 1u) << i;
        EXPECT_EQ(h.count("corrupt"), corrupt + 1) << i;
    }
    // The outer length beyond the packet: nothing unpacked.
    h.s->clear();
    Bytes b = stacker_packet(good);
    framing_test::put16(&b[2], uint16_t(b.size() + 1));
    framing_test::fix_ip_cksum(b.data());
    h.push(ip_packet(b));
    EXPECT_TRUE(h.on(1).empty());
    // An IPv6 packet inside is dropped and counted; the next one still comes.
    h.s->clear();
    Bytes v6 = ip_of_len(48);
    v6[0] = 0x60;
    h.push(ip_packet(stacker_packet(cat(v6, good))));
    EXPECT_EQ(h.on(1).size(), 1u);
    EXPECT_EQ(h.count("not_ipv4"), 1u);
}

TEST(StackerRx, RandomAndTruncatedPayloadsNeverReadOutside) {
    std::mt19937 rng(5);
    stacker::Unpacked u;
    for (int i = 0; i < 20000; ++i) {
        Bytes payload;
        // A few real packets, then random bytes, cut anywhere.
        for (int k = 0; k < int(rng() % 3); ++k)
            payload = cat(payload, ip_of_len(28 + rng() % 200));
        for (size_t k = rng() % 64; k > 0; --k)
            payload.push_back(uint8_t(rng()));
        Bytes b = stacker_packet(payload, (rng() % 4 == 0) ? rng() % 2000 : 0);
        b.resize(rng() % (b.size() + 1));
        if (b.size() < 24)
            continue;
        // A copy of exactly the bytes given, so ASan sees any overrun.
        std::vector<uint8_t> exact(b.begin(), b.end());
        size_t seen = 0;
        u = {};
        stacker::unpack(exact.data(), exact.size(), 20, [&](const uint8_t* in, size_t n) {
            EXPECT_GE(in, exact.data());
            EXPECT_LE(in + n, exact.data() + exact.size());
            seen += n;
            return true;
        }, &u);
        ASSERT_LE(seen, exact.size());
    }
}

// Unpacked packets refresh their session in the SessionManager the stacker
// packet crossed (which cannot see inside it), with the stacker packet's
// timestamp, and carry its id; a packet of no known session creates none.
TEST(StackerRx, UnpackedPacketsRefreshTheirSessions) {
    PeerHarness h;
    ASSERT_TRUE(h.build(RX + "; sm :: SessionManager; Idle -> [0]sm[0] -> Discard; Idle -> [1]sm[1] -> Discard", 3))
        << h.r.errors();
    h.announce("10.0.0.1");
    auto* sm = h.r.get<SessionManager>("sm");
    IPPacket known;
    SessionPacket sp{17, 0, htonl(known.src), htonl(known.dst), htons(known.sport), htons(known.dport)};
    uint32_t id = sm->track(sp, WAN_IN, Timestamp::make_sec(1000), nullptr, 0);
    IPPacket other = known;
    other.sport = 999;
    Packet* p = ip_packet(stacker_packet(cat(known.bytes(), other.bytes())));
    p->set_timestamp_anno(Timestamp::make_sec(2000));
    h.push(p);
    auto got = h.on(1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(session_id_anno(got[0]), id);
    EXPECT_EQ(session_direction_anno(got[0]), WAN_IN);
    EXPECT_EQ(session_id_anno(got[1]), 0u);
    WSessionInfo info;
    ASSERT_TRUE(sm->lookup_session(SessionManager::session_key(sp, WAN_IN), 17, &info));
    EXPECT_EQ(info.last_activity, Timestamp::make_sec(2000));
    EXPECT_EQ(sm->udp_sessions(), 1u);
}

TEST(DropStacker, DropsOnlyStackerPackets) {
    PeerHarness h;
    ASSERT_TRUE(h.build("DropStacker", 1)) << h.r.errors();
    h.push(ip_packet(stacker_packet(ip_of_len(60))));
    Bytes fec = stacker_packet(ip_of_len(60));
    fec[22] = 203;
    h.push(ip_packet(fec));
    h.push(ip_packet(ip_of_len(60)));
    EXPECT_EQ(h.s->packets.size(), 2u);
    EXPECT_EQ(h.count("dropped"), 1u);
}

TEST(StackerConfig, RefusesBadModeAndNotifier) {
    PeerHarness h;
    EXPECT_FALSE(h.build("Stacker(LOCAL_IP 10.0.0.1, NOTIFIER n, PEER_OUTPUT_PORT 1, MODE tx)", 3));
    EXPECT_NE(h.r.errors().find("tx is not a valid mode."), std::string::npos) << h.r.errors();
    PeerHarness g;
    EXPECT_FALSE(g.build("Stacker(LOCAL_IP 10.0.0.1, NOTIFIER s, PEER_OUTPUT_PORT 1, MODE TX)", 3));
    EXPECT_NE(g.r.errors().find("is not an PeerDiscoveryNotifier"), std::string::npos) << g.r.errors();
}
