// Real Linux TCP and UDP traffic through an appliance pair in network
// namespaces (scripts/pair.sh): client --- A --- WAN emulator --- B --- server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pairrig.hh"

using namespace pairtest;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// What one transfer cost on the WAN against the LAN, in the direction of
// the data.
struct Pass {
    uint64_t lan = 0, wan = 0;
    double reduction() const { return lan ? 1.0 - double(wan) / double(lan) : 0; }
};

Pass transfer(PairRig& r, bool down, const std::string& src, const std::string& dst, int port) {
    const std::string host = down ? "client" : "server", dir = down ? "ba" : "ab";
    uint64_t lan0 = r.host_rx_bytes(host), wan0 = r.wan_bytes(dir);
    bool ok = down ? r.download(src, dst, port) : r.upload(src, dst, port);
    EXPECT_TRUE(ok) << (down ? "download " : "upload ") << src;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return Pass{r.host_rx_bytes(host) - lan0, r.wan_bytes(dir) - wan0};
}

}  // namespace

// Text and random data, cold and warm, from the server and to it: every copy
// identical, the sessions carried by the tunnel (probed, compressed, sent
// through RSP, decompressed) and the text reduced on the WAN.
TEST(PairTransfer, ColdAndWarmBothWaysIdenticalThroughTheTunnel) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 2 << 20);
    write_random_file(tmp.file("random"), 1 << 20, 7);
    PairRig r;
    ASSERT_TRUE(r.up()) << r.error();

    int port = 7000;
    for (bool down : {true, false}) {
        const char* way = down ? "download" : "upload";
        for (const char* pass : {"cold", "warm"}) {
            for (const char* f : {"text", "random"}) {
                std::string got = tmp.file(std::string(f) + "." + way + "." + pass);
                Pass p = transfer(r, down, tmp.file(f), got, port++);
                EXPECT_TRUE(same_file(tmp.file(f), got)) << way << " " << pass << " " << f;
                // Text compresses; random bytes shrink only once the byte
                // cache holds them (generous floors: the figures belong to
                // the benchmark).
                double floor = std::string(f) == "text" ? (std::string(pass) == "warm" ? 0.7 : 0.4)
                                                        : (std::string(pass) == "warm" ? 0.6 : -0.1);
                EXPECT_GT(p.reduction(), floor) << way << " " << pass << " " << f << ": LAN " << p.lan << " WAN "
                                                << p.wan;
            }
        }
    }
    // Both appliances probed every session and carried it: every packet
    // went through the compressor and the decompressor, shrunk or not. A
    // packet that the byte cache turned into a few references is too short
    // to compress and counts as uncompressed; A's cache holds what it decoded
    // from the downloads, so the uploads that follow are mostly references.
    for (const char* a : {"a", "b"}) {
        EXPECT_GE(r.count(a, "lanprobe.probed_count"), 8u) << a;
        EXPECT_GE(r.count(a, "wanprobe.registered_count"), 8u) << a;
        EXPECT_GT(r.count(a, "peer1/comp.compressed") + r.count(a, "peer1/comp.uncompressed"), 1000u) << a;
        EXPECT_GT(r.count(a, "peer1/dec.decompressed") + r.count(a, "peer1/dec.uncompressed"), 1000u) << a;
        EXPECT_EQ(r.count(a, "peer1/comp.errors"), 0u) << a;
        EXPECT_EQ(r.count(a, "peer1/dec.errors"), 0u) << a;
        EXPECT_EQ(r.read(a, "peer1/comp.active_method"), "Streaming") << a;
        EXPECT_EQ(r.count(a, "l2in.not_found"), 0u) << a;
        EXPECT_GT(r.count(a, "peer1/dd.encoded"), 1000u) << a;
        EXPECT_GT(r.count(a, "peer1/dd.decoded"), 1000u) << a;
        EXPECT_EQ(r.count(a, "peer1/dd.errors"), 0u) << a;
    }
    // The cold downloads meet an empty byte cache: B can only compress them.
    EXPECT_GT(r.count("b", "peer1/comp.compressed"), 1000u);
    EXPECT_GT(r.count("a", "peer1/dec.decompressed"), 1000u);
}

// 1% loss and 1% reordering each way: RSP repairs the tunnel, the hosts'
// TCP the rest; the files arrive identical and the stream never breaks.
TEST(PairTransfer, LossAndReorderingLeaveTransfersIntact) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 2 << 20);
    PairOptions o;
    o.loss = "0.01";
    o.reorder = "0.01";
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    EXPECT_TRUE(r.carried_download(tmp.file("text"), tmp.file("down"), 7100));
    EXPECT_TRUE(same_file(tmp.file("text"), tmp.file("down")));
    EXPECT_TRUE(r.carried_upload(tmp.file("text"), tmp.file("up"), 7101));
    EXPECT_TRUE(same_file(tmp.file("text"), tmp.file("up")));
    EXPECT_GT(r.count("wan", "loss_ab.drops") + r.count("wan", "loss_ba.drops"), 0u);
    EXPECT_GT(r.count("a", "peer1/rsp.tx_retransmit_count") + r.count("b", "peer1/rsp.tx_retransmit_count") +
                  r.count("a", "peer1/rsp.tx_fast_retransmit_count") + r.count("b", "peer1/rsp.tx_fast_retransmit_count"),
              0u);
    EXPECT_EQ(r.count("a", "peer1/dec.errors") + r.count("b", "peer1/dec.errors"), 0u);
    EXPECT_GT(r.count("b", "peer1/comp.compressed"), 0u);
}

// PIPELINE 1 on two router threads, without WAN limits: the byte cache
// hands every packet to the thread that compresses and sends it, and the
// streams of both directions arrive intact and in order (the streaming
// decompressor fails on a packet out of order).
TEST(PairTransfer, PipelineOnTwoThreadsKeepsTransfersIntact) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 4 << 20);
    PairOptions o;
    o.rate = "0";
    o.threads = 2;
    o.defines = {"PIPELINE=1"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    int port = 7200;
    for (const char* pass : {"cold", "warm"}) {
        EXPECT_TRUE(r.download(tmp.file("text"), tmp.file(std::string("down.") + pass), port++));
        EXPECT_TRUE(same_file(tmp.file("text"), tmp.file(std::string("down.") + pass))) << pass;
        EXPECT_TRUE(r.upload(tmp.file("text"), tmp.file(std::string("up.") + pass), port++));
        EXPECT_TRUE(same_file(tmp.file("text"), tmp.file(std::string("up.") + pass))) << pass;
    }
    for (const char* a : {"a", "b"}) {
        EXPECT_GT(r.count(a, "peer1/dd_uq.count"), 1000u) << a;
        EXPECT_EQ(r.count(a, "peer1/dd_q.drops"), 0u) << a;
        EXPECT_EQ(r.count(a, "peer1/dec.errors"), 0u) << a;
        EXPECT_EQ(r.count(a, "peer1/dd.errors"), 0u) << a;
        EXPECT_GT(r.count(a, "peer1/dd.decoded"), 1000u) << a;
    }
}

// UDP has no handshake to probe: UDP_ROUTEs name the peer that carries the
// far side's hosts. Datagrams from client to server cross the tunnel intact,
// and so do the server's answers.
TEST(PairTransfer, UdpRoutesCarryDatagramsThroughTheTunnel) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    PairOptions o;
    o.defines_a = {"FT_EXTRA=, UDP_ROUTE 10.77.0.2/32 10.77.0.12"};
    o.defines_b = {"FT_EXTRA=, UDP_ROUTE 10.77.0.1/32 10.77.0.11"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();

    // The server echoes each datagram; the client sends 200 numbered
    // datagrams of compressible text and checks every echo.
    std::string server = tmp.file("server.py"), client = tmp.file("client.py");
    std::ofstream(server) << R"(
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.77.0.2", 7200)); s.settimeout(15)
n = 0
try:
    while n < 200:
        d, a = s.recvfrom(4096); s.sendto(d, a); n += 1
except socket.timeout:
    pass
print(n)
)";
    std::ofstream(client) << R"(
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(3)
def payload(i): return (("datagram %06d " % i) * 80).encode()[:200 + (i * 37) % 1000]
good = bad = 0
for i in range(200):
    s.sendto(payload(i), ("10.77.0.2", 7200))
    try:
        d, _ = s.recvfrom(4096)
        if d == payload(i): good += 1
        else: bad += 1
    except socket.timeout:
        pass
print(good, bad)
)";
    std::string sout, cout;
    std::thread srv([&] { r.exec("server", "python3 " + server, &sout); });
    EXPECT_TRUE(r.server_listening(7200, true));
    EXPECT_EQ(r.exec("client", "python3 " + client, &cout), 0);
    srv.join();
    EXPECT_EQ(cout, "200 0\n");
    EXPECT_EQ(sout, "200\n");
    // Both directions took the tunnel.
    EXPECT_GE(r.count("a", "out_l.count"), 200u);
    EXPECT_GE(r.count("b", "out_l.count"), 200u);
    EXPECT_GE(r.count("a", "peer1/comp.compressed") , 150u);
    EXPECT_GE(r.count("b", "peer1/dec.decompressed"), 150u);
}

// Sessions that began while plain bridges stood in for the appliances pass
// the appliances unoptimised and stay intact; sessions opened afterwards
// are optimised.
TEST(PairTransfer, SessionsFromBeforeTheAppliancesStayIntact) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 6 << 20);
    PairOptions o;
    o.conf = source_dir() + "/conf/bridge.click";
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();

    bool ok = false;
    std::thread t([&] { ok = r.download(tmp.file("text"), tmp.file("down"), 7300, 90); });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    // The appliances replace the bridges one after the other, mid-transfer.
    std::string appliance = source_dir() + "/conf/appliance.click";
    EXPECT_TRUE(r.stop("b") && r.start("b", appliance)) << r.error();
    EXPECT_TRUE(r.stop("a") && r.start("a", appliance)) << r.error();
    t.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(same_file(tmp.file("text"), tmp.file("down")));
    // Nothing of that session reached a compressor.
    for (const char* a : {"a", "b"}) {
        EXPECT_EQ(r.count(a, "peer1/comp.compressed") + r.count(a, "peer1/comp.uncompressed"), 0u) << a;
    }

    ASSERT_TRUE(r.wait_tunnel()) << r.error();
    EXPECT_TRUE(r.download(tmp.file("text"), tmp.file("again"), 7301));
    EXPECT_TRUE(same_file(tmp.file("text"), tmp.file("again")));
    EXPECT_GT(r.count("b", "peer1/comp.compressed"), 1000u);
}

// Appliance B dies (SIGKILL) in the middle of a transfer and comes back: the
// connection survives (B reflects tunnel packets it cannot place, A's flow
// table hears of B's boot and puts the session on the plain path), and new
// sessions are optimised again once RSP has reconnected.
TEST(PairRestart, KilledApplianceComesBackAndTransfersSurvive) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 4 << 20);
    write_random_file(tmp.file("random"), 4 << 20, 3);
    write_random_file(tmp.file("cached"), 1 << 20, 4);
    PairRig r;
    ASSERT_TRUE(r.up()) << r.error();
    // Fills both byte caches with data that only they can shrink.
    EXPECT_TRUE(r.download(tmp.file("cached"), tmp.file("first"), 7399));

    bool ok = false;
    std::thread t([&] { ok = r.download(tmp.file("random"), tmp.file("down"), 7400, 90); });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_TRUE(r.stop("b", "KILL"));
    ASSERT_TRUE(r.start("b")) << r.error();
    t.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(same_file(tmp.file("random"), tmp.file("down")));

    ASSERT_TRUE(r.wait_tunnel()) << r.error();
    uint64_t before = r.count("b", "peer1/comp.compressed");
    EXPECT_TRUE(r.download(tmp.file("text"), tmp.file("again"), 7401));
    EXPECT_TRUE(same_file(tmp.file("text"), tmp.file("again")));
    EXPECT_GT(r.count("b", "peer1/comp.compressed"), before + 1000);
    EXPECT_EQ(r.count("a", "peer1/dec.errors"), 0u);
    // B's datastore was reloaded, not rebuilt: the cached data is still
    // recognised.
    Pass p = transfer(r, true, tmp.file("cached"), tmp.file("cached.again"), 7402);
    EXPECT_TRUE(same_file(tmp.file("cached"), tmp.file("cached.again")));
    EXPECT_GT(p.reduction(), 0.6) << "LAN " << p.lan << " WAN " << p.wan;

    // An orderly stop saves the slot; writing resumes there after a restart.
    std::string slot = r.read("b", "peer1/dd.ds_slot");
    ASSERT_TRUE(r.stop("b", "TERM"));
    ASSERT_TRUE(r.start("b")) << r.error();
    EXPECT_EQ(r.read("b", "peer1/dd.ds_slot"), slot);
    ASSERT_TRUE(r.wait_tunnel()) << r.error();
}

// A's configuration is replaced while a transfer runs (one keyword changed,
// written to hotconfig): the transfer goes on, and the sessions, the peer and
// the tunnel carry over.
TEST(PairHotSwap, ConfigurationSwappedMidTransferKeepsState) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 4 << 20);
    write_random_file(tmp.file("random"), 4 << 20, 5);
    PairRig r;
    ASSERT_TRUE(r.up()) << r.error();
    std::string conf = slurp(source_dir() + "/conf/appliance.click");
    size_t at = conf.find("$DELAYED_ACK_MS 10");
    ASSERT_NE(at, std::string::npos);
    conf.replace(at, 18, "$DELAYED_ACK_MS 20");

    bool ok = false;
    uint64_t rx0 = r.host_rx_bytes("client");
    std::thread t([&] { ok = r.download(tmp.file("random"), tmp.file("down"), 7500, 90); });
    // The swap comes once a quarter of the file has arrived: before the
    // session is optimised it would test nothing.
    for (int i = 0; i < 400 && r.host_rx_bytes("client") < rx0 + (1 << 20); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t sessions = r.count("a", "ft.peer_count");
    EXPECT_TRUE(r.write("a", "hotconfig", conf));
    t.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(same_file(tmp.file("random"), tmp.file("down")));
    EXPECT_EQ(r.count("a", "ft.peer_count"), sessions);
    EXPECT_EQ(r.read("a", "ft.tcp_map"), "tcp map size: 1");
    EXPECT_NE(r.read("a", "config").find("$DELAYED_ACK_MS 20"), std::string::npos);
    // The new RSP element reconnects (without announcing a boot, so the
    // peer keeps its flows); the next session is optimised again.
    ASSERT_TRUE(r.wait_tunnel()) << r.error();
    EXPECT_TRUE(r.upload(tmp.file("text"), tmp.file("up"), 7501));
    EXPECT_TRUE(same_file(tmp.file("text"), tmp.file("up")));
    EXPECT_GT(r.count("a", "peer1/comp.compressed"), 1000u);
    // The byte cache came through: what crossed before the swap is
    // recognised after it.
    Pass p = transfer(r, true, tmp.file("random"), tmp.file("again"), 7502);
    EXPECT_TRUE(same_file(tmp.file("random"), tmp.file("again")));
    EXPECT_GT(p.reduction(), 0.6) << "LAN " << p.lan << " WAN " << p.wan;
}
