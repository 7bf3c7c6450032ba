// A dual-WAN pair (scripts/pair.sh -2): path A is cut in the middle of a
// long download, both appliances fail over to path B and the transfer
// completes; once path A heals, A (PREEMPT true) returns to it and B
// (PREEMPT false) stays on path B.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "pairrig.hh"

using namespace pairtest;
using Clock = std::chrono::steady_clock;

namespace {

// One connection to a router's control socket, for polling handlers far
// faster than pair.sh can (it starts a shell and a Python per call).
class Ctl {
  public:
    explicit Ctl(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        timeval tv{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || line().empty()) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Ctl() {
        if (fd_ >= 0)
            close(fd_);
    }
    // The handler's value (empty on failure).
    std::string read(const std::string& handler) {
        std::string cmd = "READ " + handler + "\n";
        if (fd_ < 0 || send(fd_, cmd.data(), cmd.size(), MSG_NOSIGNAL) != ssize_t(cmd.size()) ||
            line().compare(0, 3, "200") != 0)
            return "";
        std::string data = line();
        size_t n = data.compare(0, 5, "DATA ") == 0 ? std::strtoul(data.c_str() + 5, nullptr, 10) : 0;
        std::string v;
        char c;
        while (v.size() < n && recv(fd_, &c, 1, 0) == 1)
            v += c;
        while (!v.empty() && v.back() == '\n')
            v.pop_back();
        return v;
    }
    uint64_t count(const std::string& handler) { return std::strtoull(read(handler).c_str(), nullptr, 10); }

  private:
    std::string line() {
        std::string s;
        char c;
        while (recv(fd_, &c, 1, 0) == 1 && c != '\n')
            s += c;
        return s;
    }
    int fd_;
};

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

template <typename F>
bool eventually(F f, double secs) {
    for (auto t = Clock::now(); since(t) < secs; std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        if (f())
            return true;
    return false;
}

}  // namespace

TEST(PairDualWan, FailsOverToPathBAndPreemptionDecidesTheWayBack) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    const size_t big = 16 << 20;
    write_random_file(tmp.file("big"), big, 21);
    PairOptions o;
    o.dual_wan = true;
    o.defines = {"TIMEOUT=2", "RTT_SECS=1"};
    o.defines_b = {"PREEMPT=false"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    Ctl a(r.state_dir() + "/a.sock"), b(r.state_dir() + "/b.sock");
    Ctl path_a(r.state_dir() + "/wan.sock"), path_b(r.state_dir() + "/wanb.sock");
    // The first check, 20 s after start, finds both gateways of each site.
    ASSERT_TRUE(eventually(
        [&] {
            for (Ctl* c : {&a, &b})
                if (c->read("pr.primary_mac") == "unknown" || c->read("pr.secondary_mac") == "unknown")
                    return false;
            return true;
        },
        40));

    // A download that records the longest pause between received bytes.
    std::ofstream(tmp.file("client.py")) << R"(
import hashlib, socket, sys, time
for i in range(100):
    try:
        s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=60); break
    except OSError:
        time.sleep(0.1)
h = hashlib.sha256(); n = 0; gap = 0.0; last = time.monotonic()
while True:
    d = s.recv(1 << 16)
    now = time.monotonic()
    if not d: break
    gap = max(gap, now - last); last = now; n += len(d); h.update(d)
print(n, h.hexdigest(), "%.3f" % gap)
)";
    std::string want, got;
    run("sha256sum " + tmp.file("big") + " | cut -d' ' -f1", &want);
    std::thread srv([&] {
        r.exec("server", "timeout 100 socat -u OPEN:" + tmp.file("big") +
                             ",rdonly TCP-LISTEN:7600,reuseaddr,bind=" + r.server_ip());
    });
    ASSERT_TRUE(r.server_listening(7600));
    std::thread cli(
        [&] { r.exec("client", "timeout 100 python3 " + tmp.file("client.py") + " " + r.server_ip() + " 7600", &got); });
    EXPECT_TRUE(eventually([&] { return path_a.count("bytes_ba.byte_count") > (2u << 20); }, 20));

    // Cut path A both ways; time the first data frame that crosses path B
    // towards A, and the switches.
    EXPECT_TRUE(r.write("wan", "loss_ab.drop_prob", "1") && r.write("wan", "loss_ba.drop_prob", "1"));
    auto cut = Clock::now();
    double first_b = -1, switched_a = -1, switched_b = -1;
    uint64_t last = path_b.count("bytes_ba.byte_count");
    while (since(cut) < 40 && (first_b < 0 || switched_a < 0 || switched_b < 0)) {
        uint64_t now = path_b.count("bytes_ba.byte_count");
        if (first_b < 0 && now - last >= 1000)
            first_b = since(cut);
        last = now;
        if (switched_a < 0 && a.read("pr.active") == "10.77.1.253")
            switched_a = since(cut);
        if (switched_b < 0 && b.read("pr.active") == "10.77.2.253")
            switched_b = since(cut);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    cli.join();
    srv.join();
    std::istringstream res(got);
    size_t bytes = 0;
    std::string sha;
    double gap = -1;
    res >> bytes >> sha >> gap;
    EXPECT_EQ(bytes, big) << got;
    EXPECT_EQ(sha + "\n", want);
    EXPECT_GT(switched_a, 0);
    EXPECT_GT(switched_b, 0);
    EXPECT_GT(first_b, 0);
    std::printf("path A cut: A on path B after %.1f s, B after %.1f s, first data on path B after %.1f s; "
                "longest pause of the download %.1f s\n",
                switched_a, switched_b, first_b, gap);

    // Path A heals: A takes it back after TIMEOUT + 2 healthy checks.
    EXPECT_TRUE(r.write("wan", "loss_ab.drop_prob", "0") && r.write("wan", "loss_ba.drop_prob", "0"));
    auto healed = Clock::now();
    EXPECT_TRUE(eventually([&] { return a.read("pr.active") == "10.77.1.254"; }, 60));
    double back = since(healed);
    std::printf("path A healed: A back on it after %.1f s\n", back);
    EXPECT_EQ(a.read("pr.total_events"), "2");

    // Each end's traffic takes its own active path: the upload crosses path
    // A (A's side), the download path B (B's side).
    auto moved = [&](bool up, int port) {
        std::string dir = up ? "bytes_ab.byte_count" : "bytes_ba.byte_count";
        uint64_t a0 = path_a.count(dir), b0 = path_b.count(dir);
        write_random_file(tmp.file("small"), 2 << 20, uint32_t(port));
        EXPECT_TRUE(up ? r.upload(tmp.file("small"), tmp.file("got"), port)
                       : r.download(tmp.file("small"), tmp.file("got"), port));
        EXPECT_TRUE(same_file(tmp.file("small"), tmp.file("got")));
        return std::make_pair(path_a.count(dir) - a0, path_b.count(dir) - b0);
    };
    auto [up_a, up_b] = moved(true, 7601);
    EXPECT_GT(up_a, 2u << 20);
    EXPECT_LT(up_b, 200u << 10);
    auto [down_a, down_b] = moved(false, 7602);
    EXPECT_LT(down_a, 200u << 10);
    EXPECT_GT(down_b, 2u << 20);
    // B, without preemption, stays on path B well past the moment A returned.
    while (since(healed) < back + 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(b.read("pr.active"), "10.77.2.253");
    EXPECT_EQ(b.read("pr.total_events"), "1");
    EXPECT_EQ(b.read("pr.link_a"), "true");
}
