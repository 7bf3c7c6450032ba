// Segments split by QuiloTCPFragmenter and SYNs changed by MSSAdjust are
// accepted by the Linux TCP stack: two network namespaces, each with a TUN
// device, are joined by the test through MSSAdjust -> QuiloTCPFragmenter, and
// a TCP transfer between them must arrive intact.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "framing.hh"

using namespace framing_test;

namespace {

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

bool enter(const std::string& ns) {
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

// Creates TUN device "qt0" inside `ns` with address `addr`/24; returns its fd.
int make_tun(const std::string& ns, const std::string& addr) {
    int fd = -1;
    std::thread t([&] {
        if (!enter(ns))
            return;
        fd = open("/dev/net/tun", O_RDWR);
        if (fd < 0)
            return;
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(ifr.ifr_name, "qt0", IFNAMSIZ - 1);
        if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
            close(fd);
            fd = -1;
        }
    });
    t.join();
    if (fd >= 0 && !sh("ip -n " + ns + " addr add " + addr + "/24 dev qt0 && ip -n " + ns + " link set qt0 up mtu 1500"))
        return -1;
    return fd;
}

struct Namespaces {
    std::string a, b;
    bool ok;
    Namespaces()
        : a("qtcpa" + std::to_string(getpid())), b("qtcpb" + std::to_string(getpid())),
          ok(sh("ip netns add " + a) && sh("ip netns add " + b)) {}
    ~Namespaces() {
        sh("ip netns del " + a + " 2>/dev/null");
        sh("ip netns del " + b + " 2>/dev/null");
    }
};

}  // namespace

TEST(FramingKernel, LinuxAcceptsSplitSegmentsAndAdjustedSYNs) {
    if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0)
        GTEST_SKIP() << "needs root and /dev/net/tun: creates network namespaces and TUN devices";
    Namespaces ns;
    ASSERT_TRUE(ns.ok);
    int ta = make_tun(ns.a, "10.77.0.1"), tb = make_tun(ns.b, "10.77.0.2");
    ASSERT_GE(ta, 0);
    ASSERT_GE(tb, 0);

    quilo_test::TestRouter r;
    ASSERT_TRUE(r.build("WConf(MAX_PEERS 1, MSS 1200); m :: MSSAdjust; f :: QuiloTCPFragmenter(MTU 700);"
                        "s :: QuiloTestSink; Idle -> m -> f -> s;"))
        << r.errors();
    Element* m = r.find("m");
    auto* sink = r.get<quilo_test::Sink>("s");

    std::atomic<bool> stop{false};
    std::thread fwd([&] {
        pollfd pf[2] = {{ta, POLLIN, 0}, {tb, POLLIN, 0}};
        uint8_t buf[2048];
        while (!stop) {
            if (poll(pf, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(pf[i].revents & POLLIN))
                    continue;
                ssize_t n = read(pf[i].fd, buf, sizeof buf);
                if (n <= 0)
                    continue;
                WritablePacket* p = Packet::make(64, buf, uint32_t(n), 0);
                p->set_network_header(p->data(), 20);
                m->push(0, p);
                for (Packet* q : sink->packets)
                    if (write(pf[1 - i].fd, q->data(), q->length()) < 0)
                        break;
                sink->clear();
            }
        }
    });

    const size_t total = 300000;
    std::string got, error;
    int client_mss = 0;
    std::thread server([&] {
        if (!enter(ns.b))
            return void(error = "setns b");
        int ls = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5000);
        a.sin_addr.s_addr = htonl(0x0a4d0002);
        timeval tv{10, 0};
        setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(ls, 1) < 0)
            return void(error = "listen");
        int c = accept(ls, nullptr, nullptr);
        if (c < 0)
            return void(error = "accept");
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[65536];
        ssize_t n;
        while (got.size() < total && (n = recv(c, buf, sizeof buf, 0)) > 0)
            got.append(buf, size_t(n));
        close(c);
        close(ls);
    });
    std::thread client([&] {
        if (!enter(ns.a))
            return void(error = "setns a");
        usleep(200000);  // let the server listen
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5000);
        a.sin_addr.s_addr = htonl(0x0a4d0002);
        timeval tv{10, 0};
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
            return void(error = "connect");
        socklen_t len = sizeof client_mss;
        getsockopt(s, IPPROTO_TCP, TCP_MAXSEG, &client_mss, &len);
        std::string data(total, '\0');
        for (size_t i = 0; i < total; ++i)
            data[i] = char(i * 131 + i / 977);
        size_t off = 0;
        while (off < total) {
            ssize_t n = send(s, data.data() + off, total - off, 0);
            if (n <= 0)
                break;
            off += size_t(n);
        }
        close(s);
    });
    client.join();
    server.join();
    stop = true;
    fwd.join();
    close(ta);
    close(tb);

    ASSERT_EQ(error, "");
    EXPECT_GT(client_mss, 0);
    EXPECT_LE(client_mss, 1200);  // the server's SYN-ACK was lowered
    ASSERT_EQ(got.size(), total);
    for (size_t i = 0; i < total; ++i)
        if (got[i] != char(i * 131 + i / 977)) {
            ADD_FAILURE() << "byte " << i << " differs";
            break;
        }
    EXPECT_GT(std::stoul(r.read("f.fragmented_count")), 0u);
    EXPECT_GT(std::stoul(r.read("m.adjusted")), 0u);
}
