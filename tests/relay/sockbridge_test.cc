// sockbridge: command line, signals, and real transparent interception in
// network namespaces (client -> relay host with nftables tproxy -> server).
#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "relay_topology.hh"

using namespace relaytest;

namespace {

constexpr int kServerPort = 8080;

#define REQUIRE_ROOT()                                                                     \
    do {                                                                                   \
        if (!is_root()) {                                                                  \
            GTEST_SKIP() << "needs root: creates network namespaces and transparent sockets"; \
        }                                                                                  \
    } while (0)

bool exited_with(int status, int code) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const char* const kUsageLines[] = {
    "Usage: sockbridge [-p <listening port>] [-v] [-s] [-h]\n",
    "-p - specify listening port, default is DEFAULT_PORT\n",
    "-h - print usage info\n",
    "-v - verbose logging\n",
    "-s - spoofing outgoing sockets\n",
};

// ------------------------------------------------------------ command line

TEST(SockbridgeCommandLine, BadPortHelpAndUnknownOptionPrintUsageAndExit1) {
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-p", "0"}, {"-p", "abc"}, {"-p", "00"}, {"-x"}, {"-v", "-p"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        RelayProcess relay({.args = args});
        int status = relay.wait_exit();
        EXPECT_TRUE(exited_with(status, 1)) << status;
        std::string err = relay.err();
        for (const char* line : kUsageLines)
            EXPECT_NE(err.find(line), std::string::npos) << line << "\n---\n" << err;
        EXPECT_EQ(relay.out(), "");
    }
}

TEST(SockbridgeCommandLine, UnknownServiceNameFailsLookup) {
    // Starts with a digit, so it passes the port check, but is no service.
    RelayProcess relay({.args = {"-p", "80nonsense"}});
    EXPECT_TRUE(exited_with(relay.wait_exit(), 1));
    EXPECT_EQ(relay.err().rfind("getaddrinfo: ", 0), 0u) << relay.err();
}

// ------------------------------------------------------------ start-up and signals

TEST(SockbridgeStartup, EachSignalPrintsItsLineAndExitsZero) {
    REQUIRE_ROOT();
    Topology topo(false);
    ASSERT_TRUE(topo.ok()) << topo.error();
    const std::pair<int, const char*> signals[] = {
        {SIGINT, "Got an SIGINT\n"}, {SIGTERM, "Got an SIGTERM\n"}, {SIGHUP, "Got an SIGHUP\n"}};
    for (const auto& [sig, line] : signals) {
        SCOPED_TRACE(line);
        RelayProcess relay({.netns = topo.relay(), .args = {"-p", "4051"}});
        ASSERT_TRUE(relay.wait_started()) << relay.err();
        EXPECT_NE(relay.out().find("Quilo Networks sockbridge started on port 4051, socket "),
                  std::string::npos);
        EXPECT_TRUE(exited_with(relay.stop(sig), 0));
        EXPECT_NE(relay.out().find(line), std::string::npos) << relay.out();
    }
}

TEST(SockbridgeStartup, ListeningSocketFailuresExit1) {
    REQUIRE_ROOT();
    Topology topo(false);
    ASSERT_TRUE(topo.ok()) << topo.error();

    // Without privileges the transparent option is refused.
    RelayProcess unprivileged({.netns = topo.relay(), .args = {"-p", "4052"}, .run_as = 65534});
    EXPECT_TRUE(exited_with(unprivileged.wait_exit(), 1));
    EXPECT_EQ(unprivileged.err().rfind("setsockopt (IP_TRANSPARENT): ", 0), 0u) << unprivileged.err();

    // A port that is already taken cannot be bound.
    RelayProcess first({.netns = topo.relay(), .args = {"-p", "4052"}});
    ASSERT_TRUE(first.wait_started());
    RelayProcess second({.netns = topo.relay(), .args = {"-p", "4052"}});
    EXPECT_TRUE(exited_with(second.wait_exit(), 1));
    EXPECT_EQ(second.err().rfind("bind: ", 0), 0u) << second.err();
    EXPECT_TRUE(exited_with(first.stop(SIGTERM), 0));
}

// ------------------------------------------------------------ interception

class Interception : public ::testing::Test {
protected:
    void SetUp() override {
        if (!is_root()) {
            GTEST_SKIP() << "needs root: creates network namespaces and transparent sockets";
        }
        topo_ = std::make_unique<Topology>();
        ASSERT_TRUE(topo_->ok()) << topo_->error();
    }
    void TearDown() override {
        if (relay_ && relay_->running()) {
            EXPECT_TRUE(exited_with(relay_->stop(SIGTERM), 0)) << relay_->err();
        }
        relay_.reset();
        topo_.reset();
    }

    void start_relay(std::vector<std::string> extra = {}, long nofile_soft = -1, long nofile_hard = -1) {
        std::vector<std::string> args{"-p", std::to_string(kRelayPort), "-v"};
        args.insert(args.end(), extra.begin(), extra.end());
        relay_ = std::make_unique<RelayProcess>(RelayOptions{.netns = topo_->relay(),
                                                             .args = args,
                                                             .nofile_soft = nofile_soft,
                                                             .nofile_hard = nofile_hard});
        ASSERT_TRUE(relay_->wait_started()) << relay_->err();
    }

    // Client connects to the server's address; the relay host diverts it.
    int connect_client(int port = kServerPort, int sndbuf = 0) {
        return tcp_connect(topo_->client(), kServerIp, port, 3000, sndbuf);
    }

    // One request/response exchange; returns the address the server saw.
    void fetch_and_compare(sockaddr_in* seen_by_server) {
        int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
        ASSERT_GE(lfd, 0);
        int cfd = connect_client();
        ASSERT_GE(cfd, 0);
        const std::string request = "GET /object HTTP/1.0\r\n\r\n";
        const std::string response = pattern(3 << 20, 7);
        ASSERT_TRUE(send_all(cfd, request));
        int sfd = accept_within(lfd, 3000, seen_by_server);
        ASSERT_GE(sfd, 0);
        EXPECT_EQ(recv_exact(sfd, request.size()), request);
        std::thread server([&] {
            send_all(sfd, response);
            close(sfd);
        });
        std::string got = recv_all(cfd);
        server.join();
        EXPECT_EQ(got.size(), response.size());
        EXPECT_TRUE(got == response) << "relayed bytes differ";
        close(cfd);
        close(lfd);
    }

    // The relay closes sockets from its event loop, a moment after the peer.
    bool socket_count_settles_at(int expected) {
        for (int i = 0; i < 100; ++i) {
            if (relay_->socket_count() == expected)
                return true;
            sleep_ms(20);
        }
        return false;
    }

    std::string fd_list() {
        std::string r;
        std::string dir = "/proc/" + std::to_string(relay_->pid()) + "/fd/";
        for (int fd = 0; fd < 64; ++fd) {
            char target[256];
            ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n > 0)
                r += "\n" + std::to_string(fd) + " -> " + std::string(target, static_cast<size_t>(n));
        }
        return r;
    }

    std::unique_ptr<Topology> topo_;
    std::unique_ptr<RelayProcess> relay_;
};

TEST_F(Interception, FetchMatchesAndServerSeesTheRelayAddress) {
    start_relay();
    sockaddr_in peer{};
    fetch_and_compare(&peer);
    EXPECT_EQ(addr_text(peer).rfind(std::string(kRelayServerSideIp) + ":", 0), 0u) << addr_text(peer);
    std::string out = relay_->out();
    EXPECT_NE(out.find("Original desination 10.77.2.2:8080\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Original source 10.77.1.2:"), std::string::npos);
    EXPECT_NE(out.find("Connected\n"), std::string::npos);
}

TEST_F(Interception, SpoofingServerSeesTheClientAddress) {
    start_relay({"-s"});
    // Two fetches in a row: the spoofed address and port are reusable.
    for (int i = 0; i < 2; ++i) {
        sockaddr_in peer{};
        fetch_and_compare(&peer);
        EXPECT_EQ(addr_text(peer).rfind(std::string(kClientIp) + ":", 0), 0u) << addr_text(peer);
    }
    EXPECT_EQ(relay_->err(), "");
}

TEST_F(Interception, DataSentBeforeTheOutgoingConnectCompletesIsDelivered) {
    start_relay();
    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
    ASSERT_GE(lfd, 0);
    // Hold back the relay's SYN on the server so the outgoing connect stays pending.
    const std::string hold = Topology::in(topo_->server()) + "nft ";
    ASSERT_TRUE(sh(hold + "'add table ip hold; add chain ip hold in { type filter hook input priority 0; policy accept; }; "
                          "add rule ip hold in tcp dport 8080 drop'"));
    int cfd = connect_client();
    ASSERT_GE(cfd, 0);
    // More than the back-pressure threshold, so reading pauses while connecting.
    const std::string data = pattern(100000, 3);
    ASSERT_TRUE(send_all(cfd, data));
    sleep_ms(300);
    EXPECT_LT(accept_within(lfd, 0), 0) << "the outgoing connection should still be pending";
    ASSERT_TRUE(sh(hold + "delete table ip hold"));

    int sfd = accept_within(lfd, 5000);  // the relay retransmits its SYN
    ASSERT_GE(sfd, 0);
    EXPECT_TRUE(recv_exact(sfd, data.size()) == data);
    ASSERT_TRUE(send_all(sfd, "reply"));
    EXPECT_EQ(recv_exact(cfd, 5), "reply");

    std::string out = relay_->out();
    size_t first_read = out.find("bev_readcb");
    size_t connected = out.find("Connected");
    ASSERT_NE(first_read, std::string::npos);
    ASSERT_NE(connected, std::string::npos);
    EXPECT_LT(first_read, connected) << "client data should be read before the connect completes";
    close(sfd);
    close(cfd);
    close(lfd);
}

TEST_F(Interception, RefusedDestinationClosesTheClientAndRelayCarriesOn) {
    start_relay();
    int cfd = connect_client(kServerPort + 1);  // nothing listens there
    ASSERT_GE(cfd, 0);
    EXPECT_EQ(recv_all(cfd, 3000), "");
    pollfd p{cfd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1) << "client connection should be closed";
    close(cfd);
    EXPECT_NE(relay_->err().find("Buffer event error, close both sockets.connection error: Connection refused\n"),
              std::string::npos)
        << relay_->err();

    // Both sockets of the failed pair are gone and the relay still works.
    sockaddr_in peer{};
    fetch_and_compare(&peer);
}

TEST_F(Interception, FastSenderSlowReaderKeepsRelayMemoryBounded) {
    // Small socket buffers on the relay host, so that what the kernel holds
    // is small next to what the client tries to push.
    const std::string r = Topology::in(topo_->relay());
    ASSERT_TRUE(sh(r + "sysctl -qw net.ipv4.tcp_rmem='4096 32768 65536'"));
    ASSERT_TRUE(sh(r + "sysctl -qw net.ipv4.tcp_wmem='4096 32768 65536'"));
    start_relay();
    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort, 32768);
    ASSERT_GE(lfd, 0);
    int cfd = connect_client(kServerPort, 32768);
    ASSERT_GE(cfd, 0);
    int sfd = accept_within(lfd, 3000);
    ASSERT_GE(sfd, 0);
    ASSERT_TRUE(send_all(cfd, "x"));
    ASSERT_EQ(recv_exact(sfd, 1), "x");
    const long rss_before = relay_->rss_kb();

    // Push as much as the path accepts while the server reads nothing.
    const size_t total = 24 << 20;
    const std::string data = pattern(total, 11);
    size_t pushed = 0;
    while (pushed < total) {
        pollfd p{cfd, POLLOUT, 0};
        if (poll(&p, 1, 500) != 1)
            break;  // stalled: nobody takes more
        ssize_t n = send(cfd, data.data() + pushed, std::min<size_t>(65536, total - pushed),
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            pushed += static_cast<size_t>(n);
    }
    const long rss_stalled = relay_->rss_kb();
    EXPECT_LT(pushed, size_t(4) << 20) << "the relay kept reading from a sender whose reader is stalled";
    EXPECT_LT(rss_stalled - rss_before, 2048) << "relay memory grew by " << rss_stalled - rss_before << " KB";

    // The reader catches up: everything arrives, in order.
    std::thread sender([&] {
        send_all(cfd, data.substr(pushed), 30000);
        shutdown(cfd, SHUT_WR);
    });
    std::string got = recv_all(sfd, 30000, total);
    sender.join();
    EXPECT_EQ(got.size(), total);
    EXPECT_TRUE(got == data) << "relayed bytes differ";
    EXPECT_NE(relay_->out().find("drained_writecb, socket "), std::string::npos);
    close(sfd);
    close(cfd);
    close(lfd);
}

TEST_F(Interception, ClosingSideWithOutputQueuedIsFlushedFirst) {
    start_relay();
    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
    ASSERT_GE(lfd, 0);
    const std::string data = pattern(6 << 20, 5);
    for (bool client_closes : {true, false}) {
        SCOPED_TRACE(client_closes ? "client sends and closes" : "server sends and closes");
        int cfd = connect_client();
        ASSERT_GE(cfd, 0);
        ASSERT_TRUE(send_all(cfd, "hello"));
        int sfd = accept_within(lfd, 3000);
        ASSERT_GE(sfd, 0);
        ASSERT_EQ(recv_exact(sfd, 5), "hello");
        int writer = client_closes ? cfd : sfd;
        int reader = client_closes ? sfd : cfd;
        std::thread sending([&] {
            send_all(writer, data, 30000);
            close(writer);
        });
        sleep_ms(300);  // the reader is late: the relay holds queued output when the close arrives
        std::string got = recv_all(reader, 30000);
        sending.join();
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data) << "queued output lost or corrupted";
        close(reader);
    }
    close(lfd);
}

TEST_F(Interception, ConnectionToTheRelayItselfIsRefused) {
    start_relay();
    const int sockets_before = relay_->socket_count();
    // Straight to the listening port, from the relay host itself and from the client.
    int direct = tcp_connect(topo_->relay(), kRelayClientSideIp, kRelayPort);
    ASSERT_GE(direct, 0);
    EXPECT_EQ(recv_all(direct, 3000), "");
    close(direct);
    int from_client = tcp_connect(topo_->client(), kRelayClientSideIp, kRelayPort);
    ASSERT_GE(from_client, 0);
    EXPECT_EQ(recv_all(from_client, 3000), "");
    close(from_client);
    EXPECT_TRUE(socket_count_settles_at(sockets_before)) << fd_list();
    std::string out = relay_->out();
    const std::string line = "Refused connection to the relay's own address 10.77.1.1:4050\n";
    size_t first = out.find(line);
    ASSERT_NE(first, std::string::npos) << out;
    size_t second = out.find(line, first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(out.find(line, second + 1), std::string::npos) << "refused more than once per connection";
    EXPECT_EQ(out.find("client socket"), std::string::npos) << "no outgoing connection may be made";

    // A destination on another host that happens to use the relay's port is relayed.
    int lfd = tcp_listen(topo_->server(), kServerIp, kRelayPort);
    ASSERT_GE(lfd, 0);
    int cfd = connect_client(kRelayPort);
    ASSERT_GE(cfd, 0);
    ASSERT_TRUE(send_all(cfd, "ping"));
    int sfd = accept_within(lfd, 3000);
    ASSERT_GE(sfd, 0);
    EXPECT_EQ(recv_exact(sfd, 4), "ping");
    close(sfd);
    close(cfd);
    close(lfd);
}

TEST_F(Interception, ResetOnOneSideClosesTheOther) {
    start_relay();
    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
    ASSERT_GE(lfd, 0);
    const int sockets_idle = relay_->socket_count();
    for (bool client_resets : {true, false}) {
        SCOPED_TRACE(client_resets ? "client resets" : "server resets");
        int cfd = connect_client();
        ASSERT_GE(cfd, 0);
        ASSERT_TRUE(send_all(cfd, "ping"));
        int sfd = accept_within(lfd, 3000);
        ASSERT_GE(sfd, 0);
        ASSERT_EQ(recv_exact(sfd, 4), "ping");
        int resetting = client_resets ? cfd : sfd;
        int other = client_resets ? sfd : cfd;
        linger abort_close{1, 0};
        setsockopt(resetting, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
        close(resetting);
        recv_all(other, 3000);
        pollfd p{other, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1) << "the other side should be closed";
        close(other);
    }
    EXPECT_TRUE(socket_count_settles_at(sockets_idle)) << "a pair was not released" << fd_list();
    close(lfd);
}

TEST_F(Interception, StopWithLivePairsClosesThemAndExitsZero) {
    start_relay();
    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
    ASSERT_GE(lfd, 0);
    int cfd = connect_client();
    ASSERT_GE(cfd, 0);
    ASSERT_TRUE(send_all(cfd, "idle"));
    int sfd = accept_within(lfd, 3000);
    ASSERT_GE(sfd, 0);
    ASSERT_EQ(recv_exact(sfd, 4), "idle");
    // The server is not reading, so output is queued in the relay as well.
    (void)send_all(cfd, pattern(1 << 20, 1), 2000);
    EXPECT_TRUE(exited_with(relay_->stop(SIGINT), 0)) << relay_->err();
    EXPECT_NE(relay_->out().find("Got an SIGINT\n"), std::string::npos);
    // Both relayed sockets were closed with the process.
    recv_all(sfd, 3000);
    pollfd p{sfd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    close(sfd);
    close(cfd);
    close(lfd);
}

// Every loop relays: idle pairs stay open and keep working while busy ones
// echo data both ways through the loops at once, every byte intact.
TEST_F(Interception, IdleAndBusyPairsOnEveryLoopStayIntact) {
    relay_ = std::make_unique<RelayProcess>(RelayOptions{.netns = topo_->relay(), .args = {"-p", std::to_string(kRelayPort)}});
    ASSERT_TRUE(relay_->wait_started()) << relay_->err();
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    EXPECT_EQ(sh("test $(ls /proc/" + std::to_string(relay_->pid()) + "/task | wc -l) -eq " +
                 std::to_string(CPU_COUNT(&cpus))),
              true)
        << "one event loop per core";

    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
    int echo_l = tcp_listen(topo_->server(), kServerIp, kServerPort + 1);
    ASSERT_GE(lfd, 0);
    ASSERT_GE(echo_l, 0);
    constexpr int kIdle = 200, kBusy = 40;
    std::vector<std::pair<int, int>> idle;  // client end, server end
    for (int i = 0; i < kIdle; ++i) {
        int cfd = connect_client();
        ASSERT_GE(cfd, 0) << i;
        int sfd = accept_within(lfd, 3000);
        ASSERT_GE(sfd, 0) << i;
        idle.emplace_back(cfd, sfd);
    }
    std::thread echo([&] { echo_server(echo_l, kBusy, 60000); });
    double seconds = 0;
    EXPECT_EQ(echo_intact(topo_->client(), kServerIp, kServerPort + 1, kBusy, 1 << 20, &seconds), kBusy);
    echo.join();
    int working = 0;
    for (auto [cfd, sfd] : idle) {
        working += send_all(cfd, "z") && recv_exact(sfd, 1, 3000) == "z";
        close(cfd);
        close(sfd);
    }
    EXPECT_EQ(working, kIdle);
    close(lfd);
    close(echo_l);
}

// The relay raises its soft limit to the hard one: 48 descriptors carry
// about 20 pairs; 40 clients are more than it can take at once.  An even and
// an odd limit make the last descriptor go once to accept() and once to the
// outgoing socket of a connection already accepted.
class DescriptorExhaustion : public Interception, public ::testing::WithParamInterface<int> {};

TEST_P(DescriptorExhaustion, AcceptingPausesAndResumes) {
    const int limit = GetParam();
    start_relay({}, 16, limit);
    const std::string limit_text = std::to_string(limit);
    EXPECT_NE(relay_->limits().find("Max open files            " + limit_text + "                   " + limit_text),
              std::string::npos)
        << relay_->limits();
    int lfd = tcp_listen(topo_->server(), kServerIp, kServerPort);
    ASSERT_GE(lfd, 0);
    constexpr int kClients = 40;
    std::vector<int> clients, servers;
    std::set<std::string> greetings;
    auto accept_waiting = [&](int first_timeout_ms) {
        int sfd, timeout_ms = first_timeout_ms;
        while ((sfd = accept_within(lfd, timeout_ms)) >= 0) {
            servers.push_back(sfd);
            greetings.insert(recv_exact(sfd, 4, 2000));
            timeout_ms = 150;
        }
    };
    for (int i = 0; i < kClients; ++i) {
        int cfd = connect_client();  // completes in the relay host's backlog
        ASSERT_GE(cfd, 0) << i;
        char greeting[8];
        snprintf(greeting, sizeof greeting, "c%02d;", i);
        ASSERT_TRUE(send_all(cfd, greeting));
        clients.push_back(cfd);
    }
    accept_waiting(500);
    EXPECT_GT(servers.size(), 10u);
    EXPECT_LT(servers.size(), size_t(kClients)) << "the limit should have been reached";

    // Exhausted: no busy loop, no exit.
    const double cpu_before = relay_->cpu_seconds();
    sleep_ms(1000);
    EXPECT_LT(relay_->cpu_seconds() - cpu_before, 0.3) << "the relay spins while out of descriptors";
    ASSERT_TRUE(relay_->running());
    EXPECT_NE(relay_->err().find("accept: Too many open files; accepting paused"), std::string::npos)
        << relay_->err();

    // Closing relayed connections lets the waiting ones through.
    size_t closed = 0;
    while (servers.size() < size_t(kClients) && closed < servers.size()) {
        for (int batch = 0; batch < 5 && closed < servers.size(); ++batch, ++closed) {
            close(servers[closed]);  // the relay frees the pair, releasing two descriptors
        }
        accept_waiting(1000);
    }
    // Every relayed connection may be closed before the last waiting one is
    // through: a loop that paused retries within its one-second backstop,
    // and may need a few of them while the freed descriptors come back (a
    // slow sanitizer build takes several).
    for (int wait = 0; wait < 4 && servers.size() < size_t(kClients); ++wait)
        accept_waiting(3000);
    EXPECT_EQ(servers.size(), size_t(kClients));
    EXPECT_EQ(greetings.size(), size_t(kClients)) << "each client must be relayed exactly once";
    EXPECT_TRUE(relay_->running());
    for (size_t i = closed; i < clients.size(); ++i)
        close(clients[i]);
    for (size_t i = closed; i < servers.size(); ++i)
        close(servers[i]);
    close(lfd);
}

INSTANTIATE_TEST_SUITE_P(Limits, DescriptorExhaustion, ::testing::Values(48, 49));

}  // namespace
