// Two RSP tunnel ends joined by lossy, reordering, duplicating links.
#include <gtest/gtest.h>

#include <host/errorhandler.hh>
#include <host/package.hh>

#include <memory>
#include <random>
#include <set>

#include "rsp/rsp_wire.hh"
#include "rsp_harness.hh"

using namespace rsptest;

namespace {

// Each test uses its own pair of wires.
int next_wire() {
    static int n = 0;
    return ++n;
}

struct Pair {
    std::unique_ptr<End> a, b;
    int w;
    Pair(const std::string& link_a = "", const std::string& link_b = "", const std::string& rsp_a = "",
         const std::string& rsp_b = "", const std::string& comp = "",
         const std::map<std::string, std::string>& extra = {}) {
        w = next_wire();
        auto va = vars_a(w, link_a, rsp_a), vb = vars_b(w, link_b, rsp_b);
        va["COMP"] = vb["COMP"] = comp;
        for (auto& kv : extra)
            va[kv.first] = vb[kv.first] = kv.second;
        a = std::make_unique<End>(va);
        b = std::make_unique<End>(vb);
    }
    bool open(int ms = 3000) {
        if (!a->ok() || !b->ok())
            return false;
        b->announce_peer("10.0.0.1");
        a->announce_peer("10.0.0.2");
        return wait_for([&] { return a->state() == RSP::OPEN && b->state() == RSP::OPEN; }, ms);
    }
    // Both ends OPEN, and again 200 ms later: on a loaded machine a SYN
    // repeated before the connection opened can arrive after it and reset it
    // (any SYN resets an open connection), and the ends connect once more.
    bool settled(const std::function<void()>& poke, int ms = 8000) {
        auto open = [&] { return a->state() == RSP::OPEN && b->state() == RSP::OPEN; };
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (wait_for([&] { poke(); return open(); }, 500)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                if (open())
                    return true;
            }
        }
        return false;
    }
    void restart_b(const std::string& link_b = "", const std::string& rsp_b = "") {
        b.reset();
        b = std::make_unique<End>(vars_b(w, link_b, rsp_b));
    }
    void restart_a(const std::string& link_a = "", const std::string& rsp_a = "") {
        a.reset();
        a = std::make_unique<End>(vars_a(w, link_a, rsp_a));
    }
};

// Sends n packets from `from` in batches, letting the tunnel keep up.
void send_paced(End& from, uint32_t first, uint32_t n, size_t size = 200, uint32_t batch = 50) {
    for (uint32_t k = 0; k < n; k += batch) {
        from.send(first + k, std::min(batch, n - k), size);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Ids first..first+n-1 each exactly once and in order (ids outside the
// range, such as probes sent while waiting for a reconnection, are ignored).
::testing::AssertionResult in_order(const std::vector<Delivered>& all, uint32_t first, uint32_t n) {
    std::vector<Delivered> got;
    for (auto& d : all)
        if (d.id >= first && d.id - first < n)
            got.push_back(d);
    if (got.size() != n)
        return ::testing::AssertionFailure() << "delivered " << got.size() << " of " << n;
    for (uint32_t i = 0; i < n; ++i)
        if (got[i].id != first + i)
            return ::testing::AssertionFailure() << "position " << i << " has id " << got[i].id;
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(RspTunnel, HandshakeOpensBothEndsAndAllowsStreaming) {
    Pair p;
    ASSERT_TRUE(p.open());
    EXPECT_EQ(p.a->read("rsp.connection_state"), "OPEN");
    EXPECT_FALSE(p.a->comp()->_force_stateless);
    EXPECT_FALSE(p.b->comp()->_force_stateless);
    std::string st = p.a->read("rsp.state");
    EXPECT_EQ(st.rfind("snd_nxt: 2, snd_una: 2, rcv_cur: 1, tx_queue: 0, rx_queue: 0\n", 0), 0u) << st;
    // Both directions carry the stream.
    p.a->send(0, 10);
    p.b->send(100, 10);
    ASSERT_TRUE(wait_for([&] { return p.a->sink()->count() == 10 && p.b->sink()->count() == 10; }, 3000));
    auto at_b = p.b->sink()->take();
    EXPECT_TRUE(in_order(at_b, 0, 10));
    EXPECT_TRUE(at_b[0].stream);
    EXPECT_TRUE(in_order(p.a->sink()->take(), 100, 10));

    // The debug switch takes booleans only.
    int ok = -1, bad = -1;
    StringErrorHandler errh;
    p.a->call([&] {
        Element* e = nullptr;
        const Handler* h = p.a->rsp()->router()->find_handler("rsp.debug", &e);
        ok = h->call_write("false", e, &errh);
        bad = h->call_write("maybe", e, &errh);
    });
    EXPECT_EQ(ok, 0);
    EXPECT_LT(bad, 0);
    EXPECT_NE(errh.text().find("type mismatch"), std::string::npos);
    ASSERT_TRUE(wait_for([&] {
        size_t n = 1;
        p.a->call([&] { n = p.a->rsp()->tx_queue_size(); });
        return n == 0;
    }, 1000));
    std::string tq = p.a->read("rsp.tx_queue_state");
    EXPECT_EQ(tq.rfind("now: ", 0), 0u) << tq;
    EXPECT_NE(tq.find(", tx_queue size: 0, retransmit timer scheduled: "), std::string::npos) << tq;
    EXPECT_NE(tq.find(", delta: 2, retransmit_delay: "), std::string::npos) << tq;
}

class RspLossy : public ::testing::TestWithParam<int> {};

// With streaming, every packet arrives once, in order and intact, at 0%, 1%
// and 5% loss on a link that also reorders and duplicates.
TEST_P(RspLossy, StreamArrivesCompleteInOrderAndIntact) {
    int loss = GetParam();
    std::string link = ", LOSS " + std::to_string(loss) + ", DUP 1, REORDER 5, DELAY_MS 2, SEED " +
                       std::to_string(loss + 7);
    Pair p(link, link, ", DUPLICATE_ACK_FAST_RETRANSMIT 3", ", DUPLICATE_ACK_FAST_RETRANSMIT 3");
    ASSERT_TRUE(p.open(8000));
    const uint32_t n = 1500;
    send_paced(*p.a, 0, n);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= n; }, 30000))
        << p.b->sink()->count() << " delivered; A: " << p.a->read("rsp.state");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto got = p.b->sink()->take();
    EXPECT_TRUE(in_order(got, 0, n));
    for (auto& d : got)
        ASSERT_TRUE(d.stream);
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
    EXPECT_EQ(p.b->dec()->stream_errors, 0u);
    if (loss > 0) {
        EXPECT_NE(p.a->read("rsp.tx_retransmit_count") + p.a->read("rsp.tx_fast_retransmit_count"), "00");
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, RspLossy, ::testing::Values(0, 1, 5));

// Stateless packets travel like datagrams: what arrives is intact, only the
// link's losses are missing (and its duplicates doubled).
TEST(RspTunnel, StatelessPacketsPassUnreliably) {
    std::string link = ", DUP 2, REORDER 5, SEED 3";
    Pair p(link, link, "", "", "METHOD stateless");
    ASSERT_TRUE(p.open(8000));
    p.a->link()->loss = 5;
    const uint32_t n = 800;
    send_paced(*p.a, 0, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto got = p.b->sink()->take();
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
    std::set<uint32_t> ids;
    for (auto& d : got) {
        EXPECT_FALSE(d.stream);
        EXPECT_LT(d.id, n);
        ids.insert(d.id);
    }
    uint64_t dropped = p.a->link()->dropped;
    EXPECT_GE(ids.size() + dropped, n);
    EXPECT_LT(ids.size(), n);  // some were lost, nothing retransmitted them
}

// A burst larger than the window forces the compressor stateless, and the
// drained queue lets it stream again; nothing arrives corrupt or twice.
TEST(RspTunnel, FullWindowFallsBackToStatelessAndRecovers) {
    std::string rsp = ", MAX_RX_COUNT 40";
    Pair p(", DELAY_MS 10", ", DELAY_MS 10", rsp, rsp);
    ASSERT_TRUE(p.open());
    const uint32_t n = 300;
    p.a->send(0, n);  // one burst
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= n; }, 10000)) << p.b->sink()->count();
    EXPECT_TRUE(wait_for([&] { return p.a->read("rsp.tx_queue_full_recover_count") != "0"; }, 3000));
    EXPECT_NE(p.a->read("rsp.tx_queue_full_count"), "0");
    EXPECT_FALSE(p.a->comp()->_force_stateless);
    EXPECT_GT(p.a->comp()->stateless_sent, 0u);
    p.a->send(n, 20);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= n + 20; }, 5000));
    auto got = p.b->sink()->take();
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
    EXPECT_EQ(p.b->dec()->stream_errors, 0u);
    std::set<uint32_t> ids;
    uint32_t last_stream = 0;
    bool any_stream = false;
    for (auto& d : got) {
        EXPECT_TRUE(ids.insert(d.id).second) << "twice: " << d.id;
        if (d.stream) {
            if (any_stream) {
                EXPECT_GT(d.id, last_stream);
            }
            last_stream = d.id;
            any_stream = true;
        }
    }
    EXPECT_EQ(ids.size(), n + 20);
    EXPECT_TRUE(got.back().stream);
}

// With congestion control a burst far beyond the peer's allowance waits in
// the pacer: held packets have no sequence number yet, so they neither fill
// the window (the compressor keeps streaming) nor sit in the retransmit
// scan, and over a lossy link all arrive once and in order.
TEST(RspTunnel, CongestionControlHoldsABurstWithoutFillingTheWindow) {
    std::string rsp = ", MAX_RX_COUNT 40, CONGESTION_CONTROL true, DUPLICATE_ACK_FAST_RETRANSMIT 3";
    std::string link = ", DELAY_MS 10, LOSS 2, SEED 5";
    Pair p(link, link, rsp, rsp);
    ASSERT_TRUE(p.open(8000));
    const uint32_t n = 400;
    p.a->send(0, n, 1000);  // one burst of 400 KB
    size_t most = 0;
    ASSERT_TRUE(wait_for([&] {
        size_t q = 0;
        p.a->call([&] { q = p.a->rsp()->tx_queue_size(); });
        most = std::max(most, q);
        return p.b->sink()->count() >= n;
    }, 20000)) << p.b->sink()->count() << " delivered; A: " << p.a->read("rsp.congestion_state");
    EXPECT_LE(most, 40u);
    EXPECT_EQ(p.a->read("rsp.tx_queue_full_count"), "0");
    EXPECT_EQ(p.a->comp()->stateless_sent, 0u);
    auto got = p.b->sink()->take();
    EXPECT_TRUE(in_order(got, 0, n));
    for (auto& d : got)
        ASSERT_TRUE(d.stream);
    EXPECT_EQ(p.b->dec()->stream_errors, 0u);
}

// A fresh server end (new RSP and compressor) makes the client reconnect; the
// new stream starts with START_STREAM and carries on without corrupt output.
TEST(RspTunnel, RestartOfEitherEndRecovers) {
    Pair p;
    ASSERT_TRUE(p.open());
    send_paced(*p.a, 0, 100);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() == 100; }, 5000));
    uint64_t forces = p.a->comp()->hard_forces;
    struct BootListener : PeerBootListener {
        std::atomic<int> n{0};
        void peer_boot_notify(const IPAddress&) override { ++n; }
    } boot;
    p.a->call([&] { p.a->rsp()->add_listener(&boot); });

    p.restart_b();
    p.b->announce_peer("10.0.0.1");
    // Traffic from A meets the fresh end, which refuses it; A reconnects.
    p.a->send(1000, 5);
    ASSERT_TRUE(wait_for([&] {
        p.a->send(2000, 1);
        return p.a->state() == RSP::OPEN && p.b->state() == RSP::OPEN;
    }, 8000));
    EXPECT_GT(p.a->comp()->hard_forces, forces);
    EXPECT_EQ(boot.n, 1);  // the fresh end announced its restart (BOOT)
    p.a->call([&] { p.a->rsp()->remove_listener(&boot); });
    p.b->sink()->take();
    send_paced(*p.a, 3000, 200);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= 200; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto got = p.b->sink()->take();
    EXPECT_TRUE(in_order(got, 3000, 200));
    EXPECT_EQ(p.b->dec()->stream_errors, 0u);

    // Now the client restarts.
    p.restart_a();
    p.a->announce_peer("10.0.0.2");
    ASSERT_TRUE(p.settled([&] { p.b->send(5000, 1); }));
    p.a->sink()->take();
    send_paced(*p.b, 6000, 200);
    ASSERT_TRUE(wait_for([&] { return p.a->sink()->count() >= 200; }, 5000))
        << p.a->sink()->count() << " delivered\nA: " << p.a->read("rsp.state") << p.a->read("rsp.tx_queue_state")
        << "\nB: " << p.b->read("rsp.state") << p.b->read("rsp.tx_queue_state") << "B sent " << p.b->comp()->stream_sent
        << " stream, " << p.b->comp()->stateless_sent << " stateless";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(in_order(p.a->sink()->take(), 6000, 200));
    EXPECT_EQ(p.a->sink()->corrupt, 0u);
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
}

// A restarted listening end resets its idle peer's stale connection as soon
// as it learns the peer, long before its connection poll (300 s here); the
// peer opens anew and the tunnel carries the stream again.
TEST(RspTunnel, RestartedListenerResetsIdlePeerAtOnce) {
    Pair p;
    ASSERT_TRUE(p.open());
    p.restart_b();
    ASSERT_EQ(p.b->state(), RSP::LISTEN);
    p.b->announce_peer("10.0.0.1");
    ASSERT_TRUE(p.settled([] {}, 3000)) << "A " << p.a->state() << ", B " << p.b->state();
    send_paced(*p.a, 0, 50);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= 50; }, 3000));
    EXPECT_TRUE(in_order(p.b->sink()->take(), 0, 50));
    EXPECT_EQ(p.b->dec()->stream_errors, 0u);
}

// A decompressor that cannot decode a stream packet resets RSP; both ends
// reconnect and the stream resumes.
TEST(RspTunnel, DecompressorFailureResetsAndBothEndsRecover) {
    Pair p;
    ASSERT_TRUE(p.open());
    p.b->dec()->fail_next = true;
    p.a->send(0, 5);
    ASSERT_TRUE(wait_for([&] { return p.b->dec()->stream_errors > 0; }, 3000));
    ASSERT_TRUE(wait_for([&] {
        p.a->send(100, 1);
        return p.a->state() == RSP::OPEN && p.b->state() == RSP::OPEN && !p.a->comp()->_force_stateless;
    }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.b->sink()->take();
    // Stream packets already handed on when the decoder failed fail too; after
    // the reconnection nothing fails any more.
    uint64_t errors = p.b->dec()->stream_errors;
    send_paced(*p.a, 1000, 100);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= 100; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(in_order(p.b->sink()->take(), 1000, 100));
    EXPECT_EQ(p.b->dec()->stream_errors, errors);
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
}

// A lost packet is announced by EACK ranges and retransmitted on duplicate
// acknowledgements long before the retransmit timer would.
TEST(RspTunnel, FastRetransmitFillsTheGap) {
    Pair p("", "", ", DUPLICATE_ACK_FAST_RETRANSMIT 3", "");
    ASSERT_TRUE(p.open());
    p.a->link()->drop_seq_once(5);  // data packets are numbered from 2
    p.a->send(0, 20);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() == 20; }, 1500)) << p.a->read("rsp.tx_queue_state");
    EXPECT_TRUE(in_order(p.b->sink()->take(), 0, 20));
    EXPECT_EQ(p.a->read("rsp.tx_fast_retransmit_count"), "1");
    EXPECT_EQ(p.a->read("rsp.tx_retransmit_count"), "0");
    EXPECT_NE(p.b->read("rsp.rx_out_of_order_count"), "0");
}

// With DELAYED_ACK_MS, a run of in-order packets is acknowledged once.
TEST(RspTunnel, DelayedAckCoversARun) {
    Pair p("", "", "", ", DELAYED_ACK_MS 40");
    ASSERT_TRUE(p.open());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint64_t before = p.b->link()->sent + p.b->link()->dropped;
    p.a->send(0, 10);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() == 10; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    uint64_t acks = p.b->link()->sent + p.b->link()->dropped - before;
    EXPECT_GE(acks, 1u);
    EXPECT_LE(acks, 2u);
    EXPECT_EQ(p.a->read("rsp.tx_retransmit_count"), "0");
}

// The sequence space wraps at 65535 without a hiccup.
TEST(RspTunnel, SequenceWrapsAt65535) {
    Pair p;
    ASSERT_TRUE(p.open());
    const uint32_t n = 66000;
    for (uint32_t k = 0; k < n; k += 500) {
        p.a->send(k, 500, 8);
        ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= k + 500; }, 10000)) << k;
    }
    EXPECT_TRUE(in_order(p.b->sink()->take(), 0, n));
    std::string st = p.a->read("rsp.state");
    EXPECT_EQ(st.rfind("snd_nxt: " + std::to_string((2 + n) & 0xFFFF), 0), 0u) << st;
}

namespace {
// An RSP data packet from A to B with the given sequence number.
Packet* crafted(uint16_t seq, uint16_t ack, uint32_t id) {
    size_t len = 20 + 4 + 8 + 8 + 8;
    WritablePacket* p = Packet::make(64, nullptr, uint32_t(len), 0);
    uint8_t* d = p->data();
    std::memset(d, 0, len);
    rsp::build_ipv4(d, uint16_t(len - 8), 1, 64, 108, IPAddress("10.0.0.1").addr(), IPAddress("10.0.0.2").addr());
    d[20] = WSHIM_MAGIC;
    d[22] = 17;
    d[23] = WSHIM_STREAM | WSHIM_ZSTD;
    rsp::store32(d + 32, id);
    size_t n = rsp::insert_data_header(d, len - 8, 20, seq, ack);
    (void)n;
    p->set_network_header(d, 20);
    p->set_timestamp_anno(Timestamp::now());
    return p;
}
}  // namespace

// A sequence number beyond twice the receive allowance is not taken; the
// receiver answers with an empty ACK and carries on.
TEST(RspTunnel, AcceptanceLimitRefusesFarPackets) {
    Pair p("", "", "", ", MAX_RX_COUNT 100");
    ASSERT_TRUE(p.open());
    uint64_t before = p.b->link()->sent + p.b->link()->dropped;
    p.b->call([&] { p.b->find<Element>("in")->push(0, crafted(uint16_t(1 + 200 + 1), 1, 77)); });
    p.b->call([&] { p.b->find<Element>("in")->push(0, crafted(uint16_t(1 + 200), 1, 78)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t held = 0;
    p.b->call([&] { held = p.b->rsp()->rx_queue_size(); });
    EXPECT_EQ(held, 1u);  // the one at the limit is held
    EXPECT_EQ(p.b->sink()->count(), 0u);
    EXPECT_GE(p.b->link()->sent + p.b->link()->dropped - before, 2u);
    EXPECT_EQ(p.b->state(), RSP::OPEN);
}

// Random, truncated and bit-flipped packets on input 1 are counted and
// dropped or passed on; the connection keeps working.
TEST(RspTunnel, FuzzInputOne) {
    Pair p;
    ASSERT_TRUE(p.open());
    std::mt19937 rng(2024);
    std::vector<std::vector<uint8_t>> seeds;
    {
        Packet* q = crafted(5, 1, 9);
        seeds.emplace_back(q->data(), q->data() + q->length());
        q->kill();
        rsp_eack_range r[2] = {{3, 4}, {8, 9}};
        ShimConfig c;
        for (uint8_t f : {uint8_t(RSP_FLAG_ACK | RSP_FLAG_EACK), uint8_t(RSP_FLAG_SYN), uint8_t(RSP_FLAG_RST)}) {
            rsp::ControlSpec s;
            s.src_net = IPAddress("10.0.0.1").addr();
            s.dst_net = IPAddress("10.0.0.2").addr();
            s.flags = f;
            s.syn_ext = f == RSP_FLAG_SYN;
            s.ranges = (f & RSP_FLAG_EACK) ? r : nullptr;
            s.nranges = (f & RSP_FLAG_EACK) ? 2 : 0;
            std::vector<uint8_t> b(200);
            b.resize(rsp::build_control(b.data(), b.size(), c, s));
            seeds.push_back(b);
        }
    }
    for (int round = 0; round < 20; ++round) {
        p.b->call([&] {
            Element* in = p.b->find<Element>("in");
            for (int i = 0; i < 250; ++i) {
                auto b = seeds[rng() % seeds.size()];
                int how = rng() % 3;
                if (how == 0)
                    b.resize(rng() % (b.size() + 1));
                else if (how == 1)
                    for (int k = 1 + rng() % 3; k; --k)
                        b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
                else
                    for (size_t k = 32; k < b.size(); ++k)
                        b[k] = uint8_t(rng());
                WritablePacket* q = Packet::make(0, b.data(), uint32_t(b.size()), 0);
                if (b.size() >= 20)
                    q->set_network_header(q->data(), 20);
                q->set_timestamp_anno(Timestamp::now());
                in->push(0, q);
            }
        });
    }
    // The tunnel may have been reset by a valid-looking RST; it reconnects.
    ASSERT_TRUE(wait_for([&] {
        p.a->send(500, 1);
        return p.a->state() == RSP::OPEN && p.b->state() == RSP::OPEN && !p.a->comp()->_force_stateless;
    }, 10000));
    // Fuzzed packets that do not look like RSP traffic pass on unchanged and
    // reach the sink as garbage; count only what follows.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.b->sink()->take();
    p.b->sink()->corrupt = 0;
    send_paced(*p.a, 1000, 50);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= 50; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(in_order(p.b->sink()->take(), 1000, 50));
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
}

// The real compressor and decompressor on both ends: for each engine with
// streaming, at 0%, 1% and 5% loss, every packet arrives once, in order and
// identical.
class RspEngines : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(RspEngines, StreamingThroughRealCompressorsSurvivesLoss) {
    register_elements();
    if (!click_element_type_exists("WComp") || !click_element_type_exists("WDeComp"))
        GTEST_SKIP() << "WComp or WDeComp is not part of this build";
    auto [engine, loss] = GetParam();
    std::string link = ", DUP 1, REORDER 5, SEED " + std::to_string(engine * 10 + loss);
    Pair p(link, link, ", DUPLICATE_ACK_FAST_RETRANSMIT 3", ", DUPLICATE_ACK_FAST_RETRANSMIT 3",
           "COMPRESSOR " + std::to_string(engine) + ", METHOD streaming, LEVEL 3, MIN_DATA_LEN 64",
           {{"COMPCLASS", "WComp"}, {"DECCLASS", "WDeComp"}});
    ASSERT_TRUE(p.open(5000));
    p.a->link()->loss = loss;
    p.b->link()->loss = loss;
    const uint32_t n = 400;
    send_paced(*p.a, 0, n, 600, 20);
    ASSERT_TRUE(wait_for([&] { return p.b->sink()->count() >= n; }, 20000))
        << p.b->sink()->count() << " delivered; A: " << p.a->read("rsp.state");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(in_order(p.b->sink()->take(), 0, n));
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
    EXPECT_EQ(p.a->read("comp.active_method"), "Streaming");
}

INSTANTIATE_TEST_SUITE_P(Engines, RspEngines,
                         ::testing::Combine(::testing::Values(2, 3, 4, 5), ::testing::Values(0, 1, 5)));

// Configuration mistakes are reported and stop the router.
TEST(RspConfig, BadSettingsAreRefused) {
    register_elements();
    struct Case {
        std::map<std::string, std::string> kw;
        std::string message;
    } cases[] = {
        {{{"MODE", "both"}}, "Bad MODE. Options are client or server"},
        {{{"MODE", "CLIENT"}, {"MAX_RX_COUNT", "16384"}}, "MAX_RX_COUNT"},
        {{{"MODE", "Server"}, {"MAX_RX_COUNT", "0"}}, "MAX_RX_COUNT"},
        {{{"CONGESTION_REPORT_HISTORY", "0"}}, "CONGESTION_REPORT_HISTORY"},
        {{{"CONGESTION_REPORT_PERIOD_MS", "0"}}, "CONGESTION_REPORT_PERIOD_MS"},
        {{{"CONNECTION_POLL_SECS", "0"}}, "CONNECTION_POLL_SECS"},
        {{{"WINDOW_RTT_TIMER_SEC", "0"}}, "WINDOW_RTT_TIMER_SEC"},
        {{{"WCOMP", "peers"}}, "is not a WCompBase element"},
        {{{"WRTT", "comp"}}, "is not a WRTT element"},
        {{{"NOTIFIER", "comp"}}, "is not an PeerDiscoveryNotifier"},
        {{{"WCOMP", "nothere"}}, "does not name an element"},
        {{}, ""},  // the defaults configure
    };
    for (auto& c : cases) {
        std::map<std::string, std::string> kw = {{"MODE", "client"}, {"LOCAL_IP", "1.1.1.1"}, {"WRTT", "wrtt"},
                                                 {"WCOMP", "comp"},  {"NOTIFIER", "peers"},   {"PEER_OUTPUT_PORT", "1"}};
        for (auto& x : c.kw)
            kw[x.first] = x.second;
        std::string args;
        for (auto& x : kw)
            args += (args.empty() ? "" : ", ") + x.first + " " + x.second;
        std::string text = "WConf(MAX_PEERS 1, LOG_LEVEL 4); peers :: RspTestNotifier; comp :: RspTestComp;"
                           "wrtt :: WPeerInfo(LOCAL_IP 1.1.1.1, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
                           "rsp :: RSP(" + args + ");"
                           "i0 :: RspTestSource; i1 :: RspTestSource; i2 :: RspTestSource; i3 :: RspTestSource;"
                           "s :: RspTestSink; i0 -> [0]rsp; i1 -> [1]rsp; i2 -> comp -> s; i3 -> wrtt;"
                           "rsp[0] -> s; rsp[1] -> s; rsp[2] -> s; wrtt[0] -> s; wrtt[1] -> s; wrtt[2] -> s;"
                           "wrtt[3] -> s;";
        StringErrorHandler errh;
        Master m(1);
        Router* r = Router::create(text, "bad.click", {}, &errh, &m);
        int rc = r ? r->initialize(&errh) : -1;
        if (c.message.empty()) {
            EXPECT_EQ(rc, 0) << errh.text();
        } else {
            EXPECT_LT(rc, 0) << args;
            EXPECT_NE(errh.text().find(c.message), std::string::npos) << args << ": " << errh.text();
        }
        delete r;
    }
}

// Hot reconfiguration of either end in the middle of lossy, reordered
// streaming traffic: the new RSP keeps the connection (no new handshake, the
// numbering goes on) with whatever was queued, the new compressor and
// decompressor go on with the running stream, and every packet arrives once,
// in order and intact. A swap that changes the compression level starts a
// new stream instead, again without a lost or corrupt packet. Every engine:
// the LZ4 contexts point into their ring buffers, zlib's into itself.
class RspHotSwap : public ::testing::TestWithParam<int> {};

TEST_P(RspHotSwap, KeepsConnectionQueuesAndStream) {
    register_elements();
    if (!click_element_type_exists("WComp") || !click_element_type_exists("WDeComp"))
        GTEST_SKIP() << "WComp or WDeComp is not part of this build";
    std::string link = ", LOSS 0.02, DUP 0.01, REORDER 5, DELAY_MS 3, SEED 9";
    std::string engine = "COMPRESSOR " + std::to_string(GetParam()) + ", METHOD streaming, MIN_DATA_LEN 64";
    Pair p(link, link, "", "", engine + ", LEVEL 3", {{"COMPCLASS", "WComp"}, {"DECCLASS", "WDeComp"}});
    ASSERT_TRUE(p.open(5000));
    std::vector<Delivered> got;
    auto drain = [&](std::vector<Delivered> v) { got.insert(got.end(), v.begin(), v.end()); };
    auto swap_checks = [&](const End::Swap& s, const char* what) {
        ASSERT_TRUE(s.ok) << what;
        EXPECT_EQ(s.old_state, RSP::OPEN) << what;
        EXPECT_EQ(s.new_state, RSP::OPEN) << what;
        EXPECT_EQ(s.new_tx, s.old_tx) << what;
        EXPECT_EQ(s.new_rx, s.old_rx) << what;
        EXPECT_EQ(s.new_snd_nxt, s.old_snd_nxt) << what;
        drain(s.old_sink);
    };
    uint32_t sent = 0;
    auto burst = [&](uint32_t n) {
        send_paced(*p.a, sent, n, 600, 20);
        sent += n;
    };
    burst(150);
    {
        // The sender, with packets still unacknowledged on the lossy link.
        End::Swap s = p.a->hotswap();
        swap_checks(s, "sender");
        EXPECT_GT(s.old_snd_nxt, 100);
    }
    burst(150);
    {
        // The receiver, with its reorder window and push queue in use.
        End::Swap s = p.b->hotswap();
        swap_checks(s, "receiver");
    }
    burst(150);
    auto all_delivered = [&](int ms) {
        return wait_for(
            [&] {
                drain(p.b->sink()->take());
                size_t tx = 1;
                p.a->call([&] {
                    p.a->rsp()->lock_acquire();
                    tx = p.a->rsp()->tx_queue_size();
                    p.a->rsp()->lock_release();
                });
                return got.size() >= sent && tx == 0;
            },
            ms);
    };
    ASSERT_TRUE(all_delivered(20000)) << got.size() << " of " << sent << " delivered";
    EXPECT_TRUE(in_order(got, 0, sent));
    {
        // Another compression level, nothing outstanding: the new compressor
        // streams at once, starting a new stream.
        End::Swap s = p.a->hotswap({{"COMP", engine + ", LEVEL 5"}});
        swap_checks(s, "new level");
        EXPECT_EQ(p.a->read("comp.active_method"), "Streaming");
    }
    uint32_t first = sent;
    burst(150);
    ASSERT_TRUE(all_delivered(20000)) << got.size() << " of " << sent << " delivered";
    EXPECT_TRUE(in_order(got, first, sent - first));
    EXPECT_EQ(p.b->sink()->corrupt, 0u);
    EXPECT_EQ(p.b->read("dec.errors"), "0");
    p.a->call([&] { EXPECT_EQ(p.a->rsp()->counters().tx_stream_dropped, 0u); });
    EXPECT_EQ(p.a->read("comp.active_method"), "Streaming");
    EXPECT_GT(std::stoull(p.b->read("dec.decompressed")), sent / 2);
}

INSTANTIATE_TEST_SUITE_P(Engines, RspHotSwap, ::testing::Values(2, 3, 4, 5));
