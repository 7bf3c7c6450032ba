// Sockets, sources, rated and thread-safe queueing, Script and AverageCounter.
#include <arpa/inet.h>
#include <unistd.h>

#include <host/checksum.hh>

#include <atomic>
#include <set>
#include <cstdio>

#include "harness.hh"

namespace {

int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

TEST(HostElementsSources, SocketJoinsRoutersOverUdpAndUnixDatagrams) {
    int p1 = free_udp_port(), p2 = free_udp_port();
    std::string u1 = "/tmp/quilo-hostelem-u1-" + std::to_string(getpid());
    std::string u2 = "/tmp/quilo-hostelem-u2-" + std::to_string(getpid());
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> sa :: Socket(UDP, 127.0.0.1, " + std::to_string(p2) + ", LOCAL_PORT " +
                        std::to_string(p1) + ");"
                        "b :: Socket(UDP, 127.0.0.1, " + std::to_string(p2) + ") -> MarkMACHeader -> s :: TestSink;"
                        "j :: TestInject -> Queue(100) -> sb :: Socket(UNIX_DGRAM, " + u2 + ", LOCAL_PATH " + u1 + ");"
                        "ub :: Socket(UNIX_DGRAM, " + u2 + ", SNAPLEN 100) -> us :: TestSink;"))
        << t.errh.text();
    t.start();
    std::vector<uint8_t> frame(60);
    for (size_t k = 0; k < frame.size(); ++k)
        frame[k] = uint8_t(k);
    for (int k = 0; k < 10; ++k) {
        t.master.call_on_thread0([&]() {
            t.find<TestInject>("i")->send(frame);
            t.find<TestInject>("j")->send(frame);
            t.find<TestInject>("j")->send(std::vector<uint8_t>(200, 7));   // above SNAPLEN: counted, dropped
        });
    }
    TestSink* s = t.find<TestSink>("s");
    TestSink* us = t.find<TestSink>("us");
    EXPECT_TRUE(TestRouter::wait_for([&] { return s->size() == 10 && us->size() == 10; }, 10))
        << s->size() << " " << us->size() << " " << t.read("b.received") << " " << t.read("ub.received") << " "
        << t.read("ub.drops") << " " << t.read("b.drops") << " sent " << t.read("sa.sent") << "/" << t.read("sa.drops") << " " << t.read("sb.sent") << "/" << t.read("sb.drops") << t.herrh.text();
    EXPECT_TRUE(TestRouter::wait_for([&] { return t.num("ub.truncated") == 10; }, 10));
    t.stop();
    auto got = s->take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].data, frame);
    EXPECT_EQ(got[0].mac_off, 0);
    EXPECT_EQ(got[0].net_off, 14);
    EXPECT_EQ(us->take()[0].data, frame);
    delete t.r;   // cleanup removes the socket files
    t.r = nullptr;
    EXPECT_NE(access(u2.c_str(), F_OK), 0);
}

TEST(HostElementsSources, FlowSourceBuildsValidPackets) {
    TestRouter t;
    ASSERT_TRUE(t.build("FlowSource(PROTO tcp, FLOWS 4, LENGTH 101, LIMIT 8, STOP true) -> s :: TestSink;"
                        "FlowSource(PROTO udp, FLOWS 2, LENGTH 0, ETHER false, LIMIT 4, PATTERN x) -> u :: TestSink;"))
        << t.errh.text();
    ASSERT_TRUE(t.run_until_stopped(10));
    auto got = t.find<TestSink>("s")->take();
    ASSERT_EQ(got.size(), 8u);
    std::set<std::string> flows;
    for (auto& g : got) {
        ASSERT_EQ(g.data.size(), 14 + 20 + 20 + 101u);
        const uint8_t* ip = g.data.data() + 14;
        EXPECT_EQ(click_in_cksum(ip, 20), 0);
        uint32_t s, d;
        memcpy(&s, ip + 12, 4);
        memcpy(&d, ip + 16, 4);
        EXPECT_EQ(click_tcpudp_cksum(ip + 20, 121, s, d, 6), 0);
        flows.insert(std::string(reinterpret_cast<const char*>(ip + 12), 12));
    }
    EXPECT_EQ(flows.size(), 4u);
    auto u = t.find<TestSink>("u")->take();
    ASSERT_EQ(u.size(), 4u);
    uint32_t s, d;
    memcpy(&s, u[0].data.data() + 12, 4);
    memcpy(&d, u[0].data.data() + 16, 4);
    EXPECT_EQ(click_tcpudp_cksum(u[0].data.data() + 20, 8, s, d, 17), 0);
}

TEST(HostElementsSources, RatedElementsAndAverageCounter) {
    TestRouter t;
    ASSERT_TRUE(t.build("RatedSource(RATE 200, LIMIT 60) -> a :: AverageCounter -> s :: TestSink;"
                        "InfiniteSource(LENGTH 1000, LIMIT 300) -> q :: Queue(1000) -> bu :: BandwidthRatedUnqueue(1MBps, 2000)"
                        " -> bs :: TestSink;"
                        "InfiniteSource(LIMIT 1000) -> q2 :: Queue(2000) -> ru :: RatedUnqueue(500) -> rs :: TestSink;"
                        "ts :: TimedSource(20ms, LIMIT 5) -> tss :: TestSink;"))
        << t.errh.text();
    auto start = std::chrono::steady_clock::now();
    t.start();
    EXPECT_TRUE(TestRouter::wait_for([&] { return t.find<TestSink>("s")->size() == 60; }, 10));
    EXPECT_TRUE(TestRouter::wait_for([&] { return t.find<TestSink>("bs")->size() == 300; }, 10));
    double bsecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t rs = t.find<TestSink>("rs")->size();
    double rsecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(TestRouter::wait_for([&] { return t.find<TestSink>("tss")->size() == 5; }, 10));
    double rate = std::stod(t.read("a.rate"));
    EXPECT_EQ(t.num("ts.count"), 5);
    t.stop();
    EXPECT_GT(rate, 150);
    EXPECT_LT(rate, 250);
    EXPECT_GE(bsecs, 0.25);   // 300 kB at 1 MB/s, less the 2 kB burst
    EXPECT_LE(double(rs), 500 * rsecs + 10);   // never faster than its rate
    EXPECT_GT(rs, 0u);
    EXPECT_EQ(t.write("ru.rate", "lots"), -EINVAL);
}

TEST(HostElementsSources, ThreadSafeQueueTakesSeveralPushingThreads) {
    TestRouter t(2);
    EXPECT_FALSE(t.build("a :: TestInject -> q :: ThreadSafeQueue(100000); b :: TestInject -> q;"
                         "q -> u :: Unqueue(BURST 64) -> s :: TestSink;"
                         "StaticThreadSched(u 1, nosuch 0);"));
    EXPECT_NE(t.errh.text().find("nosuch"), std::string::npos);
    ASSERT_TRUE(t.build("a :: TestInject -> q :: ThreadSafeQueue(100000); b :: TestInject -> q;"
                        "q -> u :: Unqueue(BURST 64) -> s :: TestSink;"
                        "StaticThreadSched(u 1);"))
        << t.errh.text();
    EXPECT_EQ(t.find<Element>("u")->home_thread_id(), 1);
    t.start();
    std::vector<uint8_t> x(64, 1);
    auto pusher = [&](const char* name, int id) {
        click_set_current_thread_id(id);
        for (int k = 0; k < 20000; ++k)
            t.find<TestInject>(name)->send(x);
    };
    std::thread p1(pusher, "a", 0), p2(pusher, "b", 1);
    p1.join();
    p2.join();
    EXPECT_TRUE(TestRouter::wait_for([&] { return t.find<TestSink>("s")->size() == 40000; }, 20));
    EXPECT_EQ(t.num("q.drops"), 0);
    t.stop();
}

TEST(HostElementsSources, ScriptDrivesHandlers) {
    TestRouter t;
    ASSERT_TRUE(t.build("c :: Counter -> Discard; i :: TestInject -> c;"
                        "j :: TestInject -> b :: BypassSwitch -> Discard; b[1] -> Discard;"
                        "Script(set n 0, label top, 'set n $(add $n 1)', 'goto top $(lt $n 5)',"
                        "       write b.bypass true, wait 10ms, 'print n=$n bypass=$(b.bypass)', stop);"
                        "s2 :: Script(TYPE PASSIVE, set x 41, 'set x $(add $x 1)', write b.bypass false);"))
        << t.errh.text();
    ASSERT_TRUE(t.run_until_stopped(10));
    EXPECT_EQ(t.read("b.bypass"), "true");
    EXPECT_EQ(t.write("s2.run", ""), 0);
    TestRouter bad;
    EXPECT_FALSE(bad.build("Script(jump somewhere); Script(goto nowhere);"));
    EXPECT_NE(bad.errh.text().find("unknown instruction 'jump'"), std::string::npos) << bad.errh.text();
    EXPECT_NE(bad.errh.text().find("no label 'nowhere'"), std::string::npos) << bad.errh.text();
}
