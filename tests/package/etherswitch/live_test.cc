// Three hosts, each in a network namespace of its own, joined through a
// fourth namespace where quilo-router runs a learning switch on packet
// sockets. Ping must work exactly between the pairs of hosts that the
// switch's rules allow, and the switch's table must list every host's
// address on its port. Needs root; skipped otherwise.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string sh_out(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string build_dir() {
    const char* b = getenv("QUILO_BUILD_DIR");
    return b ? b : "build";
}

// Namespaces h0, h1, h2 (10.79.0.1 to .3) with one veth each into namespace
// sw, where the switch's ports 0, 1 and 2 are their peers. Removed on
// destruction, with the router.
class SwitchedHosts {
  public:
    SwitchedHosts() : _tag("es" + std::to_string(getpid() % 100000)), _sock("/tmp/quilo-" + _tag + ".sock") {
        ok = add_ns("sw");
        for (int i = 0; i < 3 && ok; ++i) {
            std::string h = "h" + std::to_string(i);
            ok = add_ns(h) &&
                 sh("ip link add e0 netns " + ns(h) + " type veth peer name " + port(i) + " netns " + ns("sw")) &&
                 in(h, "sysctl -qw net.ipv6.conf.all.disable_ipv6=1") &&
                 in(h, "ip addr add 10.79.0." + std::to_string(i + 1) + "/24 dev e0") && in(h, "ip link set e0 up") &&
                 in("sw", "ip link set " + port(i) + " up");
            for (const std::string& n : {h, std::string("sw")})
                in(n, "ethtool -K " + std::string(n == "sw" ? port(i) : "e0") + " tso off gso off gro off tx off rx off");
        }
    }
    ~SwitchedHosts() {
        stop();
        for (auto it = _made.rbegin(); it != _made.rend(); ++it)
            sh("ip netns del " + *it);
    }
    std::string ns(const std::string& n) const { return "q" + _tag + n; }
    std::string port(int i) const { return _tag + "p" + std::to_string(i); }
    bool in(const std::string& n, const std::string& cmd) const { return sh("ip netns exec " + ns(n) + " " + cmd); }
    std::string mac(int i) const {
        std::string m = sh_out("ip netns exec " + ns("h" + std::to_string(i)) + " cat /sys/class/net/e0/address");
        return m.substr(0, m.find('\n'));
    }

    // Runs `element` (a switch class with its arguments) as "sw" between
    // the three ports; true once its control socket answers.
    bool start(const std::string& element) {
        std::string conf = "require(package \"quilo\"); sw :: " + element + ";";
        for (int i = 0; i < 3; ++i) {
            std::string n = std::to_string(i);
            conf += "FromDevice(" + port(i) + ", PROMISC true) -> [" + n + "]sw[" + n + "] -> Queue -> ToDevice(" +
                    port(i) + ");";
        }
        _pid = std::atoi(sh_out("ip netns exec " + ns("sw") + " " + build_dir() + "/bin/quilo-router -u " + _sock +
                                " -e '" + conf + "' >/dev/null 2>&1 & echo $!")
                             .c_str());
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
            if (control("READ sw.timeout").find("200 Read handler") != std::string::npos)
                return true;
        return false;
    }
    void stop() {
        for (int i = 0; _pid > 0 && i < 300; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (kill(_pid, i < 200 ? SIGTERM : SIGKILL) != 0)
                _pid = -1;
        std::remove(_sock.c_str());
    }
    // One control-socket command ("READ sw.table"); the whole exchange.
    std::string control(const std::string& cmd) const {
        return sh_out("printf '%s\\nQUIT\\n' '" + cmd + "' | timeout 5 socat -t 2 - UNIX-CONNECT:" + _sock);
    }
    // Whether host `from` reaches host `to` with ping (three tries for a
    // pair that should: the first echo may wait for ARP).
    bool ping(int from, int to, bool expect) const {
        for (int k = 0; k < (expect ? 3 : 2); ++k)
            if (in("h" + std::to_string(from), "ping -c 1 -W 1 10.79.0." + std::to_string(to + 1)))
                return true;
        return false;
    }
    // Which of the pairs 0-1, 0-2 and 1-2 ping works between.
    std::vector<bool> reachable(std::vector<bool> expected) const {
        return {ping(0, 1, expected[0]), ping(0, 2, expected[1]), ping(1, 2, expected[2])};
    }

    bool ok = false;

  private:
    bool add_ns(const std::string& n) {
        sh("ip netns del " + ns(n));
        if (!sh("ip netns add " + ns(n)))
            return false;
        _made.push_back(ns(n));
        return in(n, "ip link set lo up");
    }
    std::string _tag, _sock;
    std::vector<std::string> _made;
    pid_t _pid = -1;
};

#define SKIP_UNLESS_ROOT_AND_ROUTER()                                                      \
    do {                                                                                   \
        if (geteuid() != 0)                                                                \
            GTEST_SKIP() << "needs root (network namespaces, veth, packet sockets)";      \
        if (access((build_dir() + "/bin/quilo-router").c_str(), X_OK) != 0)                \
            GTEST_SKIP() << "quilo-router not built in " << build_dir();                  \
    } while (0)

void expect_table(const SwitchedHosts& t) {
    std::string table = t.control("READ sw.table");
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(table.find(t.mac(i) + " " + std::to_string(i) + "\n"), std::string::npos)
            << "host " << i << " " << t.mac(i) << " in:\n"
            << table;
}

}  // namespace

TEST(EtherSwitchLive, WEtherSwitchKeepsPortsZeroAndOneApart) {
    SKIP_UNLESS_ROOT_AND_ROUTER();
    SwitchedHosts t;
    ASSERT_TRUE(t.ok);
    ASSERT_TRUE(t.start("WEtherSwitch"));
    std::vector<bool> want = {false, true, true};
    EXPECT_EQ(t.reachable(want), want);
    expect_table(t);
}

TEST(EtherSwitchLive, XEtherSwitchBlocksOnePairOfPorts) {
    SKIP_UNLESS_ROOT_AND_ROUTER();
    SwitchedHosts t;
    ASSERT_TRUE(t.ok);
    ASSERT_TRUE(t.start("XEtherSwitch(TIMEOUT 60)"));
    std::string w = t.control("WRITE sw.remove_port_forwarding SOURCE 0 OUTPORT 2, SOURCE 2 OUTPORT 0");
    ASSERT_NE(w.find("200 Write handler"), std::string::npos) << w;
    std::vector<bool> want = {true, false, true};
    EXPECT_EQ(t.reachable(want), want);
    expect_table(t);
    EXPECT_NE(t.control("WRITE sw.reset_port_forwarding").find("200 Write handler"), std::string::npos);
    EXPECT_TRUE(t.ping(0, 2, true));
}
