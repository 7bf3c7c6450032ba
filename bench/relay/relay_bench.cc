// relay_bench: sockbridge against socat and a direct path, in one run and one
// topology (client, relay host, server namespaces; see relay_topology.hh).
//
//   direct     client -> server, routed through the relay host
//   sockbridge client -> server, diverted by tproxy to sockbridge
//   socat      client -> socat forwarder on the relay host -> server
//
// Measures single-connection and 100-connection throughput, then sockbridge's
// resident memory with as many idle relayed connections as its descriptor
// limit allows (10,000 at most by default), and then 100 busy connections
// echoing data through it beside the idle ones, every byte checked.  Needs
// root.  Every
// phase is bounded in time and count; namespaces and processes are removed
// at the end.
//
// Usage: relay_bench [seconds per throughput run, default 3] [idle connections, default 10000] [memory]
// ("memory" skips the throughput runs).  RELAY_BENCH_BASELINE=PATH measures
// another sockbridge binary's throughput in the same run as well.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "relay_topology.hh"

using namespace relaytest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRelayedPort = 9000;  // diverted to sockbridge
constexpr int kDirectPort = 9001;   // not diverted
constexpr int kSocatPort = 5000;    // socat's listening port on the relay host
constexpr int kBusy = 100;          // busy connections beside the idle ones

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Receives and discards on every connection accepted on `lfd` until `n`
// connections have ended; returns the byte count and the receiving time.
struct SinkResult {
    uint64_t bytes = 0;
    double seconds = 0;
};

SinkResult sink(int lfd, int n, int timeout_s) {
    SinkResult r;
    std::vector<pollfd> fds;
    std::vector<char> buf(1 << 18);
    auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    Clock::time_point start{};
    bool started = false;
    int accepted = 0, ended = 0;
    while (ended < n && Clock::now() < deadline) {
        std::vector<pollfd> p;
        if (accepted < n)
            p.push_back({lfd, POLLIN, 0});
        for (auto& f : fds)
            if (f.fd >= 0)
                p.push_back({f.fd, POLLIN, 0});
        if (poll(p.data(), p.size(), 200) <= 0)
            continue;
        for (auto& q : p) {
            if (!(q.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (q.fd == lfd) {
                int fd = accept_within(lfd, 0);
                if (fd >= 0) {
                    set_nonblocking(fd);
                    fds.push_back({fd, POLLIN, 0});
                    ++accepted;
                }
                continue;
            }
            ssize_t got;
            while ((got = recv(q.fd, buf.data(), buf.size(), 0)) > 0) {
                if (!started) {
                    start = Clock::now();
                    started = true;
                }
                r.bytes += static_cast<uint64_t>(got);
            }
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                for (auto& f : fds)
                    if (f.fd == q.fd) {
                        close(f.fd);
                        f.fd = -1;
                    }
                ++ended;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    r.seconds = started ? seconds_since(start) : 0;
    return r;
}

// Opens `n` connections from the client namespace and sends on all of them
// for `seconds`, then closes them.  Returns the number that connected.
int blast(const std::string& ns, const char* ip, int port, int n, double seconds) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int fd = tcp_connect(ns, ip, port, 3000);
        if (fd < 0)
            break;
        set_nonblocking(fd);
        fds.push_back(fd);
    }
    const std::string chunk = pattern(1 << 16, 9);
    auto start = Clock::now();
    std::vector<pollfd> p;
    for (int fd : fds)
        p.push_back({fd, POLLOUT, 0});
    while (!fds.empty() && seconds_since(start) < seconds) {
        if (poll(p.data(), p.size(), 100) <= 0)
            continue;
        for (auto& q : p)
            if (q.revents & POLLOUT)
                (void)send(q.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    }
    for (int fd : fds)
        close(fd);
    return static_cast<int>(fds.size());
}

// Throughput of `conns` connections sending for `seconds`.
struct Throughput {
    double gbps = -1;  // negative on failure
    double gigabytes = 0;
};

Throughput throughput(const Topology& topo, int listen_fd, const char* ip, int port, int conns, double seconds) {
    SinkResult r;
    std::thread receiver([&] { r = sink(listen_fd, conns, static_cast<int>(seconds) + 20); });
    int connected = blast(topo.client(), ip, port, conns, seconds);
    receiver.join();
    Throughput t;
    if (connected != conns || r.seconds <= 0)
        return t;
    t.gbps = static_cast<double>(r.bytes) * 8 / r.seconds / 1e9;
    t.gigabytes = static_cast<double>(r.bytes) / 1e9;
    return t;
}

bool wait_for_port(const std::string& ns, const char* ip, int port) {
    for (int i = 0; i < 100; ++i) {
        int fd = tcp_connect(ns, ip, port, 200);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(20000);
    }
    return false;
}

std::string socat_path() {
    for (const char* p : {"/usr/bin/socat", "/bin/socat", "/usr/local/bin/socat"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

int fd_count(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Resident memory of sockbridge with `n` idle relayed connections, in KB
// per connection pair (negative on failure); then `busy` more connections
// that move data both ways while the idle ones stay open, every byte
// checked.  The server ends of the idle connections are held by a child
// process so that no process needs more descriptors than the limit.
double idle_and_busy(const Topology& topo, int n, int busy, long* base_kb, long* loaded_kb) {
    RelayProcess relay({.netns = topo.relay(), .args = {"-p", std::to_string(kRelayPort)}});
    if (!relay.wait_started()) {
        fprintf(stderr, "sockbridge did not start: %s\n", relay.err().c_str());
        return -1;
    }
    int lfd = tcp_listen(topo.server(), kServerIp, kRelayedPort);
    int busy_l = tcp_listen(topo.server(), kServerIp, kDirectPort + 1);
    if (lfd < 0 || busy_l < 0) {
        perror("server socket");
        return -1;
    }
    *base_kb = relay.rss_kb();
    // Two descriptors a pair, within the relay's limit: whatever it holds
    // already stays, and busy directions may hold pipes (or copy without).
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const int room = (static_cast<int>(lim.rlim_max) - fd_count(relay.pid()) - 8) / 2 - busy;
    if (n > room) {
        printf("note: the relay's descriptors allow %d idle pairs beside %d busy ones, not %d\n", room, busy, n);
        n = room;
    }

    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t holder = fork();
    if (holder == 0) {
        // Accept, answer one byte each, report the count, then hold until killed.
        close(ready[0]);
        std::vector<int> servers;
        auto deadline = Clock::now() + std::chrono::seconds(90);
        while (static_cast<int>(servers.size()) < n && Clock::now() < deadline) {
            int fd = accept_within(lfd, 200);
            if (fd < 0)
                continue;
            char c;
            if (recv(fd, &c, 1, 0) == 1)
                (void)send(fd, "y", 1, MSG_NOSIGNAL);
            servers.push_back(fd);
        }
        int count = static_cast<int>(servers.size());
        (void)write(ready[1], &count, sizeof count);
        for (;;)
            pause();
    }
    close(ready[1]);

    std::vector<int> clients;
    auto deadline = Clock::now() + std::chrono::seconds(90);
    for (int i = 0; i < n && Clock::now() < deadline; ++i) {
        int fd = tcp_connect(topo.client(), kServerIp, kRelayedPort, 3000);
        if (fd < 0)
            break;
        // One byte each way: every pair has relayed data and is idle now.
        (void)send(fd, "x", 1, MSG_NOSIGNAL);
        clients.push_back(fd);
    }
    int accepted = 0;
    if (read(ready[0], &accepted, sizeof accepted) != sizeof accepted)
        accepted = 0;
    close(ready[0]);
    int answered = 0;
    for (int fd : clients) {
        char c;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) == 1 && recv(fd, &c, 1, 0) == 1)
            ++answered;
    }
    usleep(500000);
    *loaded_kb = relay.rss_kb();
    const double per_pair = static_cast<double>(*loaded_kb - *base_kb) / n;
    printf("idle memory: %d pairs, RSS %ld KB -> %ld KB, %.2f KB per pair (goal < 16 KB)\n", n, *base_kb,
           *loaded_kb, per_pair);

    if (busy > 0) {
        const size_t bytes = 4 << 20;
        std::thread echo([&] { echo_server(busy_l, busy, 150000); });
        double secs = 0;
        int intact = echo_intact(topo.client(), kServerIp, kDirectPort + 1, busy, bytes, &secs);
        echo.join();
        int still = 0;
        for (int fd : clients) {
            pollfd p{fd, POLLIN, 0};
            still += poll(&p, 1, 0) == 0;   // nothing arrived, not closed
        }
        printf("busy beside idle: %d of %d connections echoed %zu MB each intact in %.1f s (%.2f Gbit/s each way); "
               "%d of %d idle pairs still open\n",
               intact, busy, bytes >> 20, secs, static_cast<double>(bytes) * intact * 8 / secs / 1e9, still, n);
        if (intact != busy || still != n)
            accepted = -1;
    }
    for (int fd : clients)
        close(fd);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(lfd);
    close(busy_l);
    relay.stop(SIGTERM, 10000);
    if (accepted != n || answered != n) {
        fprintf(stderr, "failed: %d of %d idle connections were set up (%d answered)\n", accepted, n, answered);
        return -1;
    }
    return per_pair;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool memory_only = argc > 3 && strcmp(argv[3], "memory") == 0;
    const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    int idle = argc > 2 ? atoi(argv[2]) : 10000;
    if (!is_root()) {
        fprintf(stderr, "relay_bench: needs root (network namespaces, transparent sockets)\n");
        return 1;
    }
    if (seconds <= 0 || seconds > 60 || idle <= 0 || idle > 50000) {
        fprintf(stderr, "usage: relay_bench [seconds 0-60] [idle connections 1-50000]\n");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    // The relay needs two descriptors per pair plus a few of its own, within
    // the hard limit that it raises its soft limit to.
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    const int max_idle = static_cast<int>((lim.rlim_max - 16) / 2);
    if (idle > max_idle) {
        printf("note: the open-file hard limit %lu allows %d idle pairs, not %d\n",
               static_cast<unsigned long>(lim.rlim_max), max_idle, idle);
        idle = max_idle;
    }

    Topology topo;
    if (!topo.ok()) {
        fprintf(stderr, "topology: %s\n", topo.error().c_str());
        return 1;
    }
    const std::string r = Topology::in(topo.relay());
    // The direct path and socat's own port are not diverted; deep backlogs for the idle run.
    sh(r + "nft 'insert rule ip qrelay pre iifname vc tcp dport { " + std::to_string(kDirectPort) +
       ", " + std::to_string(kSocatPort) + " } accept'");
    sh(r + "sysctl -qw net.core.somaxconn=65535");
    sh(Topology::in(topo.server()) + "sysctl -qw net.core.somaxconn=65535");

    if (memory_only)
        goto memory;
    {
    int relayed_l = tcp_listen(topo.server(), kServerIp, kRelayedPort);
    int direct_l = tcp_listen(topo.server(), kServerIp, kDirectPort);
    if (relayed_l < 0 || direct_l < 0) {
        fprintf(stderr, "server sockets failed\n");
        return 1;
    }

    RelayProcess relay({.netns = topo.relay(), .args = {"-p", std::to_string(kRelayPort)}});
    if (!relay.wait_started()) {
        fprintf(stderr, "sockbridge did not start: %s\n", relay.err().c_str());
        return 1;
    }
    const std::string socat = socat_path();
    std::unique_ptr<RelayProcess> socat_proc;
    if (!socat.empty()) {
        socat_proc = std::make_unique<RelayProcess>(RelayOptions{
            .netns = topo.relay(),
            .program = socat,
            .args = {"TCP-LISTEN:" + std::to_string(kSocatPort) + ",fork,reuseaddr,backlog=1024",
                     std::string("TCP:") + kServerIp + ":" + std::to_string(kRelayedPort)}});
        if (!wait_for_port(topo.client(), kRelayClientSideIp, kSocatPort)) {
            fprintf(stderr, "socat did not start\n");
            socat_proc.reset();
        } else {
            // The probe connection above reached the server: take it off.
            int fd = accept_within(relayed_l, 2000);
            if (fd >= 0)
                close(fd);
        }
    }

    printf("relay_bench: %.1f s per run, %s\n", seconds, socat.empty() ? "socat missing" : socat.c_str());
    // Throughput, and the relaying process's CPU time per GB moved (socat
    // counts its reaped per-connection children): the machine may be shared,
    // and CPU per byte does not depend on how much of it a process gets.
    double results[3][2], cpu_per_gb[3][2] = {{0, 0}, {0, 0}, {0, 0}};
    for (int conns_i = 0; conns_i < 2; ++conns_i) {
        const int conns = conns_i == 0 ? 1 : 100;
        results[0][conns_i] = throughput(topo, direct_l, kServerIp, kDirectPort, conns, seconds).gbps;
        double cpu0 = relay.cpu_seconds();
        Throughput t = throughput(topo, relayed_l, kServerIp, kRelayedPort, conns, seconds);
        results[1][conns_i] = t.gbps;
        cpu_per_gb[1][conns_i] = t.gigabytes > 0 ? (relay.cpu_seconds() - cpu0) / t.gigabytes : 0;
        results[2][conns_i] = -1;
        if (socat_proc) {
            cpu0 = socat_proc->cpu_seconds(true);
            t = throughput(topo, relayed_l, kRelayClientSideIp, kSocatPort, conns, seconds);
            results[2][conns_i] = t.gbps;
            usleep(300000);  // let socat reap its children
            cpu_per_gb[2][conns_i] = t.gigabytes > 0 ? (socat_proc->cpu_seconds(true) - cpu0) / t.gigabytes : 0;
        }
    }
    printf("%-12s %14s %16s %18s %18s\n", "path", "1 conn Gbit/s", "100 conn Gbit/s", "1 conn CPU s/GB",
           "100 conn CPU s/GB");
    const char* names[3] = {"direct", "sockbridge", "socat"};
    for (int i = 0; i < 3; ++i)
        printf("%-12s %14.2f %16.2f %18.2f %18.2f\n", names[i], results[i][0], results[i][1], cpu_per_gb[i][0],
               cpu_per_gb[i][1]);
    for (int c = 0; c < 2; ++c) {
        printf("%s: sockbridge/socat %.2f, sockbridge/direct %.2f\n", c == 0 ? "1 conn" : "100 conn",
               results[2][c] > 0 ? results[1][c] / results[2][c] : 0.0,
               results[0][c] > 0 ? results[1][c] / results[0][c] : 0.0);
    }
    fflush(stdout);

    relay.stop(SIGTERM);
    // Another sockbridge build (say the one of an earlier commit) in the
    // same topology, for a before-and-after figure.
    if (const char* other = getenv("RELAY_BENCH_BASELINE")) {
        RelayProcess base({.netns = topo.relay(), .program = other, .args = {"-p", std::to_string(kRelayPort)}});
        if (base.wait_started()) {
            double b[2];
            for (int c = 0; c < 2; ++c)
                b[c] = throughput(topo, relayed_l, kServerIp, kRelayedPort, c == 0 ? 1 : 100, seconds).gbps;
            printf("%-12s %14.2f %16.2f   (%s)\n", "baseline", b[0], b[1], other);
            printf("sockbridge/baseline: 1 conn %.2f, 100 conn %.2f\n", b[0] > 0 ? results[1][0] / b[0] : 0.0,
                   b[1] > 0 ? results[1][1] / b[1] : 0.0);
            base.stop(SIGTERM);
        } else {
            fprintf(stderr, "baseline %s did not start: %s\n", other, base.err().c_str());
        }
    }
    socat_proc.reset();
    close(relayed_l);
    close(direct_l);
    }

memory:
    long base_kb = 0, loaded_kb = 0;
    double per_pair = idle_and_busy(topo, idle, kBusy, &base_kb, &loaded_kb);
    if (per_pair < 0) {
        printf("idle and busy: failed\n");
        return 1;
    }
    return 0;
}
