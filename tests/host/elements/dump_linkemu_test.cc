// Capture-file round trip through FromDump and ToDump, and link-emulation
// statistics over many packets.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "harness.hh"
#include "pcapfile.hh"
#include "pktbuild.hh"

namespace {

// Stamps the steady time into annotation bytes 24..31 (free host bytes).
class TestStamp : public Element {
  public:
    const char* class_name() const override { return "TestStamp"; }
    const char* port_count() const override { return PORTS_1_1; }
    Packet* simple_action(Packet* p) override {
        p->set_anno_u64(24, uint64_t(Timestamp::now_steady().nsecval()));
        return p;
    }
};

struct RegisterStamp {
    RegisterStamp() { click_add_element_type<TestStamp>("TestStamp"); }
} register_stamp;

std::string tmpname(const char* tag) {
    return "/tmp/quilo-hostelem-" + std::string(tag) + "-" + std::to_string(getpid()) + ".pcap";
}

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

uint32_t tcp_seq(const std::vector<uint8_t>& ip) {
    uint32_t s;
    memcpy(&s, ip.data() + 24, 4);
    return ntohl(s);
}

}  // namespace

TEST(HostElementsDump, FromDumpToDumpRoundTrip) {
    std::string in = tmpname("in"), out = tmpname("out"), rawin = tmpname("rawin"), rawout = tmpname("rawout");
    std::mt19937 rng(3);
    {
        pcapfile::Writer w, wr;
        ASSERT_TRUE(w.open(in, pcapfile::kLinkEthernet, 65535, nullptr));
        ASSERT_TRUE(wr.open(rawin, pcapfile::kLinkRaw, 65535, nullptr));
        for (int i = 0; i < 200; ++i) {
            auto ip = pktbuild::ipv4(i % 2 ? 6 : 17, "10.0.0.1", "10.0.0.2", uint16_t(1000 + i), 80, 0x10);
            ip.resize(ip.size() + rng() % 1400, uint8_t(i));
            pktbuild::put16(ip, 2, uint16_t(ip.size()));
            std::vector<uint8_t> f = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 8, 0};
            f.insert(f.end(), ip.begin(), ip.end());
            int64_t ts = 1700000000LL * 1000000000 + i * 1234567LL;
            w.write(f.data(), uint32_t(f.size()), uint32_t(f.size()), ts);
            wr.write(ip.data(), uint32_t(ip.size()), uint32_t(ip.size()), ts);
        }
    }
    TestRouter t;
    ASSERT_TRUE(t.build("fd :: FromDump(" + in + ", STOP true) -> c :: Counter -> ToDump(" + out + ");"
                        "FromDump(" + rawin + ") -> MarkIPHeader -> ToDump(" + rawout + ", ENCAP IP);"))
        << t.errh.text();
    ASSERT_TRUE(t.run_until_stopped(20));
    EXPECT_EQ(t.num("c.count"), 200);
    EXPECT_EQ(t.read("fd.encap"), "ETHER");
    t.stop();
    delete t.r;   // closes the files
    t.r = nullptr;
    std::string a = run("tcpdump -tt -nn -x -r " + in + " 2>/dev/null");
    std::string b = run("tcpdump -tt -nn -x -r " + out + " 2>/dev/null");
    EXPECT_GT(a.size(), 1000u);
    EXPECT_EQ(a, b);
    std::string ra = run("tcpdump -tt -nn -x -r " + rawin + " 2>/dev/null");
    std::string rb = run("tcpdump -tt -nn -x -r " + rawout + " 2>/dev/null");
    EXPECT_GT(ra.size(), 1000u);
    EXPECT_EQ(ra, rb);
    for (auto& f : {in, out, rawin, rawout})
        std::remove(f.c_str());
}

TEST(HostElementsDump, TimingAndTruncatedFile) {
    std::string in = tmpname("timing");
    {
        pcapfile::Writer w;
        ASSERT_TRUE(w.open(in, pcapfile::kLinkEthernet, 65535, nullptr));
        std::vector<uint8_t> f(60, 0);
        for (int i = 0; i < 5; ++i)
            w.write(f.data(), 60, 60, 1000LL * 1000000000 + i * 50000000LL);   // 50 ms apart
    }
    // Cut the last record in half: the packets before it still come out.
    FILE* fp = fopen(in.c_str(), "r+");
    ASSERT_TRUE(fp);
    fseek(fp, 0, SEEK_END);
    long size = ftell(fp);
    fclose(fp);
    ASSERT_EQ(truncate(in.c_str(), size - 30), 0);
    TestRouter t;
    ASSERT_TRUE(t.build("FromDump(" + in + ", STOP true, TIMING true) -> c :: Counter -> Discard;")) << t.errh.text();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(t.run_until_stopped(10));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(t.num("c.count"), 4);
    EXPECT_GE(secs, 0.14);   // three 50 ms gaps between four packets
    std::remove(in.c_str());
}

namespace {

struct EmuResult {
    size_t received = 0;
    long long drops = 0, reordered = 0;
    size_t inversions = 0;
    int64_t min_delay = INT64_MAX, max_delay = 0;
};

EmuResult emulate(double drop, double reorder, const char* delay) {
    EmuResult r;
    TestRouter t;
    std::string cfg = "FlowSource(PROTO tcp, FLOWS 1, LENGTH 10, ETHER false, LIMIT 100000, BURST 64)"
                      " -> TestStamp -> loss :: RandomSample(DROP " + std::to_string(drop) + ")"
                      " -> ro :: RandomReorder(PROB " + std::to_string(reorder) + ", DEPTH 3)"
                      " -> q :: Queue(200000) -> DelayShaper(" + delay + ") -> Unqueue(BURST 64) -> s :: TestSink;";
    EXPECT_TRUE(t.build(cfg)) << t.errh.text();
    if (!t.r)
        return r;
    t.start();
    TestSink* s = t.find<TestSink>("s");
    // Everything that was not dropped arrives.
    TestRouter::wait_for([&]() {
        long long d = t.num("loss.drops");
        return t.num("loss.count") + d == 100000 && (long long) s->size() == 100000 - d && t.num("q.length") == 0;
    }, 60);
    TestRouter::wait_for([] { return false; }, 0.15);   // a held packet's timeout
    r.drops = t.num("loss.drops");
    r.reordered = t.num("ro.reordered");
    t.stop();
    auto got = s->take();
    r.received = got.size();
    uint32_t prev = 0;
    for (auto& g : got) {
        uint32_t seq = tcp_seq(g.data);
        if (seq < prev)
            ++r.inversions;
        prev = seq;
        int64_t d = g.arrival - int64_t(g.stamp);
        r.min_delay = std::min(r.min_delay, d);
        r.max_delay = std::max(r.max_delay, d);
    }
    return r;
}

}  // namespace

TEST(HostElementsLinkEmulation, LossAndDelayWithoutReordering) {
    EmuResult r = emulate(0.02, 0, "5ms");
    EXPECT_EQ(r.received + size_t(r.drops), 100000u);
    EXPECT_GT(r.drops, 1700);   // 2% of 100000, +-7 standard deviations
    EXPECT_LT(r.drops, 2300);
    EXPECT_EQ(r.inversions, 0u);
    EXPECT_EQ(r.reordered, 0);
    EXPECT_GE(r.min_delay, 4900000);   // 5 ms, less clock rounding
}

TEST(HostElementsLinkEmulation, ReorderingChangesOrderOnlyWhenOn) {
    EmuResult r = emulate(0, 0.05, "1ms");
    EXPECT_EQ(r.received, 100000u);
    EXPECT_GT(r.reordered, 1000);
    EXPECT_GT(r.inversions, 1000u);
    // Every packet that was overtaken is counted once, also the one the
    // timeout releases when the stream ends (or the thread stalls) before
    // DEPTH packets have passed it.
    EXPECT_EQ(r.inversions, size_t(r.reordered));

    // Traffic stops two packets after a hold: the timeout releases the held
    // packet behind them, and it counts as reordered.
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> ro :: RandomReorder(PROB 1, DEPTH 1000, TIMEOUT 10ms) -> s :: TestSink;"))
        << t.errh.text();
    auto* in = t.find<TestInject>("i");
    for (uint8_t n : {1, 2, 3})
        in->send(std::vector<uint8_t>(60, n));
    t.start();
    TestSink* s = t.find<TestSink>("s");
    ASSERT_TRUE(TestRouter::wait_for([&] { return s->size() == 3; }, 30));
    auto got = s->take();
    EXPECT_EQ(got[0].data[0], 2);
    EXPECT_EQ(got[1].data[0], 3);
    EXPECT_EQ(got[2].data[0], 1);
    EXPECT_EQ(t.num("ro.reordered"), 1);
}

TEST(HostElementsLinkEmulation, LinkUnqueueBandwidthAndLatency) {
    TestRouter t;
    // 500 frames of 1000 bytes at 40 Mbit/s take 100 ms on the wire.
    ASSERT_TRUE(t.build("RatedSource(LENGTH 1000, RATE 1000000, LIMIT 500) -> TestStamp -> q :: Queue(1000)"
                        " -> l :: LinkUnqueue(30ms, 40Mbps) -> s :: TestSink;"))
        << t.errh.text();
    t.start();
    TestSink* s = t.find<TestSink>("s");
    ASSERT_TRUE(TestRouter::wait_for([&] { return s->size() == 500; }, 20));
    t.stop();
    auto got = s->take();
    int64_t first = INT64_MAX, last = 0, min_delay = INT64_MAX;
    for (auto& g : got) {
        first = std::min<int64_t>(first, int64_t(g.stamp));
        last = std::max(last, g.arrival);
        min_delay = std::min(min_delay, g.arrival - int64_t(g.stamp));
    }
    EXPECT_GE(last - first, 125000000);   // 100 ms on the wire + 30 ms latency, less the first frame's slack
    EXPECT_GE(min_delay, 30000000);
}
