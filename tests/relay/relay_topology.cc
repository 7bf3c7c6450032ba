#include "relay_topology.hh"

#include <arpa/inet.h>
#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace relaytest {

namespace {

std::atomic<int> topology_counter{0};

long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Switches the calling thread into a namespace and back.
class NetnsSwitch {
public:
    explicit NetnsSwitch(const std::string& ns) {
        if (ns.empty())
            return;
        self_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ok_ = self_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            close(target);
    }
    ~NetnsSwitch() {
        if (self_ >= 0) {
            if (setns(self_, CLONE_NEWNET) != 0)
                abort();  // a test thread stuck in a foreign namespace would mislead every later test
            close(self_);
        }
    }
    bool ok() const { return ok_; }

private:
    int self_ = -1;
    bool ok_ = true;
};

}  // namespace

bool is_root() { return geteuid() == 0; }

bool sh(const std::string& cmd) {
    std::string quiet = "(" + cmd + ") >/dev/null 2>&1";
    int rc = system(quiet.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

std::string sockbridge_path() {
    const char* dir = getenv("QUILO_BUILD_DIR");
    return std::string(dir ? dir : "build") + "/bin/sockbridge";
}

Topology::Topology(bool tproxy) {
    prefix_ = "qr" + std::to_string(getpid()) + "n" + std::to_string(topology_counter++);
    const std::string c = client(), r = relay(), s = server();
    auto step = [&](const std::string& cmd) {
        if (!ok_ && !error_.empty())
            return;
        if (!sh(cmd))
            error_ = "failed: " + cmd;
    };
    for (const auto& ns : {c, r, s}) {
        step("ip netns add " + ns);
        step("ip -n " + ns + " link set lo up");
    }
    step("ip -n " + r + " link add vc type veth peer name eth0 netns " + c);
    step("ip -n " + r + " link add vs type veth peer name eth0 netns " + s);
    step("ip -n " + r + " addr add 10.77.1.1/24 dev vc");
    step("ip -n " + r + " addr add 10.77.2.1/24 dev vs");
    step("ip -n " + c + " addr add 10.77.1.2/24 dev eth0");
    step("ip -n " + s + " addr add 10.77.2.2/24 dev eth0");
    step("ip -n " + r + " link set vc up");
    step("ip -n " + r + " link set vs up");
    step("ip -n " + c + " link set eth0 up");
    step("ip -n " + s + " link set eth0 up");
    step("ip -n " + c + " route add default via 10.77.1.1");
    step("ip -n " + s + " route add default via 10.77.2.1");
    step(in(r) + "sysctl -qw net.ipv4.ip_forward=1");
    if (tproxy) {
        // Packets of sockets that are already transparent (accepted ones and
        // spoofed outgoing ones) are delivered locally; new connections from
        // the client side are diverted to the relay's port.
        step(in(r) + "nft 'add table ip qrelay; "
                     "add chain ip qrelay pre { type filter hook prerouting priority mangle; policy accept; }; "
                     "add rule ip qrelay pre meta l4proto tcp socket transparent 1 meta mark set 1 accept; "
                     "add rule ip qrelay pre iifname vc meta l4proto tcp tproxy to :" +
             std::to_string(kRelayPort) + " meta mark set 1 accept'");
        step("ip -n " + r + " rule add fwmark 1 lookup 100");
        step("ip -n " + r + " route add local 0.0.0.0/0 dev lo table 100");
    }
    ok_ = error_.empty();
}

Topology::~Topology() {
    for (const auto& ns : {client(), relay(), server()})
        sh("ip netns del " + ns);
}

int socket_in(const std::string& ns, int type) {
    NetnsSwitch sw(ns);
    if (!sw.ok())
        return -1;
    return socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

sockaddr_in make_addr(const char* ip, int port) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::string addr_text(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

int tcp_listen(const std::string& ns, const char* ip, int port, int rcvbuf) {
    int fd = socket_in(ns);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a = make_addr(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(fd, 1024) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int tcp_connect(const std::string& ns, const char* ip, int port, int timeout_ms, int sndbuf) {
    int fd = socket_in(ns);
    if (fd < 0)
        return -1;
    if (sndbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in a = make_addr(ip, port);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, timeout_ms) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
            err == 0)
            rc = 0;
    }
    if (rc < 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, flags);
    return fd;
}

int accept_within(int listen_fd, int timeout_ms, sockaddr_in* peer) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return -1;
    sockaddr_in a;
    socklen_t len = sizeof a;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd >= 0 && peer != nullptr)
        *peer = a;
    return fd;
}

bool send_all(int fd, const std::string& data, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    size_t off = 0;
    while (off < data.size()) {
        pollfd p{fd, POLLOUT, 0};
        long left = deadline - now_ms();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1)
            return false;
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0)
            off += static_cast<size_t>(n);
    }
    return true;
}

std::string recv_all(int fd, int timeout_ms, size_t max) {
    std::string got;
    long deadline = now_ms() + timeout_ms;
    char buf[65536];
    while (got.size() < max) {
        pollfd p{fd, POLLIN, 0};
        long left = deadline - now_ms();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1)
            break;
        ssize_t n = recv(fd, buf, std::min(sizeof buf, max - got.size()), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string recv_exact(int fd, size_t n, int timeout_ms) { return recv_all(fd, timeout_ms, n); }

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
    return s;
}

void echo_server(int lfd, int n, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    std::vector<pollfd> fds{{lfd, POLLIN, 0}};
    std::vector<std::string> pending(1);
    std::vector<char> buf(1 << 16);
    int ended = 0;
    while (ended < n && now_ms() < deadline) {
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            pollfd& f = fds[i];
            if (f.fd < 0 || !f.revents)
                continue;
            if (i == 0) {
                int fd = accept_within(lfd, 0);
                if (fd >= 0) {
                    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
                    fds.push_back({fd, POLLIN, 0});
                    pending.emplace_back();
                }
                continue;
            }
            std::string& out = pending[i];
            if (f.revents & POLLIN) {
                ssize_t got = recv(f.fd, buf.data(), buf.size(), 0);
                if (got > 0)
                    out.append(buf.data(), static_cast<size_t>(got));
                else if (got == 0 || errno != EAGAIN) {
                    close(f.fd);
                    f.fd = -1;
                    ++ended;
                    continue;
                }
            }
            if (!out.empty()) {
                ssize_t put = send(f.fd, out.data(), out.size(), MSG_NOSIGNAL);
                if (put > 0)
                    out.erase(0, static_cast<size_t>(put));
            }
            // Read no more while much is waiting to go back: bounded memory.
            f.events = static_cast<short>((out.size() < (1 << 20) ? POLLIN : 0) | (out.empty() ? 0 : POLLOUT));
        }
    }
    for (size_t i = 1; i < fds.size(); ++i)
        if (fds[i].fd >= 0)
            close(fds[i].fd);
}

int echo_intact(const std::string& ns, const char* ip, int port, int n, size_t bytes, double* seconds) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int fd = tcp_connect(ns, ip, port, 5000);
        if (fd < 0)
            break;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fds.push_back(fd);
    }
    std::vector<std::string> data;
    std::vector<size_t> sent(fds.size()), got(fds.size());
    std::vector<bool> bad(fds.size());
    for (size_t i = 0; i < fds.size(); ++i)
        data.push_back(pattern(bytes, static_cast<unsigned>(1000 + i)));
    std::vector<char> buf(1 << 16);
    const long start = now_ms(), deadline = start + 120000;
    size_t done = 0;
    while (done < fds.size() && now_ms() < deadline) {
        std::vector<pollfd> p;
        for (size_t i = 0; i < fds.size(); ++i)
            p.push_back({fds[i], static_cast<short>(got[i] < bytes && !bad[i] ? POLLIN | (sent[i] < bytes ? POLLOUT : 0) : 0), 0});
        if (poll(p.data(), p.size(), 200) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (p[i].revents & POLLOUT) {
                ssize_t put = send(fds[i], data[i].data() + sent[i], std::min<size_t>(1 << 16, bytes - sent[i]), MSG_NOSIGNAL);
                if (put > 0)
                    sent[i] += static_cast<size_t>(put);
            }
            if (p[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t r = recv(fds[i], buf.data(), buf.size(), 0);
                if (r > 0) {
                    bad[i] = bad[i] || memcmp(buf.data(), data[i].data() + got[i], static_cast<size_t>(r)) != 0;
                    got[i] += static_cast<size_t>(r);
                } else if (r == 0 || errno != EAGAIN) {
                    bad[i] = true;
                }
                if (got[i] == bytes || bad[i])
                    ++done;
            }
        }
    }
    *seconds = static_cast<double>(now_ms() - start) / 1000;
    int intact = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        intact += got[i] == bytes && !bad[i];
        close(fds[i]);
    }
    return intact;
}

RelayProcess::RelayProcess(const RelayOptions& opts) {
    char out_tmpl[] = "/tmp/sockbridge-out-XXXXXX";
    char err_tmpl[] = "/tmp/sockbridge-err-XXXXXX";
    int out_fd = mkstemp(out_tmpl);
    int err_fd = mkstemp(err_tmpl);
    out_path_ = out_tmpl;
    err_path_ = err_tmpl;
    if (out_fd < 0 || err_fd < 0)
        return;

    std::string path = opts.program.empty() ? sockbridge_path() : opts.program;
    std::vector<std::string> argv_s{path};
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int ns_fd = -1;
    if (!opts.netns.empty())
        ns_fd = open(("/run/netns/" + opts.netns).c_str(), O_RDONLY | O_CLOEXEC);

    pid_ = fork();
    if (pid_ == 0) {
        if (!opts.netns.empty() && (ns_fd < 0 || setns(ns_fd, CLONE_NEWNET) != 0))
            _exit(126);
        if (opts.nofile_soft >= 0) {
            rlimit lim{static_cast<rlim_t>(opts.nofile_soft), static_cast<rlim_t>(opts.nofile_hard)};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
                _exit(126);
        }
        if (opts.run_as != 0 && (setgid(opts.run_as) != 0 || setuid(opts.run_as) != 0))
            _exit(126);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        // Nothing else of ours (or of the test runner's) leaks into the relay.
        close_range(3, ~0U, 0);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    if (ns_fd >= 0)
        close(ns_fd);
    close(out_fd);
    close(err_fd);
}

RelayProcess::~RelayProcess() {
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

bool RelayProcess::running() {
    if (pid_ <= 0 || status_ != -1)
        return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_)
        return false;
    status_ = -1;
    return true;
}

bool RelayProcess::wait_started(int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        if (out().find("sockbridge started on port") != std::string::npos)
            return true;
        if (!running())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int RelayProcess::wait_exit(int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    while (status_ == -1 && pid_ > 0) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            break;
        status_ = -1;
        if (now_ms() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int RelayProcess::stop(int sig, int timeout_ms) {
    if (pid_ > 0 && status_ == -1)
        kill(pid_, sig);
    return wait_exit(timeout_ms);
}

std::string RelayProcess::out() const { return read_file(out_path_); }
std::string RelayProcess::err() const { return read_file(err_path_); }

long RelayProcess::rss_kb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

int RelayProcess::socket_count() const {
    std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        char target[64];
        ssize_t len = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (len > 0 && std::string_view(target, static_cast<size_t>(len)).starts_with("socket:"))
            ++n;
    }
    closedir(d);
    return n;
}

double RelayProcess::cpu_seconds(bool with_children) const {
    std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(close_paren + 2));
    std::string field;
    unsigned long ticks = 0;
    // Fields after the command: state is field 3; utime and stime are 14 and
    // 15, the reaped children's cutime and cstime 16 and 17.
    for (int i = 3; i <= 17 && in >> field; ++i) {
        if (i == 14 || i == 15 || (with_children && (i == 16 || i == 17)))
            ticks += std::stoul(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string RelayProcess::limits() const { return read_file("/proc/" + std::to_string(pid_) + "/limits"); }

}  // namespace relaytest
