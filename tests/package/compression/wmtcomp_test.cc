// WMTComp and WMTDeComp in a router that does not run: the tests fire the
// tasks themselves, in the order that makes a case (a slow worker, a full
// queue), so every interleaving is exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "compression/wmtcomp.hh"
#include "compression/wmtdecomp.hh"
#include "corpus.hh"
#include "rsp/rsp.hh"
#include "sessions/peernotifiers.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

class Peers : public Element, public PeerDiscoveryNotifier {
  public:
    const char* class_name() const override { return "MtTestPeers"; }
    void* cast(const char* n) override {
        if (std::strcmp(n, "PeerDiscoveryNotifier") == 0)
            return static_cast<PeerDiscoveryNotifier*>(this);
        return Element::cast(n);
    }
};

// Ethernet + IPv4 + UDP; the payload's first 4 bytes number the frame.
std::vector<uint8_t> frame(uint32_t id, size_t len = 1000) {
    static const auto text = corpus::load(256 * 1024)[0].data;
    std::vector<uint8_t> b(14 + 28 + len, 0);
    b[12] = 0x08;
    uint8_t* ip = &b[14];
    ip[0] = 0x45;
    ip[8] = 64;
    ip[9] = 17;
    uint8_t a[8] = {10, 0, 0, 1, 10, 0, 0, 2};
    std::memcpy(ip + 12, a, 8);
    ip[21] = 7;
    ip[23] = 9;
    size_t off = (id * 997) % (text.size() - len);
    std::memcpy(ip + 28, &text[off], len);
    std::memcpy(ip + 28, &id, 4);
    set_ip_total(ip, uint32_t(28 + len));
    return b;
}

uint32_t id_of(const std::vector<uint8_t>& b) {
    uint32_t id;
    std::memcpy(&id, &b[14 + 28], 4);
    return id;
}

const wshim_header* shim_of(const Packet* p) { return reinterpret_cast<const wshim_header*>(p->data() + 14 + 20); }

// Queue -> WMTComp -> sink, and a WMTDeComp with the RSP it needs.
struct Rig {
    TestRouter r;
    WMTComp* c = nullptr;
    Element* q = nullptr;
    WMTDeComp* dec = nullptr;
    Sink *out = nullptr, *restored = nullptr;
    bool ok = false;

    explicit Rig(const std::string& args, int dec_threads = 4, int router_threads = 1) : r(router_threads) {
        static bool loaded = [] {
            click_add_element_type<Peers>("MtTestPeers");
            return true;
        }();
        (void)loaded;
        ok = r.build("conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4); peers :: MtTestPeers;"
                     "Idle -> q :: Queue(1000) -> c :: WMTComp(" + args + ") -> out :: QuiloTestSink;"
                     "wrtt :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
                     "rsp :: RSP(MODE client, LOCAL_IP 10.0.0.1, WRTT wrtt, WCOMP c, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
                     "Idle -> [0]rsp; Idle -> [1]rsp; rsp[0] -> Discard; rsp[1] -> Discard; rsp[2] -> Discard;"
                     "Idle -> wrtt; wrtt[0] -> Discard; wrtt[1] -> Discard; wrtt[2] -> Discard; wrtt[3] -> Discard;"
                     "Idle -> dec :: WMTDeComp(RSP rsp, THREADS " + std::to_string(dec_threads) + ")"
                     " -> restored :: QuiloTestSink; dec[1] -> Discard;");
        if (!ok)
            return;
        c = r.get<WMTComp>("c");
        q = r.find("q");
        dec = r.get<WMTDeComp>("dec");
        out = r.get<Sink>("out");
        restored = r.get<Sink>("restored");
    }
    void feed(uint32_t first, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            q->push(0, make_packet(frame(first + i)));
    }
    void pull() { c->pull_task().fire(); }
    void work(int w, int times = 1) {
        for (int i = 0; i < times; ++i)
            c->worker(w).task.fire();
    }
    void push(int times = 1) {
        for (int i = 0; i < times; ++i)
            c->push_task().fire();
    }
    std::vector<uint32_t> ids() const {
        std::vector<uint32_t> v;
        for (Packet* p : out->packets) {
            WritablePacket* x = p->clone()->uniqueify();
            dec->push(0, x);
        }
        for (Packet* p : restored->packets)
            v.push_back(id_of(std::vector<uint8_t>(p->data(), p->end_data())));
        restored->clear();
        return v;
    }
};

std::vector<uint32_t> range(uint32_t first, uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i)
        v[i] = first + i;
    return v;
}

TEST(WMTComp, Configuration) {
    {
        Rig g("");
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_EQ(g.c->threads(), 1);
        EXPECT_EQ(g.c->burst(), 1);
        EXPECT_EQ(static_cast<WCompBase*>(g.c->cast("WCompBase")), static_cast<WCompBase*>(g.c));
        EXPECT_EQ(g.r.read("c.active_method"), "Stateless");
        EXPECT_NE(g.r.read("c.state").find("Threads: 1, Task Count: 1"), std::string::npos);
    }
    for (auto [given, used] : {std::pair{"0", 1}, std::pair{"20", 15}}) {
        testing::internal::CaptureStderr();
        Rig g(std::string("THREADS ") + given + ", COMPRESSOR 4, LEVEL 3", 15);
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_EQ(g.c->threads(), used);
        EXPECT_EQ(g.c->burst(), used);
        EXPECT_NE(log.find("Error : THREADS should be between 1 and 15: Settings MTCOMP_THREADS=" +
                           std::to_string(used) + ". Change configuration or contact support."),
                  std::string::npos)
            << log;
    }
    {
        Rig g("COMPRESSOR 2, LEVEL 1");
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_NE(g.r.errors().find("available: 4 (zstd), 5 (zlib)"), std::string::npos) << g.r.errors();
        // The engine is not offered: payloads keep their bytes and get the shim.
        g.feed(0, 1);
        g.pull(), g.work(0), g.push();
        ASSERT_EQ(g.out->packets.size(), 1u);
        EXPECT_EQ(shim_of(g.out->packets[0])->flags & WSHIM_COMPRESSED_MASK, 0);
    }
    for (const char* bad : {"QUEUE_CAPACITY 0", "COMPRESSOR 6", "METHOD sometimes", "BURST 300"}) {
        Rig g(bad);
        EXPECT_FALSE(g.ok) << bad;
    }
}

// THREADS 3: packets go to workers 0, 1, 2, 0, ... and carry that index;
// worker 1 finishing last holds packet 2 back until packet 1 is out; the
// peer's decoders restore every packet in order.
TEST(WMTComp, RoundRobinAndOrder) {
    Rig g("THREADS 3, COMPRESSOR 4, LEVEL 3, METHOD streaming");
    ASSERT_TRUE(g.ok) << g.r.errors();
    g.c->unforce_stateless();  // as RSP does once its connection is open
    g.feed(0, 4);
    g.pull();
    EXPECT_EQ(g.c->queued(), 3);  // BURST = THREADS
    g.work(0), g.work(2);
    g.push(2);
    ASSERT_EQ(g.out->packets.size(), 1u);  // 0 out, 2 waits for 1
    EXPECT_EQ(g.c->held(), 1);
    EXPECT_NE(g.r.read("c.state").find("Seq Queue packet #0 seq: 2"), std::string::npos) << g.r.read("c.state");
    g.pull();  // room for one: packet 3 goes to worker 0
    g.work(0), g.push();
    EXPECT_EQ(g.out->packets.size(), 1u);
    g.work(1), g.push();
    ASSERT_EQ(g.out->packets.size(), 4u);
    EXPECT_EQ(g.c->held(), 0);
    EXPECT_EQ(g.c->queued(), 0);
    for (int i = 0; i < 4; ++i) {
        const wshim_header* s = shim_of(g.out->packets[size_t(i)]);
        EXPECT_EQ(s->control & WSHIM_THREAD_MASK, i % 3) << i;
        EXPECT_EQ(s->flags & (WSHIM_STREAM | WSHIM_ZSTD), WSHIM_STREAM | WSHIM_ZSTD) << i;
        // Each worker's first streaming packet starts its stream.
        EXPECT_EQ(bool(s->control & WSHIM_START_STREAM), i < 3) << i;
    }
    EXPECT_EQ(g.ids(), range(0, 4));
    EXPECT_EQ(g.r.read("dec.errors"), "0");
}

// Two workers on two router threads: worker 1 shares the home thread, so a
// packet goes to the shorter queue, the worker in turn on a tie. The order
// and the peer's decoding stay as they are.
TEST(WMTComp, WorkerOnTheHomeThreadTakesByQueueLength) {
    Rig g("THREADS 2, BURST 4, COMPRESSOR 4, LEVEL 3, METHOD streaming", 4, 2);
    ASSERT_TRUE(g.ok) << g.r.errors();
    g.c->unforce_stateless();
    g.feed(0, 6);
    g.pull();                    // 0..3 in turn: the queues stay level
    g.work(0, 2), g.push();      // worker 0 is done, 1 holds packet 1 back
    ASSERT_EQ(g.out->packets.size(), 1u);
    g.pull();                    // 4 and 5 both to worker 0's shorter queue
    g.work(1, 2), g.work(0, 2), g.push(2);
    ASSERT_EQ(g.out->packets.size(), 6u);
    const int worker[6] = {0, 1, 0, 1, 0, 0};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(shim_of(g.out->packets[size_t(i)])->control & WSHIM_THREAD_MASK, worker[i]) << i;
    EXPECT_EQ(g.ids(), range(0, 6));
    EXPECT_EQ(g.r.read("dec.errors"), "0");
}

// Sequence numbers wrap from 65535 to 0 without breaking the order, with
// the workers finishing in every order.
TEST(WMTComp, SequenceWrap) {
    Rig g("THREADS 3, BURST 9, COMPRESSOR 5, LEVEL 6, METHOD streaming");
    ASSERT_TRUE(g.ok) << g.r.errors();
    g.c->unforce_stateless();
    g.c->set_first_seq(65530);
    g.feed(0, 30);
    int orders[3][3] = {{2, 1, 0}, {1, 0, 2}, {0, 2, 1}};
    for (int round = 0; g.out->packets.size() < 30 && round < 40; ++round) {
        g.pull();
        for (int w : orders[round % 3])
            g.work(w, 3);
        g.push(12);
    }
    EXPECT_EQ(g.c->send_next(), uint16_t(65530 + 30));
    EXPECT_EQ(g.ids(), range(0, 30));
}

// A packet that loses its number must not stall the release. A full worker
// queue on the home thread takes the number back; a packet dropped by a
// worker (here at a full push queue) leaves a hole that the push task skips.
TEST(WMTComp, DroppedNumbersDoNotStall) {
    WLogger::log_level = 5;
    {
        Rig g("BURST 4, QUEUE_CAPACITY 2, COMPRESSOR 4, LEVEL 3");
        ASSERT_TRUE(g.ok) << g.r.errors();
        g.feed(0, 4);
        g.pull();  // 0 and 1 queued, 2 dropped at the full worker queue
        EXPECT_EQ(g.c->queued(), 2);
        EXPECT_EQ(g.c->packet_seq(), 2);
        g.work(0, 2), g.push(2);
        g.pull();  // 3 takes number 2
        g.work(0), g.push();
        EXPECT_EQ(g.ids(), (std::vector<uint32_t>{0, 1, 3}));
        EXPECT_EQ(g.c->queued(), 0);
        EXPECT_EQ(g.c->queue_drops(), 1u);
    }
    {
        Rig g("BURST 3, QUEUE_CAPACITY 1, COMPRESSOR 4, LEVEL 3");
        ASSERT_TRUE(g.ok) << g.r.errors();
        g.feed(0, 1);
        g.pull(), g.work(0);  // 0 waits in the push queue (capacity 1)
        g.feed(1, 1);
        g.pull(), g.work(0);  // the push queue is full: number 1 becomes a hole
        EXPECT_EQ(g.c->queued(), 2);
        g.push(2);
        g.feed(2, 1);
        g.pull(), g.work(0), g.push();
        EXPECT_EQ(g.c->holes(), 1u);
        EXPECT_EQ(g.c->queued(), 0);
        EXPECT_EQ(g.c->send_next(), 3);
        EXPECT_EQ(g.ids(), (std::vector<uint32_t>{0, 2}));
    }
    WLogger::log_level = 4;
}

// RSP's calls reach every worker: after a hard reset each worker's next
// streaming packet restarts its stream, and the peer's decoders follow.
TEST(WMTComp, StreamControlReachesEveryWorker) {
    Rig g("THREADS 2, COMPRESSOR 4, LEVEL 3, METHOD streaming");
    ASSERT_TRUE(g.ok) << g.r.errors();
    g.c->unforce_stateless();
    auto run = [&](uint32_t first, uint32_t n) {
        g.out->clear();
        g.feed(first, n);
        for (uint32_t i = 0; i < n; ++i)
            g.pull(), g.work(0), g.work(1), g.push(2);
    };
    run(0, 4);
    g.c->set_force_stateless();
    EXPECT_EQ(g.r.read("c.active_method"), "Stateless");
    run(4, 2);
    for (Packet* p : g.out->packets)
        EXPECT_EQ(shim_of(p)->flags & WSHIM_STREAM, 0);
    g.c->hard_set_force_stateless();
    g.c->unforce_stateless();
    EXPECT_TRUE(g.c->worker(0).comp.new_stream() && g.c->worker(1).comp.new_stream());
    run(6, 4);
    std::vector<int> start;
    for (Packet* p : g.out->packets)
        start.push_back(shim_of(p)->control & (WSHIM_START_STREAM | WSHIM_THREAD_MASK));
    EXPECT_EQ(start, (std::vector<int>{WSHIM_START_STREAM, WSHIM_START_STREAM | 1, 0, 1}));
    EXPECT_EQ(g.ids(), range(6, 4));
    EXPECT_EQ(g.r.read("dec.errors"), "0");
}

// A thread id the decompressor has no decoder for is dropped and counted.
TEST(WMTDeComp, InvalidThreadIdDropped) {
    Rig g("THREADS 1, COMPRESSOR 4, LEVEL 3", 4);
    ASSERT_TRUE(g.ok) << g.r.errors();
    g.feed(0, 1);
    g.pull(), g.work(0), g.push();
    ASSERT_EQ(g.out->packets.size(), 1u);
    WritablePacket* x = g.out->packets[0]->clone()->uniqueify();
    x->data()[14 + 21] = uint8_t((x->data()[14 + 21] & ~WSHIM_THREAD_MASK) | 5);
    testing::internal::CaptureStderr();
    g.dec->push(0, x);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(g.restored->packets.size(), 0u);
    EXPECT_EQ(g.r.read("dec.invalid"), "1");
    EXPECT_NE(log.find("received invalid thread ID: 5"), std::string::npos) << log;
}

}  // namespace
