// A dual-WAN pair (scripts/pair.sh -2): path A is cut in the middle of a
// long download, both appliances fail over to path B and the transfer
// completes; once path A heals, A (PREEMPT true) returns to it and B
// (PREEMPT false) stays on path B.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "pairrig.hh"

using namespace pairtest;

namespace {

double now_s() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

template <typename F>
bool eventually(F f, double secs) {
    for (double t = now_s(); now_s() - t < secs; std::this_thread::sleep_for(std::chrono::milliseconds(200)))
        if (f())
            return true;
    return false;
}

// A download that reports its bytes, their SHA-256, the longest pause
// between received bytes and the (wall-clock) time that pause ended.
const char* CLIENT = R"(
import hashlib, socket, sys, time
for i in range(100):
    try:
        s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=60); break
    except OSError:
        time.sleep(0.1)
h = hashlib.sha256(); n = 0; gap = 0.0; end = 0.0; last = time.time()
while True:
    d = s.recv(1 << 16)
    now = time.time()
    if not d: break
    if now - last > gap: gap, end = now - last, now
    last = now; n += len(d); h.update(d)
print(n, h.hexdigest(), "%.3f %.3f" % (gap, end))
)";

}  // namespace

TEST(PairDualWan, FailsOverToPathBAndPreemptionDecidesTheWayBack) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    std::string ns = "qdw" + std::to_string(getpid());
    if (run("ip netns add " + ns + " && ip -n " + ns + " link add br0 type bridge; r=$?; ip netns del " + ns +
            "; exit $r") != 0)
        GTEST_SKIP() << "needs Linux bridges (the sites' switches)";
    TempDir tmp;
    const size_t big = 16 << 20;
    write_random_file(tmp.file("big"), big, 21);
    std::ofstream(tmp.file("client.py")) << CLIENT;
    PairOptions o;
    o.dual_wan = true;
    o.defines = {"TIMEOUT=2", "RTT_SECS=1"};
    o.defines_b = {"PREEMPT=false"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    auto active = [&](const char* router, const char* gw) { return r.read(router, "pr.active") == gw; };

    std::string want, got;
    run("sha256sum " + tmp.file("big") + " | cut -d' ' -f1", &want);
    std::thread srv([&] {
        r.exec("server", "timeout 100 socat -u OPEN:" + tmp.file("big") + ",rdonly TCP-LISTEN:7600,reuseaddr,bind=" +
                             r.server_ip());
    });
    ASSERT_TRUE(r.server_listening(7600));
    std::thread cli([&] {
        r.exec("client", "timeout 100 python3 " + tmp.file("client.py") + " " + r.server_ip() + " 7600", &got);
    });
    EXPECT_TRUE(eventually([&] { return r.count("wan", "bytes_ba.byte_count") > (2u << 20); }, 20));

    // Path A cut both ways: each end switches to its secondary gateway.
    EXPECT_TRUE(r.write("wan", "loss_ab.drop_prob", "1") && r.write("wan", "loss_ba.drop_prob", "1"));
    double cut = now_s();
    EXPECT_TRUE(eventually([&] { return active("a", "10.77.1.253") && active("b", "10.77.2.253"); }, 30));
    double switched = now_s() - cut;
    cli.join();
    srv.join();
    size_t bytes = 0;
    std::string sha;
    double gap = 0, gap_end = 0;
    std::istringstream(got) >> bytes >> sha >> gap >> gap_end;
    EXPECT_EQ(bytes, big) << got;
    EXPECT_EQ(sha + "\n", want);
    EXPECT_GT(gap_end, cut);  // the longest pause is the one the cut made
    std::printf("path A cut: both on path B within %.1f s; the download's longest pause %.1f s, ended "
                "(first data over path B) %.1f s after the cut\n",
                switched, gap, gap_end - cut);

    // Path A heals: A takes it back after TIMEOUT + 2 healthy checks.
    EXPECT_TRUE(r.write("wan", "loss_ab.drop_prob", "0") && r.write("wan", "loss_ba.drop_prob", "0"));
    double healed = now_s();
    EXPECT_TRUE(eventually([&] { return active("a", "10.77.1.254"); }, 60));
    double back = now_s() - healed;
    std::printf("path A healed: A back on it within %.1f s\n", back);
    EXPECT_EQ(r.read("a", "pr.total_events"), "2");

    // Each end sends over its own active path: the upload crosses path A
    // (A's side), the download path B (B's side).
    for (bool up : {true, false}) {
        std::string dir = up ? "bytes_ab.byte_count" : "bytes_ba.byte_count";
        uint64_t a0 = r.count("wan", dir), b0 = r.count("wanb", dir);
        write_random_file(tmp.file("small"), 2 << 20, up ? 1 : 2);
        EXPECT_TRUE(up ? r.upload(tmp.file("small"), tmp.file("got"), 7601)
                       : r.download(tmp.file("small"), tmp.file("got"), 7602));
        EXPECT_TRUE(same_file(tmp.file("small"), tmp.file("got")));
        uint64_t on_a = r.count("wan", dir) - a0, on_b = r.count("wanb", dir) - b0;
        EXPECT_GT(up ? on_a : on_b, 2u << 20) << "up " << up;
        EXPECT_LT(up ? on_b : on_a, 200u << 10) << "up " << up;
    }
    // B, without preemption, stays on path B well past A's return.
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, healed + back + 10 - now_s())));
    EXPECT_TRUE(active("b", "10.77.2.253"));
    EXPECT_EQ(r.read("b", "pr.total_events"), "1");
    EXPECT_EQ(r.read("b", "pr.link_a"), "true");
}
