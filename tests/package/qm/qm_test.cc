// The queue managers against a stand-in RSP and compressor that feed chosen
// figures, and a clock the test moves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "compression/wcompbase.hh"
#include "qm/qmbase.hh"
#include "qm/wccc.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

class FakeRsp : public Element, public QMFigures {
  public:
    const char* class_name() const override { return "QmTestRsp"; }
    void* cast(const char* n) override {
        return std::strcmp(n, "QMFigures") == 0 ? static_cast<QMFigures*>(this) : Element::cast(n);
    }
    rtt_info_t rtt_info() override { return rtt; }
    rsp_congestion_info congestion_info() override { return cong; }
    bool idle() override { return is_idle; }
    rtt_info_t rtt{1000, 1000, 0, 0};
    bool is_idle = false;
    rsp_congestion_info cong{0, 0, 0, 0};
};

class FakeComp : public Element, public WCompBase {
  public:
    FakeComp() {
        _method = METHOD_STREAMING;
        _force_stateless = false;
    }
    const char* class_name() const override { return "QmTestComp"; }
    void* cast(const char* n) override {
        return std::strcmp(n, "WCompBase") == 0 ? static_cast<WCompBase*>(this) : Element::cast(n);
    }
    void set_force_stateless() override { _force_stateless = true; }
    void hard_set_force_stateless() override { _force_stateless = true; }
    void unforce_stateless() override { _force_stateless = false; }
    void set_master_fallback() override { _master_fallback = true; }
    void reset_master_fallback() override { _master_fallback = false; }
};

int64_t g_now_ns = 0;
Timestamp test_clock() { return Timestamp::make_nsec(g_now_ns); }

struct Rig {
    TestRouter r;
    FakeRsp* rsp = nullptr;
    FakeComp* comp = nullptr;
    Element* qm = nullptr;
    Sink* pass = nullptr;
    Sink* dropped = nullptr;

    // `element`: the queue manager's class and arguments; `two_outputs`:
    // whether its output 1 is connected.
    explicit Rig(const std::string& element, bool two_outputs = true) {
        static bool reg = [] {
            click_add_element_type<FakeRsp>("QmTestRsp");
            click_add_element_type<FakeComp>("QmTestComp");
            return true;
        }();
        (void)reg;
        std::string text = "WConf(MAX_PEERS 1, LOG_LEVEL 4); rsp :: QmTestRsp; comp :: QmTestComp;"
                           "Idle -> qm :: " + element + " -> pass :: QuiloTestSink;";
        if (two_outputs)
            text += "qm[1] -> dropped :: QuiloTestSink;";
        if (!r.build(text))
            return;
        rsp = r.get<FakeRsp>("rsp");
        comp = r.get<FakeComp>("comp");
        qm = r.find("qm");
        pass = r.get<Sink>("pass");
        pass->keep(false);
        if ((dropped = r.get<Sink>("dropped")))
            dropped->keep(false);
    }
    bool ok() const { return qm != nullptr; }

    // Pushes `n` packets like `f`; returns how many passed.
    size_t push(size_t n, const Frame& f = data_frame()) { return push(n, bytes_of(f)); }
    // Out of line: inlined here, g++ 12 takes the frame's vector for empty
    // and warns about the header copies.
    [[gnu::noinline]] static std::vector<uint8_t> bytes_of(const Frame& f) { return f.bytes(); }
    size_t push(size_t n, const std::vector<uint8_t>& frame) {
        size_t before = pass->count;
        for (size_t i = 0; i < n; ++i) {
            Packet* p = make_packet(frame);
            p->set_network_header(p->data() + 14, 20);
            qm->push(0, p);
        }
        return pass->count - before;
    }
    static Frame data_frame() {
        Frame f;
        f.payload = 1000;
        return f;
    }
};

std::string config_error(const std::string& element) {
    Rig r(element, element.rfind("WCCC", 0) != 0);
    EXPECT_FALSE(r.ok()) << element;
    return r.r.errors();
}

}  // namespace

TEST(QmConfig, BadSettingsAreRefusedWithTheirMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"WRED(10, 2, 0.1, RSP rsp)", "MIN_THRESH must be <= MAX_THRESH"},
        {"WRED(2, 101, 0.1, RSP rsp)", "MAX_THRESH must be <= 100"},
        {"WRED(2, 10, 1.5, RSP rsp)", "MAX_P must be between 0 and 1"},
        {"WRED(2, 10, 0.1, RSP nothere)", "'nothere' does not name an element"},
        {"WRED(2, 10, 0.1, RSP comp)", "'comp' is not a RSP element"},
        {"WLRED(0, 0, 0.1, RSP rsp)", "MAX_THRESH must be above 0"},
        {"WLRED(5, 10001, 0.1, RSP rsp)", "MAX_THRESH must be <= 10000"},
        {"WLLRED(2, 10, 5, 0, 0.1, 0.1, RSP rsp, WCOMP comp)", "MAX_THRESH_MS must be above 0"},
        {"WLLRED(2, 10, 5, 20000, 0.1, 0.1, RSP rsp, WCOMP comp)", "MAX_THRESH_MS must be <=  10000"},
        {"WLLRED(2, 10, 5, 50, 0.1, 2, RSP rsp, WCOMP comp)", "MAX_P_MS must be between 0 and 1"},
        {"WLLRED(20, 10, 5, 50, 0.1, 0.1, RSP rsp, WCOMP comp)", "MIN_THRESH_PERCENT must be <= MAX_THRESH_PERCENT"},
        {"WLLRED(2, 10, 5, 50, 3, 0.1, RSP rsp, WCOMP comp)", "MAX_P_PERCENT must be between 0 and 1"},
        {"WLLRED(2, 10, 5, 50, 0.1, 0.1, RSP rsp, WCOMP rsp)", "'rsp' is not a WCompBase element"},
        {"WCCC(RSP rsp, WCOMP comp, INTERVAL 0)", "INTERVAL must be at least 1ms"},
    };
    for (auto& [element, message] : cases)
        EXPECT_NE(config_error(element).find(message), std::string::npos) << element << ": " << config_error(element);
}

// MIN 2, MAX 10: 1 retransmission in 100 passes everything, 11 in 100 drops
// everything, 5 in 100 drops some; nothing transmitted never drops. Dropped
// packets go to output 1 when it is connected and are freed otherwise.
TEST(WRED, RetransmissionShareDecides) {
    for (bool two : {true, false}) {
        Rig r("WRED(2, 10, 0.1, RSP rsp)", two);
        ASSERT_TRUE(r.ok()) << r.r.errors();
        EXPECT_EQ(r.push(500), 500u);  // nothing transmitted
        r.rsp->cong = {100, 1, 100, 100};
        EXPECT_EQ(r.push(500), 500u);
        r.rsp->cong = {100, 11, 100, 100};
        EXPECT_EQ(r.push(500), 0u);
        r.rsp->cong = {100, 5, 100, 100};
        size_t passed = r.push(2000);
        EXPECT_GT(passed, 1500u);
        EXPECT_LT(passed, 2000u);
        uint64_t drops = 500 + 2000 - passed;
        EXPECT_EQ(r.r.read("qm.drops"), std::to_string(drops));
        EXPECT_EQ(r.dropped ? r.dropped->count : drops, drops);
    }
    // Equal thresholds: a hard threshold.
    Rig r("WRED(5, 5, 0.1, RSP rsp)");
    ASSERT_TRUE(r.ok()) << r.r.errors();
    r.rsp->cong = {100, 5, 100, 100};
    EXPECT_EQ(r.push(200), 200u);
    r.rsp->cong = {100, 6, 100, 100};
    EXPECT_EQ(r.push(200), 0u);
}

// The smoothed RTT against baseline + MIN_THRESH, the baseline falling back
// from the previous window's minimum to the current one's to the smoothed RTT.
TEST(WLRED, RttGrowthDecides) {
    Rig r("WLRED(10, 100, 0.5, RSP rsp)");
    ASSERT_TRUE(r.ok()) << r.r.errors();
    r.rsp->rtt = {49, 49, 40, 0};
    EXPECT_EQ(r.push(500), 500u);
    r.rsp->rtt = {90, 90, 40, 0};
    size_t passed = r.push(2000);
    EXPECT_LT(passed, 1900u);
    EXPECT_GT(passed, 100u);
    r.rsp->rtt = {90, 90, 0, 85};  // current-window minimum
    EXPECT_EQ(r.push(500), 500u);
    r.rsp->rtt = {90, 90, 0, 0};  // the smoothed RTT itself
    EXPECT_EQ(r.push(500), 500u);
}

// Only while the compressor streams; loss drops need 5 retransmissions in
// the history; an average of 0 packets per period is no reason to divide.
TEST(WLLRED, StreamingLatencyAndLoss) {
    Rig r("WLLRED(2, 100, 10, 100, 0.5, 0.5, RSP rsp, WCOMP comp)");
    ASSERT_TRUE(r.ok()) << r.r.errors();
    r.rsp->rtt = {400, 400, 40, 40};
    r.rsp->cong = {100, 1, 100, 100};
    r.comp->_force_stateless = true;
    EXPECT_EQ(r.push(500), 500u);
    EXPECT_EQ(r.r.read("qm.drops_latency"), "0");
    EXPECT_EQ(r.r.read("qm.drops_loss"), "0");

    r.comp->_force_stateless = false;
    EXPECT_LT(r.push(500), 400u);
    EXPECT_NE(r.r.read("qm.drops_latency"), "0");
    EXPECT_EQ(r.r.read("qm.drops_loss"), "0");

    // The smoothed latency falls back below its threshold; loss takes over.
    r.rsp->rtt = {40, 40, 40, 40};
    r.push(200);
    std::string latency_drops = r.r.read("qm.drops_latency");
    r.rsp->cong = {100, 4, 100, 100};
    EXPECT_EQ(r.push(500), 500u);
    r.rsp->cong = {100, 50, 100, 100};
    EXPECT_LT(r.push(500), 400u);
    EXPECT_NE(r.r.read("qm.drops_loss"), "0");
    // 5%: about one drop in 30, also when the period average is 0.
    r.rsp->cong = {100, 5, 0, 1};
    size_t passed = r.push(1000);
    EXPECT_GT(passed, 900u);
    EXPECT_LT(passed, 1000u);
    EXPECT_EQ(r.r.read("qm.drops_latency"), latency_drops);

    // Equal loss thresholds: a hard threshold.
    Rig h("WLLRED(5, 5, 10, 100, 0.5, 0.5, RSP rsp, WCOMP comp)");
    ASSERT_TRUE(h.ok()) << h.r.errors();
    h.rsp->rtt = {40, 40, 40, 40};
    h.rsp->cong = {100, 5, 100, 100};
    EXPECT_EQ(h.push(200), 200u);
    h.rsp->cong = {100, 6, 100, 100};
    EXPECT_EQ(h.push(200), 0u);
}

class WCCCTest : public ::testing::Test {
  protected:
    // One data packet per millisecond from `from` to `to` (ms) with RTT
    // sample `sample`; returns the times of the drops.
    std::vector<int> run(Rig& r, int from, int to, int sample, const Frame& f = Rig::data_frame()) {
        std::vector<int> drops;
        r.rsp->rtt.last_rtt = sample;
        for (int t = from; t < to; ++t) {
            g_now_ns = int64_t(t) * 1000000;
            if (r.push(1, f) == 0)
                drops.push_back(t);
        }
        return drops;
    }
    std::unique_ptr<Rig> make(const std::string& extra = "") {
        auto r = std::make_unique<Rig>("WCCC(RSP rsp, WCOMP comp" + extra + ")", false);
        if (r->ok()) {
            static_cast<WCCC*>(r->qm)->set_clock(test_clock);
            r->rsp->rtt = {50, 50, 50, 50};  // baseline 50 ms: target 60 ms
        }
        return r;
    }
    // INTERVAL / sqrt(count) in nanoseconds, with the integer square root of
    // count x 256 that the control law uses.
    static int64_t spacing(int64_t interval_ms, int count) {
        return interval_ms * 16000000 / int64_t(std::sqrt(256.0 * count));
    }
    static int ms_ceil(int64_t ns) { return int((ns + 999999) / 1000000); }
};

TEST_F(WCCCTest, TargetFromBaselineAndTheDropTimeline) {
    auto r = make();
    ASSERT_TRUE(r->ok()) << r->r.errors();
    EXPECT_TRUE(run(*r, 0, 1000, 59).empty());
    // Samples of 80 ms from 1000 ms: candidates from 1100 ms on, the first
    // drop at 1200 ms, then INTERVAL / sqrt(count) apart.
    std::vector<int> drops = run(*r, 1000, 1700, 80);
    std::vector<int> want{1200};
    int64_t next = 1200000000 + spacing(100, 1);
    for (int count = 2; next < 1700000000; ++count) {
        want.push_back(ms_ceil(next));
        next += spacing(100, count);
    }
    EXPECT_EQ(drops, want);
    // A sample below the target ends the dropping state at the next packet.
    EXPECT_TRUE(run(*r, 1700, 1800, 40).empty());
    // So does an idle tunnel, whose last sample is old: the end host's
    // retransmissions after a drop must get through.
    EXPECT_FALSE(run(*r, 1800, 2300, 80).empty());
    r->rsp->is_idle = true;
    EXPECT_TRUE(run(*r, 2300, 3000, 80).empty());
}

// The sample stays as the last burst left it while nothing is sent. A data
// packet after a quiet INTERVAL (the next connection's first) must pass; a
// shorter pause keeps the dropping state.
TEST_F(WCCCTest, AQuietIntervalStartsAfresh) {
    auto r = make();
    ASSERT_TRUE(r->ok()) << r->r.errors();
    ASSERT_FALSE(run(*r, 0, 1000, 80).empty());
    EXPECT_EQ(run(*r, 1050, 1051, 80), std::vector<int>{1050});
    EXPECT_TRUE(run(*r, 1400, 1500, 80).empty());
    EXPECT_EQ(run(*r, 1500, 1601, 80), std::vector<int>{1600});
}

// Dropping that ended before its scheduled drop resumes near the old count
// when the clock steps back (the difference to the scheduled drop is
// negative, not a huge unsigned number).
TEST_F(WCCCTest, ResumesAfterTheClockStepsBack) {
    auto r = make();
    ASSERT_TRUE(r->ok()) << r->r.errors();
    int count = int(run(*r, 10000, 10600, 80).size());
    ASSERT_GE(count, 5);
    run(*r, 10600, 10601, 40);
    std::vector<int> drops = run(*r, 5000, 5200, 80);
    ASSERT_GE(drops.size(), 2u);
    EXPECT_EQ(drops[0], 5100);
    EXPECT_EQ(drops[1], ms_ceil(5100000000 + spacing(100, count - 2)));
}

TEST_F(WCCCTest, StatelessLongIntervalsAndDataOnly) {
    {
        auto r = make();
        ASSERT_TRUE(r->ok());
        r->comp->_master_fallback = true;
        EXPECT_TRUE(run(*r, 0, 1000, 500).empty());
    }
    {
        // 500 x 16000000 does not fit 32 bits.
        auto r = make(", INTERVAL 500ms");
        ASSERT_TRUE(r->ok());
        EXPECT_EQ(static_cast<WCCC*>(r->qm)->control_law(0), 500000000);
        EXPECT_EQ(run(*r, 0, 2000, 80), (std::vector<int>{1000, 1500, ms_ceil(1500000000 + spacing(500, 2))}));
    }
    {
        // Acknowledgements and SYNs neither drop nor start the clock.
        auto r = make(", DATA_ONLY true");
        ASSERT_TRUE(r->ok());
        Frame ack, syn;
        syn.tcp_flags = 0x02;
        EXPECT_TRUE(run(*r, 0, 300, 80, ack).empty());
        EXPECT_TRUE(run(*r, 300, 400, 80, syn).empty());
        EXPECT_EQ(run(*r, 400, 700, 80)[0], 600);
    }
}

// DATA_ONLY judges packets by their TCP header, inside a tunnel shim too;
// what cannot be read is never chosen; ACTIVE false lets everything pass.
TEST(QmDataOnly, OnlyDataSegmentsAreCandidates) {
    Rig r("WRED(2, 10, 0.1, RSP rsp, DATA_ONLY true)");
    ASSERT_TRUE(r.ok()) << r.r.errors();
    r.rsp->cong = {100, 50, 100, 100};
    Frame ack, fin, udp;
    fin.tcp_flags = 0x11;
    fin.payload = 100;
    udp.proto = 17;
    udp.payload = 100;
    EXPECT_EQ(r.push(10, ack) + r.push(10, fin) + r.push(10, udp), 30u);
    EXPECT_EQ(r.push(10), 0u);
    // The same data segment inside a shim: IP protocol 108, shim, TCP header.
    std::vector<uint8_t> b = Rig::data_frame().bytes();
    b.insert(b.begin() + 34, {0x77, 0, 6, 0});
    b[14 + 9] = 108;
    b[14 + 3] += 4;
    Packet* p = make_packet(b);
    p->set_network_header(p->data() + 14, 20);
    r.qm->push(0, p);
    EXPECT_EQ(r.r.read("qm.drops"), "11");
    // Random and truncated headers: never read beyond the packet.
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> x = (i % 2 ? Rig::data_frame() : ack).bytes();
        x.resize(14 + rng() % (x.size() - 14));
        for (size_t k = 14; k < x.size(); ++k)
            if (rng() % 8 == 0)
                x[k] = uint8_t(rng());
        Packet* q = make_packet(x);
        q->set_network_header(q->data() + 14, 0);
        r.qm->push(0, q);
    }
    ASSERT_EQ(r.r.read("qm.active"), "true");
    Element* e = nullptr;
    ErrorHandler* errh = ErrorHandler::silent_handler();
    const Handler* h = r.r.router()->find_handler("qm.active", &e, errh);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->call_write("false", e, errh), 0);
    EXPECT_EQ(r.push(10), 10u);
}
