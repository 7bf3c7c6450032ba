// Loss protection and stacking in an appliance pair (scripts/pair.sh):
// parity packets rebuild lost tunnel packets, and small datagrams cross the
// WAN stacked, every one intact.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pairrig.hh"

using namespace pairtest;

namespace {

uint64_t retransmits(PairRig& r) {
    uint64_t n = 0;
    for (const char* a : {"a", "b"})
        n += r.count(a, "peer1/rsp.tx_retransmit_count") + r.count(a, "peer1/rsp.tx_fast_retransmit_count");
    return n;
}

}  // namespace

// 1% loss each way. The same random file is downloaded with parity off and
// then on (both appliances' switch): both copies intact, lost packets
// rebuilt, and RSP retransmits fewer with parity than without.
TEST(PairLossProtection, ParityRebuildsLostPacketsAndSavesRetransmissions) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_random_file(tmp.file("random"), 4 << 20, 11);
    PairOptions o;
    o.loss = "0.01";
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();

    uint64_t rtx[2];
    for (int fec : {0, 1}) {
        for (const char* a : {"a", "b"})
            ASSERT_TRUE(r.write(a, "peer1/fecsw.switch", std::to_string(fec)));
        uint64_t before = retransmits(r);
        std::string got = tmp.file("got" + std::to_string(fec));
        EXPECT_TRUE(r.download(tmp.file("random"), got, 7300 + fec)) << "FEC " << fec;
        EXPECT_TRUE(same_file(tmp.file("random"), got)) << "FEC " << fec;
        rtx[fec] = retransmits(r) - before;
    }
    EXPECT_GT(r.count("wan", "loss_ba.drops"), 0u);
    EXPECT_GT(r.count("b", "peer1/fec.fec_sent"), 0u);
    EXPECT_GT(r.count("a", "peer1/unfec.rebuilt"), 0u);
    EXPECT_EQ(r.count("a", "peer1/unfec.bad_rebuild"), 0u);
    EXPECT_LT(rtx[1], rtx[0]) << "retransmissions without parity " << rtx[0] << ", with parity " << rtx[1];
    EXPECT_EQ(r.count("a", "peer1/dec.errors") + r.count("b", "peer1/dec.errors"), 0u);
}

// Five flows of 160-byte datagrams, 50 a second each, with stacking on:
// every datagram arrives once and intact, and the WAN carries fewer packets
// than the LAN. Unstacked packets get their Ethernet header from their
// session: the server first sends one datagram on each flow, from which B
// learns the flow's addresses on its own LAN side.
TEST(PairStacking, SmallDatagramsCrossStackedAndIntact) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    PairOptions o;
    o.defines = {"STACKER=1"};
    o.defines_a = {"FT_EXTRA=, UDP_ROUTE 10.77.0.2/32 10.77.0.12"};
    o.defines_b = {"FT_EXTRA=, UDP_ROUTE 10.77.0.1/32 10.77.0.11"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();

    std::string server = tmp.file("server.py"), client = tmp.file("client.py");
    std::ofstream(server) << R"(
import socket, select, random
socks = []
for f in range(5):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("10.77.0.2", 7400 + f)); socks.append(s)
    s.sendto(b"hello", ("10.77.0.1", 7400 + f))
seen, bad, dup = set(), 0, 0
while True:
    r, _, _ = select.select(socks, [], [], 3 if seen else 20)
    if not r: break
    for s in r:
        d, a = s.recvfrom(4096)
        f, i = s.getsockname()[1] - 7400, int(d[:6])
        if d[6:] != random.Random(f << 32 | i).randbytes(len(d) - 6): bad += 1
        elif (f, i) in seen: dup += 1
        else: seen.add((f, i))
print(len(seen), bad, dup)
)";
    std::ofstream(client) << R"(
import socket, time, random
socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for f in range(5)]
for f, s in enumerate(socks):
    s.bind(("10.77.0.1", 7400 + f))
def dgram(f, i, n):
    return (b"%06d" % i) + random.Random(f << 32 | i).randbytes(n - 6)
t0 = time.time()
for i in range(100):
    for f, s in enumerate(socks):
        s.sendto(dgram(f, i, 160), ("10.77.0.2", 7400 + f))
    time.sleep(max(0, t0 + i * 0.02 - time.time()))
)";
    std::string sout;
    std::thread srv([&] { r.exec("server", "python3 " + server, &sout); });
    EXPECT_TRUE(r.server_listening(7404, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server's first datagrams
    std::string pk;
    r.exec("client", "cat /sys/class/net/eth0/statistics/tx_packets", &pk);
    uint64_t lan0 = std::stoull(pk), wan0 = r.count("wan", "bytes_ab.count");
    EXPECT_EQ(r.exec("client", "python3 " + client), 0);
    srv.join();
    r.exec("client", "cat /sys/class/net/eth0/statistics/tx_packets", &pk);
    uint64_t lan = std::stoull(pk) - lan0, wan = r.count("wan", "bytes_ab.count") - wan0;
    EXPECT_EQ(sout, "500 0 0\n");
    EXPECT_GT(r.count("a", "peer1/stk.stacked"), 400u);
    EXPECT_GT(r.count("b", "peer1/unstk.unstacked"), 400u);
    EXPECT_EQ(r.count("b", "peer1/unstk.corrupt"), 0u);
    EXPECT_LT(wan, lan) << "WAN packets " << wan << ", LAN packets " << lan;
}
