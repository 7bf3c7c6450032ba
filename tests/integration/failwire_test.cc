// Fail-to-wire: the appliances of a pair run under quilo-supervisor
// (scripts/pair.sh --supervise). A killed or hung router leaves the wire
// open through the kernel until a new router answers.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "pairrig.hh"

using namespace pairtest;

namespace {

double wall_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

pid_t router_pid(PairRig& r) {
    std::ifstream f(r.state_dir() + "/a.router.pid");
    pid_t p = 0;
    f >> p;
    return p;
}

bool kernel_path(PairRig& r) {
    return r.exec("a", "tc filter show dev lan0 ingress | grep -q mirred && "
                       "tc filter show dev wan0 ingress | grep -q mirred") == 0;
}

// Waits (bounded) until `done` holds; the seconds it took, or -1.
template <class F>
double wait_until(F done, double limit_s) {
    double t0 = wall_now();
    while (wall_now() - t0 < limit_s) {
        if (done())
            return wall_now() - t0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// From `ping -D` output: seconds from `t` until the first request sent
// after every request that went unanswered near `t` (send time = receive
// time - round trip); 0 when none was lost.
double outage_after(const std::string& ping, double t) {
    std::map<int, double> sent;   // icmp_seq -> send time of answered requests
    std::istringstream in(ping);
    std::string line;
    while (std::getline(in, line)) {
        double rx, rtt;
        int seq;
        size_t s = line.find("icmp_seq="), m = line.find("time=");
        if (line.empty() || line[0] != '[' || s == std::string::npos || m == std::string::npos)
            continue;
        if (sscanf(line.c_str() + 1, "%lf", &rx) != 1 || sscanf(line.c_str() + s + 9, "%d", &seq) != 1 ||
            sscanf(line.c_str() + m + 5, "%lf", &rtt) != 1)
            continue;
        sent.emplace(seq, rx - rtt / 1000);
    }
    double end = t;
    int prev = -1;
    for (auto& [seq, when] : sent) {
        if (prev >= 0 && seq > prev + 1 && when > t - 0.5)
            end = std::max(end, when);   // first answered request after a gap
        prev = seq;
    }
    return end - t;
}

// Gone, or a zombie that nobody has reaped yet.
bool gone(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(f, stat);
    size_t p = stat.rfind(')');
    return !f || p == std::string::npos || stat.compare(p, 3, ") Z") == 0;
}

}  // namespace

// SIGKILL with a ping and a stream of short TCP connections running: frames
// cross again within 1 s and later connections complete; the restarted
// router takes over (kernel path gone, new sessions in the tunnel); a router
// stopped with SIGSTOP counts as failed within the hang timeout.
TEST(FailToWire, KillAndHangOpenTheKernelPathUntilANewRouterAnswers) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    PairOptions o;
    o.supervise = true;
    // The first restart waits 2 s: until then only the kernel path can carry
    // frames. A hang timeout of 3 s: a router starved of CPU on a loaded
    // machine must not count as hung.
    o.env = {"QUILO_HANG_TIMEOUT=3", "QUILO_RESTART_DELAY=2"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    pid_t first = router_pid(r);
    ASSERT_GT(first, 0);
    EXPECT_FALSE(kernel_path(r));

    ASSERT_EQ(r.exec("server", "timeout 60 socat TCP-LISTEN:7100,fork,reuseaddr,bind=10.77.0.2 SYSTEM:'echo ok' "
                               ">/dev/null 2>&1 &"),
              0);
    ASSERT_TRUE(r.server_listening(7100));
    // Short connections first, each line "start-time result" in a file; the
    // kill waits until a few have completed (a loaded machine is slow to
    // start them), with a ping running.
    const std::string conns_file = r.state_dir() + "/conns";
    std::string pings;
    std::thread shorts([&] {
        r.exec("client", "i=0; while [ $i -lt 60 ]; do t=$(date +%s.%N); "
                         "o=$(timeout 15 socat -t 5 - TCP:10.77.0.2:7100,connect-timeout=10 </dev/null 2>/dev/null); "
                         "echo \"$t $o\" >>" + conns_file + "; i=$((i+1)); sleep 0.05; done");
    });
    auto completed = [&] {
        std::string n;
        r.exec("client", "grep -c ' ok$' " + conns_file + " 2>/dev/null", &n);
        return std::atoi(n.c_str());
    };
    EXPECT_GE(wait_until([&] { return completed() >= 3; }, 30), 0);
    const std::string ping_file = r.state_dir() + "/ping";
    std::thread ping([&] { r.exec("client", "ping -D -n -i 0.005 -c 800 -W 1 10.77.0.2 >" + ping_file); });
    EXPECT_GE(wait_until([&] { return r.exec("client", "test $(grep -c ' bytes from' " + ping_file + ") -ge 50") == 0; },
                         30),
              0);
    const double killed = wall_now();
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ping.join();
    shorts.join();
    std::string conns;
    r.exec("client", "cat " + conns_file, &conns);
    r.exec("client", "cat " + ping_file, &pings);

    const double outage = outage_after(pings, killed);
    printf("fail-to-wire outage, kill to the first frame across: %.0f ms\n", outage * 1000);
    RecordProperty("outage_ms", int(outage * 1000));
    EXPECT_LT(outage, 1.0) << pings.substr(pings.size() > 3000 ? pings.size() - 3000 : 0);
    int before = 0, after = 0, failed_after = 0;
    std::istringstream in(conns);
    std::string line;
    while (std::getline(in, line)) {
        double t = std::atof(line.c_str());
        bool ok = line.size() >= 3 && line.compare(line.size() - 3, 3, " ok") == 0;
        if (t < killed)
            before += ok;
        else if (t > killed + 1) {
            ++after;
            failed_after += !ok;
        }
    }
    EXPECT_GE(before, 3) << conns;
    EXPECT_GT(after, 5) << conns;
    EXPECT_EQ(failed_after, 0) << conns;

    // The supervisor's new router answers: the kernel path is gone, and new
    // sessions are carried by the tunnel again.
    EXPECT_GE(wait_until([&] { return router_pid(r) != first && router_pid(r) > 0 && !kernel_path(r); }, 30), 0);
    ASSERT_TRUE(r.wait_tunnel()) << r.error();
    std::string src = r.state_dir() + "/text", dst = r.state_dir() + "/text.copy";
    write_text_file(src, 256 << 10);
    ASSERT_TRUE(r.download(src, dst, 7101));
    EXPECT_TRUE(same_file(src, dst));
    EXPECT_GE(r.count("a", "wanprobe.registered_count"), 1u);
    EXPECT_GT(r.count("a", "peer1/dec.decompressed") + r.count("a", "peer1/dec.uncompressed"), 10u);

    // A hang: the supervisor gives up on the stopped router within its
    // timeout (3 s, probes every 0.2 s; the rest is slack for a loaded
    // machine), and frames cross again.
    pid_t second = router_pid(r);
    ASSERT_EQ(kill(second, SIGSTOP), 0);
    double detected = wait_until([&] { return kernel_path(r); }, 10);
    printf("SIGSTOP to kernel path: %.0f ms\n", detected * 1000);
    EXPECT_GE(detected, 2.8);
    EXPECT_LT(detected, 5);
    EXPECT_EQ(r.exec("client", "ping -n -c 3 -i 0.2 -W 2 10.77.0.2 >/dev/null"), 0);
    std::string log;
    r.exec("a", "grep -c 'stopped answering on its control socket' " + r.state_dir() + "/a.log", &log);
    EXPECT_EQ(log, "1\n");
    EXPECT_GE(wait_until([&] { return router_pid(r) != second && router_pid(r) > 0 && !kernel_path(r); }, 30), 0);
}

// As a service manager runs it: the kernel path holds until the router
// answers (here a router that takes a second to start), and SIGTERM stops
// the router and leaves the interfaces as they were found.
TEST(FailToWire, SigtermStopsTheRouterAndTidiesTheInterfaces) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    const std::string ns = "qsv" + std::to_string(getpid()), in = "ip netns exec " + ns + " ";
    ASSERT_EQ(run("ip netns add " + ns + " && " + in + "ip link add l0 type veth peer name w0 && " + in +
                  "ip link set l0 up && " + in + "ip link set w0 up"),
              0);
    TempDir dir;
    const std::string slow = dir.file("slow-router"), pid_file = dir.file("router.pid");
    {
        std::ofstream f(slow);
        f << "#!/bin/sh\nsleep 1\nexec " << build_dir() << "/bin/quilo-router \"$@\"\n";
    }
    chmod(slow.c_str(), 0755);
    std::string pid;
    ASSERT_EQ(run(in + "env QUILO_ROUTER=" + slow + " QUILO_ROUTER_PID_FILE=" + pid_file + " " + build_dir() +
                      "/bin/quilo-supervisor --lan l0 --wan w0 --socket " + dir.file("ctl.sock") +
                      " -- -e 'Idle -> Discard;' >" + dir.file("log") + " 2>&1 & echo $!",
                  &pid),
              0);
    const pid_t supervisor = std::atoi(pid.c_str());
    auto filters = [&] {
        std::string out;
        run(in + "tc filter show dev l0 ingress; " + in + "tc filter show dev w0 ingress", &out);
        return out;
    };
    EXPECT_GE(wait_until([&] { return filters().find("mirred") != std::string::npos; }, 10), 0);
    EXPECT_GE(wait_until([&] { return filters().find("mirred") == std::string::npos; }, 20), 0);
    std::ifstream pf(pid_file);
    pid_t router = 0;
    pf >> router;
    EXPECT_GT(router, 0);

    ASSERT_EQ(kill(supervisor, SIGTERM), 0);
    EXPECT_GE(wait_until([&] { return gone(supervisor); }, 20), 0);
    std::string links, qdiscs, log;
    run(in + "ip -o link show; " + in + "tc qdisc show", &links);
    run("cat " + dir.file("log"), &log);
    EXPECT_EQ(links.find("PROMISC"), std::string::npos) << links;
    EXPECT_EQ(links.find("clsact"), std::string::npos) << links;
    EXPECT_TRUE(router <= 0 || gone(router)) << "the router outlives its supervisor";
    EXPECT_NE(access(pid_file.c_str(), F_OK), 0);
    EXPECT_NE(log.find("stopped; kernel path removed"), std::string::npos) << log;
    run("ip netns del " + ns);
}
