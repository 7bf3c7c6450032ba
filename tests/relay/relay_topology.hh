// Network-namespace topology and process helpers for exercising sockbridge
// as it is deployed: a client, a relay host that diverts the client's TCP
// connections to sockbridge with nftables tproxy, and a server.
//
//   client ns  10.77.1.2 --eth0/vc-- 10.77.1.1  relay ns  10.77.2.1 --vs/eth0-- 10.77.2.2  server ns
//
// Shared by the relay tests and the relay benchmark.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace relaytest {

inline constexpr const char* kClientIp = "10.77.1.2";
inline constexpr const char* kRelayClientSideIp = "10.77.1.1";
inline constexpr const char* kRelayServerSideIp = "10.77.2.1";
inline constexpr const char* kServerIp = "10.77.2.2";
inline constexpr int kRelayPort = 4050;

bool is_root();
// Runs a shell command quietly; true when it exits with status 0.
bool sh(const std::string& cmd);
// Path of the sockbridge binary under test.
std::string sockbridge_path();

// Three namespaces, wired and configured; deleted again by the destructor.
class Topology {
public:
    // `tproxy` adds the interception rules on the relay host.
    explicit Topology(bool tproxy = true);
    ~Topology();
    Topology(const Topology&) = delete;
    Topology& operator=(const Topology&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    std::string client() const { return prefix_ + "c"; }
    std::string relay() const { return prefix_ + "r"; }
    std::string server() const { return prefix_ + "s"; }
    // "ip netns exec <ns> "
    static std::string in(const std::string& ns) { return "ip netns exec " + ns + " "; }

private:
    std::string prefix_;
    bool ok_ = false;
    std::string error_;
};

// A socket created inside network namespace `ns` (empty: the current one).
int socket_in(const std::string& ns, int type = SOCK_STREAM);
sockaddr_in make_addr(const char* ip, int port);
// Listening TCP socket in `ns`; -1 on failure.  `rcvbuf` > 0 sets SO_RCVBUF.
int tcp_listen(const std::string& ns, const char* ip, int port, int rcvbuf = 0);
// Connected TCP socket in `ns`, blocking; -1 on failure or timeout.
int tcp_connect(const std::string& ns, const char* ip, int port, int timeout_ms = 3000,
                int sndbuf = 0);
// Accepts one connection within `timeout_ms`; -1 otherwise.
int accept_within(int listen_fd, int timeout_ms, sockaddr_in* peer = nullptr);
bool send_all(int fd, const std::string& data, int timeout_ms = 10000);
// Reads until end of stream, error, `max` bytes or the timeout.
std::string recv_all(int fd, int timeout_ms = 10000, size_t max = size_t(1) << 30);
// Reads exactly `n` bytes (fewer on timeout or end of stream).
std::string recv_exact(int fd, size_t n, int timeout_ms = 10000);
// Deterministic test payload.
std::string pattern(size_t n, unsigned seed);
// Echoes every connection accepted on `listen_fd` until `n` have ended or
// `timeout_ms` has passed, holding at most about 1 MB per connection.
void echo_server(int listen_fd, int n, int timeout_ms);
// Opens `n` connections from `ns` to an echo server at ip:port; each sends
// `bytes` of its own pattern and checks every byte that comes back (two
// minutes at most).  Returns how many came back whole and intact; the time
// it took in *seconds.
int echo_intact(const std::string& ns, const char* ip, int port, int n, size_t bytes, double* seconds);
std::string addr_text(const sockaddr_in& a);

// A sockbridge process, optionally inside a namespace.
struct RelayOptions {
    std::string netns{};
    std::string program{};  // empty: sockbridge; otherwise an absolute path
    std::vector<std::string> args{};
    long nofile_soft = -1;  // RLIMIT_NOFILE for the child, when >= 0
    long nofile_hard = -1;
    uid_t run_as = 0;  // non-zero: drop to this uid before exec
};

class RelayProcess {
public:
    explicit RelayProcess(const RelayOptions& opts);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the start-up line; false if the process ended or timed out.
    bool wait_started(int timeout_ms = 5000);
    // Waits for the process to end by itself; its wait status, or -1 on timeout.
    int wait_exit(int timeout_ms = 5000);
    // Sends `sig` and waits; the wait status, or -1.
    int stop(int sig, int timeout_ms = 5000);
    bool running();
    std::string out() const;
    std::string err() const;
    long rss_kb() const;
    // Sockets the process holds (listening, relayed and internal ones).
    int socket_count() const;
    // User and system time; with reaped children (forking servers) on request.
    double cpu_seconds(bool with_children = false) const;
    std::string limits() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};

}  // namespace relaytest
