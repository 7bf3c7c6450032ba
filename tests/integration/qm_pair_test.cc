// Queue management in the reference configuration, on an appliance pair in
// network namespaces (scripts/pair.sh) with an ordinary WAN: 20 Mbit/s and
// 20 ms each way, and the usual queue of 1000 packets.
#include <gtest/gtest.h>

#include <unistd.h>

#include "pairrig.hh"

using namespace pairtest;

// Incompressible data keeps the WAN full for seconds, text then crosses cold
// and warm: every copy is intact, the queue manager in front of the tunnel
// dropped LAN packets (that is what slows the end hosts), and RSP, paced by
// its congestion window, retransmitted under 1% of what it sent.
//
// The server sends with Reno, whose slow start doubles its window until a
// packet is lost. Linux's default (CUBIC with HyStart) leaves slow start as
// soon as the round trip grows, often before the queue in front of the
// tunnel stands long enough for the queue manager to act; then nothing needs
// dropping and the test would prove nothing.
TEST(PairQueueManagement, FullWanIsManagedInFrontOfTheTunnel) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_random_file(tmp.file("random"), 12 << 20, 11);
    write_text_file(tmp.file("text"), 8 << 20);
    PairOptions o;
    o.delay = "20ms";
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    r.exec("server", "sysctl -qw net.ipv4.tcp_congestion_control=reno");

    auto wan_packets = [&] { return r.count("wan", "bytes_ab.count") + r.count("wan", "bytes_ba.count"); };
    auto retransmitted = [&] {
        uint64_t n = 0;
        for (const char* a : {"a", "b"})
            n += r.count(a, "peer1/rsp.tx_retransmit_count") + r.count(a, "peer1/rsp.tx_fast_retransmit_count");
        return n;
    };
    uint64_t packets0 = wan_packets(), rtx0 = retransmitted();
    EXPECT_TRUE(r.download(tmp.file("random"), tmp.file("random.got"), 7600, 90));
    EXPECT_TRUE(same_file(tmp.file("random"), tmp.file("random.got")));
    for (const char* pass : {"cold", "warm"}) {
        std::string got = tmp.file(std::string("text.") + pass);
        EXPECT_TRUE(r.download(tmp.file("text"), got, pass[0] == 'c' ? 7601 : 7602));
        EXPECT_TRUE(same_file(tmp.file("text"), got)) << pass;
    }
    EXPECT_GT(r.count("b", "peer1/qm.drops"), 0u);
    uint64_t sent = wan_packets() - packets0, rtx = retransmitted() - rtx0;
    EXPECT_LT(rtx * 100, sent) << rtx << " retransmissions in " << sent << " packets; B: "
                               << r.read("b", "peer1/rsp.congestion_state");
    EXPECT_EQ(r.count("a", "peer1/dec.errors") + r.count("b", "peer1/dec.errors"), 0u);
}
