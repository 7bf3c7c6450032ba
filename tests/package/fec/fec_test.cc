// WFEC: groups and parity packets on the sending side, rebuilding a lost
// packet on the receiving side, and FEC packets whose lengths lie.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "common/annotations.hh"
#include "common/framing/framing.hh"
#include "fec/fec_wire.hh"
#include "peerharness.hh"
#include "rsp/rsp_wire.hh"

using framing_test::Bytes;
using framing_test::contents;
using framing_test::get16;
using framing_test::ip_packet;
using quilo_test::PeerHarness;

namespace {

std::string fec_element(const char* mode, const std::string& more = "") {
    return std::string("WFEC(LOCAL_IP 10.0.0.1, NOTIFIER n, PEER_OUTPUT_PORT 1, MODE ") + mode + more + ")";
}

// An RSP stream packet with sequence number `seq` and `payload` bytes
// (content from `seq`), with or without the UDP shim.
Bytes stream(uint16_t seq, size_t payload, bool udp = false, uint8_t control = 0) {
    size_t so = udp ? 28 : 20;
    size_t len = so + 4 + payload;
    Bytes b(len + RSP_HEADER_LEN, 0);
    b[0] = 0x45;
    framing_test::put16(&b[2], uint16_t(len));
    b[8] = 64;
    b[9] = udp ? 17 : 108;
    b[12] = 10, b[15] = 5;
    b[16] = 10, b[19] = 6;
    if (udp) {
        framing_test::put16(&b[20], 4050);
        framing_test::put16(&b[22], 4050);
    }
    b[so] = WSHIM_MAGIC;
    b[so + 1] = control;
    b[so + 2] = 6;
    b[so + 3] = WSHIM_STREAM;
    for (size_t i = so + 4; i < len; ++i)
        b[i] = uint8_t(seq * 31 + i);
    b.resize(rsp::insert_data_header(b.data(), len, so, seq, 0));
    return b;
}

struct Pair {
    PeerHarness tx, rx;
    bool build(const std::string& wconf = "", const std::string& more = "") {
        if (!tx.build(fec_element("TX", more), 2, wconf) || !rx.build(fec_element("RX", more), 2, wconf))
            return false;
        tx.announce();
        rx.announce("10.0.0.1");
        return true;
    }
    // Sends stream packets first..first+n-1 through TX, and all but those in
    // `lost` on to RX with the FEC packets. Returns what was sent.
    std::vector<Bytes> run(uint16_t first, int n, std::vector<uint16_t> lost, size_t size = 0,
                           bool udp = false) {
        std::vector<Bytes> sent;
        for (int i = 0; i < n; ++i) {
            uint16_t s = uint16_t(first + i);
            sent.push_back(stream(s, size ? size : 100 + (s * 53) % 1300, udp));
            tx.push(ip_packet(sent.back()));
        }
        for (size_t i = 0; i < tx.s->packets.size(); ++i) {
            Packet* p = tx.s->packets[i];
            bool drop = false;
            if (tx.s->ports[i] == 0)
                for (uint16_t l : lost)
                    drop |= get16(p->data() + (udp ? 32 : 24) + 2) == l;
            if (drop)
                p->kill();
            else
                rx.push(p);
        }
        tx.s->packets.clear();
        tx.s->ports.clear();
        return sent;
    }
};

}  // namespace

TEST(WFECTx, OneParityPacketPerWholeGroup) {
    PeerHarness h;
    ASSERT_TRUE(h.build(fec_element("TX"), 2)) << h.r.errors();
    h.announce();
    std::vector<Bytes> g;
    for (uint16_t s = 10; s < 15; ++s) {
        g.push_back(stream(s, 50 + s * 10));
        h.push(ip_packet(g.back()));
    }
    auto out = h.on(1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(h.s->ports.back(), 1);  // after packet 14
    const uint8_t* ip = out[0]->data();
    size_t longest = g.back().size();
    EXPECT_EQ(out[0]->length(), longest + 26);
    EXPECT_EQ(get16(ip + 2), longest + 26);
    EXPECT_EQ(ip[9], 108);
    EXPECT_EQ(ip[8], 250);
    EXPECT_TRUE(framing_test::ip_cksum_ok(ip));
    EXPECT_EQ(ip[20], 0x77);
    EXPECT_EQ(ip[22], 203);
    EXPECT_EQ(get16(ip + 24), 14);
    EXPECT_EQ(dst_ip_anno(out[0]), IPAddress("10.0.0.2").addr());
    Bytes x(longest, 0);
    for (const Bytes& b : g)
        fec::xor_into(x.data(), b.data(), b.size());
    EXPECT_EQ(Bytes(ip + 26, ip + 26 + longest), x);

    // 20, 21, 23: the group of 20 is abandoned at 23; retransmissions pass
    // outside any group.
    h.s->clear();
    for (uint16_t s : {20, 21, 23})
        h.push(ip_packet(stream(s, 80)));
    h.push(ip_packet(stream(24, 80, false, WSHIM_RETRANSMIT)));
    for (uint16_t s : {24, 25, 26, 27})
        h.push(ip_packet(stream(s, 80)));
    ASSERT_EQ(h.on(1).size(), 1u);
    EXPECT_EQ(get16(h.on(1)[0]->data() + 24), 27);
    EXPECT_EQ(h.count("groups_abandoned"), 1u);
    EXPECT_EQ(h.on(0).size(), 8u);
}

// No FEC packet is longer than MTU: a stream packet whose parity would not
// fit passes unprotected and ends its group.
TEST(WFECTx, FecPacketsStayWithinTheMtu) {
    for (int mtu : {1500, 1400}) {
        PeerHarness h;
        ASSERT_TRUE(h.build(fec_element("TX", ", GROUP_SIZE 2, MTU " + std::to_string(mtu)), 2)) << h.r.errors();
        h.announce();
        size_t fits = size_t(mtu) - 26 - 24 - RSP_HEADER_LEN;  // the longest payload protected
        for (uint16_t s : {1, 2})
            h.push(ip_packet(stream(s, fits)));
        ASSERT_EQ(h.on(1).size(), 1u) << mtu;
        EXPECT_EQ(h.on(1)[0]->length(), size_t(mtu));
        for (uint16_t s : {3, 4})
            h.push(ip_packet(stream(s, s == 3 ? fits : fits + 1)));
        EXPECT_EQ(h.on(1).size(), 1u) << mtu;
        EXPECT_EQ(h.count("unprotected"), 1u);
        EXPECT_EQ(h.count("groups_abandoned"), 1u);
    }
}

// Each single loss in a group comes back byte for byte, with and without
// the UDP shim and across the wrap of the sequence numbers; a group that
// lost two or none rebuilds nothing.
TEST(WFECRx, RebuildsExactlyOneMissingPacket) {
    for (bool udp : {false, true}) {
        for (int lost = 0; lost < 5; ++lost) {
            Pair p;
            ASSERT_TRUE(p.build(udp ? ", UDP_SHIM true" : "")) << p.tx.r.errors();
            uint16_t first = 65533;
            auto sent = p.run(first, 5, {uint16_t(first + lost)}, 0, udp);
            auto rebuilt = p.rx.on(1);
            ASSERT_EQ(rebuilt.size(), 1u) << udp << " " << lost;
            EXPECT_EQ(contents(rebuilt[0]), sent[size_t(lost)]);
            EXPECT_EQ(rebuilt[0]->network_header(), rebuilt[0]->data());
            EXPECT_EQ(p.rx.on(0).size(), 4u);  // the FEC packet is consumed
        }
    }
    Pair none, two;
    ASSERT_TRUE(none.build() && two.build());
    none.run(100, 10, {});
    EXPECT_TRUE(none.rx.on(1).empty());
    two.run(100, 10, {101, 103});
    EXPECT_TRUE(two.rx.on(1).empty());
    EXPECT_EQ(two.rx.count("unrecoverable"), 1u);
    EXPECT_EQ(two.rx.count("rebuilt"), 0u);
}

// Variable groups: the group size follows RSP's backlog; a gap closes the
// group with the parity it has, and so does FLUSH_MS after the stream
// pauses. The receiver finds each group's start after the previous parity
// packet, or a whole GROUP_SIZE before its end (after a gap, or from a
// sender of fixed groups), and rebuilds one loss in each.
TEST(WFECRx, VariableGroupsRebuildAfterGapsAndPauses) {
    EXPECT_EQ(fec::group_for(4, false, 5, 32), 5);  // less than a short group waits
    EXPECT_EQ(fec::group_for(5, false, 5, 32), 32);
    EXPECT_EQ(fec::group_for(0, true, 5, 32), 32);  // a bulk run goes on
    EXPECT_EQ(fec::group_for(500, true, 5, 0), 5);

    Pair p;
    ASSERT_TRUE(p.build("", ", FLUSH_MS 20")) << p.tx.r.errors();
    std::vector<Bytes> sent;
    // 0..4 whole; 5..7 closed at the gap (8 never comes); 9..13 whole;
    // 14, 15 closed by the timer.
    for (uint16_t s : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15}) {
        sent.push_back(stream(s, 100 + s * 7));
        p.tx.push(ip_packet(sent.back()));
    }
    Master* m = p.tx.r.router()->master();
    std::thread run([&] { m->run(p.tx.r.router()); });
    for (int i = 0; i < 200 && p.tx.count("fec_sent") < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m->please_stop();
    run.join();
    ASSERT_EQ(p.tx.count("fec_sent"), 4u);
    EXPECT_EQ(p.tx.count("flushed"), 2u);
    EXPECT_EQ(p.tx.count("groups_abandoned"), 0u);
    std::vector<uint16_t> ends;
    for (Packet* q : p.tx.on(1))
        ends.push_back(get16(q->data() + 24));
    EXPECT_EQ(ends, (std::vector<uint16_t>{4, 7, 13, 15}));

    const std::vector<uint16_t> lost = {2, 6, 11, 15};
    for (size_t i = 0; i < p.tx.s->packets.size(); ++i) {
        Packet* q = p.tx.s->packets[i];
        if (p.tx.s->ports[i] == 0 && std::count(lost.begin(), lost.end(), get16(q->data() + 26)))
            continue;
        p.rx.push(q->clone());
    }
    auto rebuilt = p.rx.on(1);
    ASSERT_EQ(rebuilt.size(), 4u) << p.rx.count("bad_rebuild");
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(contents(rebuilt[i]), stream(lost[i], 100 + lost[i] * 7)) << lost[i];
}

// The bulk group that follows the loss rebuilds a lost packet at least 3
// times in 4, and the loss is found again from what parity left to RSP. A
// receiver that lost a parity packet tries the size of the latest group it
// found (12 here; GROUP_SIZE 5 would find 43..47 whole).
TEST(WFECRx, BulkGroupFollowsTheLossAndTheLatestSize) {
    EXPECT_EQ(fec::group_for_loss(0.01, 5, 32), 28);
    EXPECT_EQ(fec::group_for_loss(0.01, 5, 24), 24);
    EXPECT_EQ(fec::group_for_loss(0.05, 5, 24), 5);
    EXPECT_EQ(fec::group_for_loss(0.3, 5, 24), 5);
    EXPECT_EQ(fec::group_for_loss(0, 5, 24), 24);
    for (double loss : {0.001, 0.01, 0.05, 0.2})
        for (double g : {5.0, 24.0})
            EXPECT_NEAR(fec::loss_from_resent(loss * (1 - std::pow(1 - loss, g)), g), loss, 1e-5);
    EXPECT_EQ(fec::loss_from_resent(0.9, 24), 0.5);

    PeerHarness tx, rx;
    ASSERT_TRUE(tx.build(fec_element("TX", ", GROUP_SIZE 12"), 2)) << tx.r.errors();
    ASSERT_TRUE(rx.build(fec_element("RX", ", BULK_GROUP_SIZE 24"), 2)) << rx.r.errors();
    tx.announce();
    rx.announce("10.0.0.1");
    for (uint16_t s = 0; s < 48; ++s)
        tx.push(ip_packet(stream(s, 100 + s)));
    for (size_t i = 0; i < tx.s->packets.size(); ++i) {
        uint16_t seq = get16(tx.s->packets[i]->data() + (tx.s->ports[i] ? 24 : 26));
        if (!(tx.s->ports[i] == 1 && seq == 35) && !(tx.s->ports[i] == 0 && seq == 42))
            rx.push(tx.s->packets[i]->clone());
    }
    auto rebuilt = rx.on(1);
    ASSERT_EQ(rebuilt.size(), 1u);
    EXPECT_EQ(contents(rebuilt[0]), stream(42, 142));
}

// The queue keeps MAX_RX_QUEUE_SIZE packets: a parity packet that comes too
// late rebuilds nothing rather than something wrong.
TEST(WFECRx, QueueLimitAndLateParity) {
    Pair p;
    ASSERT_TRUE(p.build("", ", GROUP_SIZE 3, MAX_RX_QUEUE_SIZE 6")) << p.tx.r.errors();
    std::vector<Bytes> fecs;
    for (uint16_t s = 0; s < 30; ++s)
        p.tx.push(ip_packet(stream(s, 100)));
    for (size_t i = 0; i < p.tx.s->packets.size(); ++i) {
        if (p.tx.s->ports[i] == 1)
            fecs.push_back(contents(p.tx.s->packets[i]));
        else if (get16(p.tx.s->packets[i]->data() + 26) != 1)
            p.rx.push(p.tx.s->packets[i]->clone());
    }
    EXPECT_EQ(p.rx.count("rx_queue_len"), 6u);
    p.rx.push(ip_packet(fecs[0]));  // group 0..2, long gone
    EXPECT_TRUE(p.rx.on(1).empty());
}

// Lengths from the wire: too short for the sequence number, a total length
// beyond the packet, parity shorter than a queued packet, a rebuilt header
// that is not IPv4, random and truncated FEC packets.
TEST(WFECRx, LyingFecPacketsAreDroppedAndCounted) {
    Pair p;
    ASSERT_TRUE(p.build()) << p.tx.r.errors();
    auto fec_packet = [](uint16_t end, const Bytes& parity, size_t tot = 0) {
        Bytes b(26, 0);
        b[0] = 0x45;
        b[8] = 250;
        b[9] = 108;
        b[20] = 0x77;
        b[22] = 203;
        framing_test::put16(&b[24], end);
        b.insert(b.end(), parity.begin(), parity.end());
        framing_test::put16(&b[2], uint16_t(tot ? tot : b.size()));
        framing_test::fix_ip_cksum(b.data());
        return b;
    };
    Bytes short_one = fec_packet(4, {});
    short_one.resize(25);
    framing_test::put16(&short_one[2], 25);
    p.rx.push(ip_packet(short_one));
    p.rx.push(ip_packet(fec_packet(4, Bytes(10, 0), 200)));
    EXPECT_EQ(p.rx.count("malformed"), 2u);

    // Four of group 0..4 queued; parity of 30 bytes against 400-byte packets:
    // combined over 30 bytes only, and the result is no IPv4 packet.
    for (uint16_t s = 0; s < 4; ++s)
        p.rx.push(ip_packet(stream(s, 400)));
    p.rx.push(ip_packet(fec_packet(4, Bytes(30, 0))));
    EXPECT_EQ(p.rx.count("bad_rebuild"), 1u);
    EXPECT_TRUE(p.rx.on(1).empty());

    std::mt19937 rng(3);
    for (int i = 0; i < 5000; ++i) {
        uint16_t base = uint16_t(100 + 5 * i);
        for (uint16_t s = 0; s < 4; ++s)
            if (rng() % 2)
                p.rx.push(ip_packet(stream(uint16_t(base + s), rng() % 1500)));
        Bytes par(rng() % 1600);
        for (uint8_t& c : par)
            c = uint8_t(rng());
        if (rng() % 2 && par.size() >= 4) {
            par[0] = 0x45;  // sometimes a plausible header
            framing_test::put16(&par[2], uint16_t(rng() % 1700));
        }
        Bytes b = fec_packet(uint16_t(base + 4), par, rng() % 3 ? 0 : rng() % 1700);
        b.resize(rng() % 4 ? b.size() : rng() % (b.size() + 1));
        if (b.size() < 24)
            continue;
        p.rx.push(ip_packet(b));
    }
    for (Packet* q : p.rx.on(1))
        EXPECT_GE(q->length(), 20u);
}

TEST(WFECConfig, RefusesASmallQueueAndBadMode) {
    PeerHarness a, b;
    EXPECT_FALSE(a.build(fec_element("RX", ", GROUP_SIZE 5, MAX_RX_QUEUE_SIZE 9"), 2));
    EXPECT_NE(a.r.errors().find("MAX_RX_QUEUE_SIZE should be at least double GROUP_SIZE"), std::string::npos)
        << a.r.errors();
    EXPECT_FALSE(b.build(fec_element("Rx"), 2));
    EXPECT_NE(b.r.errors().find("Rx is not a valid mode."), std::string::npos) << b.r.errors();
}
