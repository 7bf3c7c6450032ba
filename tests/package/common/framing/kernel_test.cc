// Fragments from QuiloIPFragmenter are reassembled by the Linux kernel: they
// are sent through a raw socket to a UDP socket on the loopback interface of a
// network namespace created by the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "framing.hh"

using namespace framing_test;

namespace {

struct Netns {
    std::string name;
    bool ok = false;
    Netns() : name("qfrag" + std::to_string(getpid())) {
        ok = std::system(("ip netns add " + name + " && ip -n " + name + " link set lo up").c_str()) == 0;
    }
    ~Netns() { std::system(("ip netns del " + name + " 2>/dev/null").c_str()); }
};

}  // namespace

TEST(FramingKernel, FragmentsAreReassembledByLinux) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: creates a network namespace and a raw socket";
    Netns ns;
    ASSERT_TRUE(ns.ok) << "ip netns add failed";

    Harness h;
    ASSERT_TRUE(h.build("QuiloIPFragmenter(576)")) << h.r.errors();
    IPPacket u;
    u.src = u.dst = 0x7f000001;
    u.dport = 40123;
    u.payload = 3000;
    Bytes orig = u.bytes();
    h.push(ip_packet(orig));
    ASSERT_EQ(h.s->packets.size(), 6u);

    std::string received, error;
    std::thread t([&] {
        int nsfd = open(("/var/run/netns/" + ns.name).c_str(), O_RDONLY);
        if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) < 0) {
            error = "setns failed";
            return;
        }
        close(nsfd);
        int us = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(40123);
        a.sin_addr.s_addr = htonl(0x7f000001);
        timeval tv{3, 0};
        setsockopt(us, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (bind(us, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
            error = "bind failed";
            return;
        }
        int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
        for (Packet* p : h.s->packets)
            if (sendto(raw, p->data(), p->length(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
                error = "sendto failed";
        char buf[8192];
        ssize_t n = recv(us, buf, sizeof buf, 0);
        if (n > 0)
            received.assign(buf, size_t(n));
        close(raw);
        close(us);
    });
    t.join();
    ASSERT_EQ(error, "");
    ASSERT_EQ(received.size(), 3000u);
    EXPECT_EQ(Bytes(received.begin(), received.end()), Bytes(orig.begin() + 28, orig.end()));
}
