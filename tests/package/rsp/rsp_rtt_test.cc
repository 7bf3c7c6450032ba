#include <gtest/gtest.h>

#include "rsp/rsp_rtt.hh"

using namespace rsp;

TEST(RspRtt, EstimateRisesQuicklyFallsSlowlyAndIgnoresBadSamples) {
    RttEstimator e;
    EXPECT_EQ(e.retransmit_delay(2.0, 0, 0), 2100u);
    EXPECT_TRUE(e.sample(40));
    EXPECT_EQ(e.info().weighted_rtt, 862);  // (40 + 6000) / 7
    RttEstimator e2;
    e2.sample(1500);
    EXPECT_EQ(e2.info().weighted_rtt, 1250);  // (1000 + 1500) / 2
    EXPECT_EQ(e2.info().last_rtt, 1500);

    // A clock step or a missing timestamp must not poison the estimate.
    EXPECT_FALSE(e.sample(-5));
    EXPECT_FALSE(e.sample(int64_t(1) << 40));
    EXPECT_FALSE(e.sample(RTT_SAMPLE_MAX_MS + 1));
    EXPECT_EQ(e.info().weighted_rtt, 862);
    EXPECT_EQ(e.info().last_rtt, 40);

    EXPECT_EQ(e.info().window_rtt_min, 40);
    e.sample(60);
    EXPECT_EQ(e.info().window_rtt_min, 40);
    e.window_tick();
    EXPECT_EQ(e.info().prev_window_rtt_min, 40);
    EXPECT_EQ(e.info().window_rtt_min, 0);
    e.sample(70);
    EXPECT_EQ(e.info().window_rtt_min, 70);
}

TEST(RspRtt, RetransmitDelayAndBackOff) {
    RttEstimator e;
    EXPECT_EQ(e.retransmit_delay(2.0, 20, 0), 2120u);
    EXPECT_EQ(e.retransmit_delay(2.0, 0, 5000), 5000u);  // floor
    EXPECT_EQ(e.retransmit_delay(-10.0, 0, 0), 0u);      // never negative
    EXPECT_EQ(e.retransmit_delay(1e12, 0, 0), 0xFFFFFFFFu);
    // Defaults: due at 2100, then 2 * 2100 + 50 after the first retransmission, ...
    EXPECT_FALSE(retransmit_due(2099, 0, 0, 2100));
    EXPECT_TRUE(retransmit_due(2100, 0, 0, 2100));
    EXPECT_FALSE(retransmit_due(2100 + 4249, 2100, 1, 2100));
    EXPECT_TRUE(retransmit_due(2100 + 4250, 2100, 1, 2100));
    EXPECT_TRUE(retransmit_due(5, 0xFFFFFFF0u, 0, 20));  // jiffies wrap
}

TEST(RspCongestion, ReportSumsTheHistory) {
    CongestionReport one(1);
    one.period_packets = 7;
    one.period_retransmits = 2;
    one.tick();
    EXPECT_EQ(one.info().tx_packets_total, 7u);
    EXPECT_EQ(one.info().tx_packets_average, 7u);
    EXPECT_EQ(one.info().tx_packets_last, 7u);
    EXPECT_EQ(one.info().tx_retransmits_total, 2u);
    EXPECT_EQ(one.period_packets, 0u);
    one.period_packets = 3;
    one.tick();
    EXPECT_EQ(one.info().tx_packets_total, 3u);

    CongestionReport three(3);
    for (uint32_t p : {10u, 20u, 30u, 40u}) {
        three.period_packets = p;
        three.period_retransmits = 1;
        three.tick();
    }
    EXPECT_EQ(three.info().tx_packets_total, 90u);
    EXPECT_EQ(three.info().tx_packets_average, 30u);
    EXPECT_EQ(three.info().tx_packets_last, 40u);
    EXPECT_EQ(three.info().tx_retransmits_total, 3u);
}
