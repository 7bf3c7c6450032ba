// Live I/O over veth pairs in private network namespaces, through the
// quilo-router driver: a user-level bridge carrying ping and TCP, ARP
// answered and asked by the router, and the WAN emulator configuration.
// Needs root; skipped otherwise.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string sh_out(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string router_path() {
    const char* b = getenv("QUILO_BUILD_DIR");
    return std::string(b ? b : "build") + "/bin/quilo-router";
}

std::string source_path(const std::string& rel) {
    const char* s = getenv("QUILO_SOURCE_DIR");
    return std::string(s && *s ? s : QUILO_SOURCE_DIR_DEFAULT) + "/" + rel;
}

// Namespaces named after the test and the PID, deleted on destruction.
class Topology {
  public:
    explicit Topology(const std::string& tag) : _tag(tag + std::to_string(getpid() % 100000)) {}
    // Device names unique to this test process (tests may run in parallel).
    std::string dev(const std::string& n) const { return _tag + n; }
    ~Topology() {
        for (auto& n : _ns)
            sh("ip netns del " + n);
    }
    std::string ns(const std::string& n) {
        std::string full = "q" + _tag + n;
        sh("ip netns del " + full);
        if (sh("ip netns add " + full)) {
            _ns.push_back(full);
            sh("ip netns exec " + full + " ip link set lo up");
        }
        return full;
    }
    // veth pair a (in ns na) <-> b (in ns nb), up, offloads off.
    static bool link(const std::string& na, const std::string& a, const std::string& nb, const std::string& b) {
        if (!sh("ip link add " + a + " netns " + na + " type veth peer name " + b + " netns " + nb))
            return false;
        for (auto [n, d] : {std::pair{na, a}, std::pair{nb, b}}) {
            if (!sh("ip netns exec " + n + " ip link set " + d + " up"))
                return false;
            sh("ip netns exec " + n + " ethtool -K " + d + " tso off gso off gro off tx off rx off");
        }
        return true;
    }
    static bool addr(const std::string& n, const std::string& dev, const std::string& cidr) {
        return sh("ip netns exec " + n + " ip addr add " + cidr + " dev " + dev);
    }

  private:
    std::string _tag;
    std::vector<std::string> _ns;
};

// quilo-router running in a namespace; stopped (SIGTERM) on destruction.
class RouterProcess {
  public:
    RouterProcess(const std::string& ns, const std::vector<std::string>& args) {
        _log = "/tmp/quilo-hostelem-live-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".log";
        _sock = _log.substr(0, _log.size() - 4) + ".sock";
        _pid = fork();
        if (_pid == 0) {
            FILE* f = freopen(_log.c_str(), "w", stdout);
            (void) f;
            dup2(1, 2);
            // Raised priority: the latency figures should not depend on
            // whatever else the machine is compiling meanwhile.
            std::vector<std::string> all = {"ip", "netns", "exec", ns, "nice", "-n", "-10", router_path(), "-u", _sock};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp("ip", argv.data());
            _exit(127);
        }
    }
    ~RouterProcess() {
        stop();
        std::remove(_log.c_str());
        std::remove(_sock.c_str());
    }
    // Stops the router and returns its output.
    std::string stop() {
        if (_pid > 0) {
            kill(_pid, SIGTERM);
            int st;
            for (int i = 0; i < 500 && waitpid(_pid, &st, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (waitpid(_pid, &st, WNOHANG) == 0) {
                kill(_pid, SIGKILL);
                waitpid(_pid, &st, 0);
            }
            _pid = -1;
        }
        std::ifstream in(_log);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool alive() {
        int st;
        if (_pid > 0 && waitpid(_pid, &st, WNOHANG) == _pid)
            _pid = -1;   // exited (configuration error, ...)
        return _pid > 0;
    }
    // Waits (20 s at most) until the router runs: its control socket
    // appears once the router is built and its devices are open.
    bool ready() {
        for (int i = 0; i < 2000 && alive() && access(_sock.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return alive() && access(_sock.c_str(), F_OK) == 0;
    }

  private:
    static inline int counter = 0;
    pid_t _pid = -1;
    std::string _log, _sock;
};

#define SKIP_UNLESS_ROOT_AND_NETNS()                                                        \
    do {                                                                                    \
        if (geteuid() != 0)                                                                 \
            GTEST_SKIP() << "needs root (network namespaces, veth, packet sockets)";       \
        if (access(router_path().c_str(), X_OK) != 0)                                       \
            GTEST_SKIP() << "quilo-router not built at " << router_path();                 \
    } while (0)

// A and C joined through namespace BR, where `config` runs.
struct Bridged {
    Topology topo;
    std::string a, br, c;
    std::string b0, b1;   // the bridge's devices
    bool ok = false;
    explicit Bridged(const std::string& tag) : topo(tag) {
        a = topo.ns("a");
        br = topo.ns("br");
        c = topo.ns("c");
        b0 = topo.dev("b0");
        b1 = topo.dev("b1");
        ok = Topology::link(a, topo.dev("a0"), br, b0) && Topology::link(br, b1, c, topo.dev("c0")) &&
             Topology::addr(a, topo.dev("a0"), "10.77.0.1/24") && Topology::addr(c, topo.dev("c0"), "10.77.0.2/24");
    }
};

}  // namespace

TEST(HostElementsLive, UserLevelBridgeCarriesPingAndTcp) {
    SKIP_UNLESS_ROOT_AND_NETNS();
    Bridged t("lb");
    ASSERT_TRUE(t.ok);
    RouterProcess r(t.br, {"-e",
                           "fa :: FromDevice(" + t.b0 + ", PROMISC true) -> Queue -> ToDevice(" + t.b1 + ");"
                           "fb :: FromDevice(" + t.b1 + ", PROMISC true) -> Queue -> ToDevice(" + t.b0 + ");",
                           "-h", "fa.count", "-h", "fa.oversize"});
    ASSERT_TRUE(r.ready()) << r.stop();
    std::string ping = sh_out("ip netns exec " + t.a + " ping -c 5 -i 0.2 -W 2 10.77.0.2");
    EXPECT_NE(ping.find(" 0% packet loss"), std::string::npos) << ping;

    // 2 MB over TCP, compared byte for byte.
    std::string in = "/tmp/quilo-hostelem-tcp-in-" + std::to_string(getpid());
    std::string out = "/tmp/quilo-hostelem-tcp-out-" + std::to_string(getpid());
    ASSERT_TRUE(sh("head -c 2000000 /dev/urandom > " + in));
    std::string server = "ip netns exec " + t.c + " timeout 30 socat -u TCP-LISTEN:5001,reuseaddr OPEN:" + out +
                         ",creat,trunc";
    std::thread srv([&]() { sh(server); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool sent = false;
    for (int i = 0; i < 20 && !sent; ++i) {
        sent = sh("ip netns exec " + t.a + " timeout 30 socat -u OPEN:" + in + " TCP:10.77.0.2:5001");
        if (!sent)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    srv.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(sh("cmp " + in + " " + out));
    std::remove(in.c_str());
    std::remove(out.c_str());
    std::string log = r.stop();
    EXPECT_NE(log.find("fa.oversize:\n0\n"), std::string::npos) << log;
}

TEST(HostElementsLive, ArpAnsweredAndAskedOverVeth) {
    SKIP_UNLESS_ROOT_AND_NETNS();
    Topology topo("arp");
    std::string x = topo.ns("x"), y = topo.ns("y");
    std::string x0 = topo.dev("x0"), y0 = topo.dev("y0");
    ASSERT_TRUE(Topology::link(x, x0, y, y0));
    ASSERT_TRUE(Topology::addr(x, x0, "10.78.0.1/24"));
    std::string cfg =
        "in :: FromDevice(" + y0 + ") -> c :: Classifier(12/0806 20/0001, 12/0806 20/0002, -);"
        "out :: Queue -> ToDevice(" + y0 + ");"
        "c[0] -> arpr :: ARPResponder(10.78.0.2 02:00:00:00:78:02) -> out;"
        "c[1] -> [1] q :: ARPQuerier(10.78.0.2, 02:00:00:00:78:02, TABLE arpt);"
        "c[2] -> Discard;"
        "arpt :: ARPTable;"
        "FlowSource(PROTO udp, FLOWS 1, LENGTH 32, ETHER false, SRC 10.78.0.2, DST 10.78.0.1, LIMIT 3)"
        " -> [0] q -> out;";
    RouterProcess r(y, {"-e", cfg, "-h", "q.responses", "-h", "arpt.table", "-h", "arpr.replies"});
    ASSERT_TRUE(r.ready()) << r.stop();
    sh("ip netns exec " + x + " ping -c 2 -i 0.2 -W 1 10.78.0.2");   // the kernel asks for 10.78.0.2
    std::string neigh = sh_out("ip netns exec " + x + " ip neigh show 10.78.0.2");
    EXPECT_NE(neigh.find("02:00:00:00:78:02"), std::string::npos) << neigh;
    std::string log = r.stop();
    EXPECT_NE(log.find("q.responses:\n1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("arpr.replies:\n"), std::string::npos) << log;
    size_t e = log.find("10.78.0.1 1 ");
    ASSERT_NE(e, std::string::npos) << log;
    std::string mac = log.substr(e + 12, 17);
    EXPECT_EQ(mac.size(), 17u);
    EXPECT_EQ(mac.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << mac;
    EXPECT_EQ(mac[2], '-');
}

TEST(HostElementsLive, WanEmulatorDelayAndLoss) {
    SKIP_UNLESS_ROOT_AND_NETNS();
    Bridged t("wan");
    ASSERT_TRUE(t.ok);
    RouterProcess r(t.br, {source_path("conf/wan-emulator.click"), "DEV_A=" + t.b0, "DEV_B=" + t.b1, "DELAY_AB=20ms",
                           "DELAY_BA=20ms", "LOSS_AB=0.01", "LOSS_BA=0.01", "-h", "loss_ab.drops", "-h",
                           "loss_ba.drops", "-h", "link_ab.count"});
    ASSERT_TRUE(r.ready()) << r.stop();
    // Neighbours first: a lost ARP request costs a one-second retry, and
    // the pings queued behind it would swamp the delay being measured.
    sh("ip netns exec " + t.a + " ping -c 3 -i 0.2 -W 1 10.77.0.2");
    std::string ping = sh_out("ip netns exec " + t.a + " nice -n -10 ping -q -c 300 -i 0.01 -W 2 10.77.0.2");
    // "... 1.33333% packet loss ..." and "rtt min/avg/max/mdev = 40.1/41.2/45.3/0.9 ms"
    size_t lp = ping.find("% packet loss"), rp = ping.find("rtt min/avg/max/mdev = ");
    ASSERT_TRUE(lp != std::string::npos && rp != std::string::npos) << ping << "\n" << r.stop();
    size_t ls = ping.rfind(' ', lp);
    double loss = std::stod(ping.substr(ls + 1, lp - ls - 1));
    double mn, avg;
    ASSERT_EQ(sscanf(ping.c_str() + rp, "rtt min/avg/max/mdev = %lf/%lf/", &mn, &avg), 2) << ping;
    EXPECT_GE(avg, 35);
    EXPECT_LE(avg, 60);
    EXPECT_GE(loss, 0.3);
    EXPECT_LE(loss, 6);
    std::string log = r.stop();
    EXPECT_NE(log.find("loss_ab.drops:"), std::string::npos) << log;
}

namespace {

uint64_t rx_packets(const std::string& ns, const std::string& dev) {
    std::string out = sh_out("ip netns exec " + ns + " cat /sys/class/net/" + dev + "/statistics/rx_packets");
    return out.empty() ? 0 : std::stoull(out);
}

// Waits (up to 5 s) until `ns` has a packet socket open and, when `table`
// is set, an nftables table of that name prefix: the router is receiving.
bool wait_ready(const std::string& ns, const std::string& table = "") {
    for (int i = 0; i < 100; ++i) {
        std::string sockets = sh_out("ip netns exec " + ns + " cat /proc/net/packet");
        bool open = std::count(sockets.begin(), sockets.end(), '\n') > 1;   // a heading, then one line per socket
        if (open && (table.empty() || sh_out("ip netns exec " + ns + " nft list tables").find(table) != std::string::npos))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The handler value printed at exit for "name:\nvalue\n", or -1.
long long handler_value(const std::string& log, const std::string& name) {
    size_t p = log.find(name + ":\n");
    return p == std::string::npos ? -1 : std::atoll(log.c_str() + p + name.size() + 2);
}

}  // namespace

// SNIFFER true leaves frames to the host stack as well; SNIFFER false takes
// them away from it (the host no longer answers ping) until the router stops.
TEST(HostElementsLive, SnifferFalseTakesFramesFromTheHost) {
    SKIP_UNLESS_ROOT_AND_NETNS();
    Topology topo("snf");
    std::string x = topo.ns("x"), y = topo.ns("y");
    std::string x0 = topo.dev("x0"), y0 = topo.dev("y0");
    ASSERT_TRUE(Topology::link(x, x0, y, y0));
    ASSERT_TRUE(Topology::addr(x, x0, "10.79.0.1/24") && Topology::addr(y, y0, "10.79.0.2/24"));
    std::string ping = "ip netns exec " + x + " ping -c 3 -i 0.2 -W 1 10.79.0.2";
    for (bool sniffer : {true, false}) {
        std::string mode = sniffer ? "true" : "false";
        RouterProcess r(y, {"-e", "fd :: FromDevice(" + y0 + ", SNIFFER " + mode + ") -> Discard;", "-h", "fd.count", "-h", "fd.sniffer"});
        ASSERT_TRUE(wait_ready(y, sniffer ? "" : "quilo_fromdevice_")) << r.stop();
        ASSERT_TRUE(r.alive()) << r.stop();
        std::string tables = sh_out("ip netns exec " + y + " nft list tables");
        EXPECT_EQ(tables.find("quilo_fromdevice_") != std::string::npos, !sniffer) << tables;
        std::string out = sh_out(ping);
        if (sniffer)
            EXPECT_NE(out.find(" 0% packet loss"), std::string::npos) << out;
        else
            EXPECT_NE(out.find("100% packet loss"), std::string::npos) << out;
        std::string log = r.stop();
        EXPECT_GE(handler_value(log, "fd.count"), 3) << log;   // the router saw the requests either way
        EXPECT_NE(log.find("fd.sniffer:\n" + mode), std::string::npos) << log;
        EXPECT_EQ(sh_out("ip netns exec " + y + " nft list tables").find("quilo_fromdevice_"), std::string::npos);
    }
    std::string out = sh_out(ping);
    EXPECT_NE(out.find(" 0% packet loss"), std::string::npos) << "host stack not given back: " << out;
}

// A device slower than the router: frames wait in the socket (small QUEUE,
// the send buffer fills) or are refused by the queue discipline (tiny tbf
// limit, ENOBUFS). Either way every frame arrives exactly once and the
// counters say so.
TEST(HostElementsLive, ToDeviceBackPressureLosesNothing) {
    SKIP_UNLESS_ROOT_AND_NETNS();
    Topology topo("bp");
    std::string s = topo.ns("s"), d = topo.ns("d");
    for (auto& n : {s, d})
        sh("ip netns exec " + n + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
    std::string s0 = topo.dev("s0"), s1 = topo.dev("s1"), d0 = topo.dev("d0"), d1 = topo.dev("d1");
    ASSERT_TRUE(Topology::link(s, s0, d, d0) && Topology::link(s, s1, d, d1));
    // 2000 frames of 1000 bytes at 20 Mbit/s: about 0.8 s per device.
    ASSERT_TRUE(sh("ip netns exec " + s + " tc qdisc add dev " + s0 + " root tbf rate 20mbit burst 10kb limit 1mb"));
    ASSERT_TRUE(sh("ip netns exec " + s + " tc qdisc add dev " + s1 + " root tbf rate 20mbit burst 10kb limit 3000"));
    const int n = 2000;
    std::string src = "FlowSource(PROTO udp, FLOWS 4, LENGTH 958, LIMIT " + std::to_string(n) + ")";
    RouterProcess r(s, {"-e",
                        src + " -> qa :: Queue(4000) -> ta :: ToDevice(" + s0 + ", QUEUE 8);" + src +
                            " -> qb :: Queue(4000) -> tb :: ToDevice(" + s1 + ");",
                        "-h", "ta.count", "-h", "ta.drops", "-h", "ta.blocked", "-h", "ta.queue", "-h", "qa.drops", "-h",
                        "tb.count", "-h", "tb.drops", "-h", "tb.blocked", "-h", "qb.drops"});
    for (int i = 0; i < 100 && (rx_packets(d, d0) < n || rx_packets(d, d1) < n); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));   // nothing extra may follow
    EXPECT_EQ(rx_packets(d, d0), uint64_t(n));
    EXPECT_EQ(rx_packets(d, d1), uint64_t(n));
    std::string log = r.stop();
    for (const char* t : {"ta", "tb"}) {
        std::string e(t);
        EXPECT_EQ(handler_value(log, e + ".count"), n) << log;
        EXPECT_EQ(handler_value(log, e + ".drops"), 0) << log;
        EXPECT_GT(handler_value(log, e + ".blocked"), 0) << log;
        EXPECT_EQ(handler_value(log, "q" + e.substr(1) + ".drops"), 0) << log;
    }
    EXPECT_EQ(handler_value(log, "ta.queue"), 8) << log;
    // The small tbf queue did refuse frames; ToDevice sent them again.
    std::string qd = sh_out("ip netns exec " + s + " tc -s qdisc show dev " + s1);
    EXPECT_EQ(qd.find("dropped 0,"), std::string::npos) << qd;
}
