// The adaptive level: the decision rule on its own, the WAN test on RSP's
// figures, and the keywords.
#include <gtest/gtest.h>

#include "compression/adaptive_level.hh"
#include "compression/compressor_engine.hh"
#include "compression/wcomp.hh"
#include "testrouter.hh"

using namespace compression;
using namespace quilo_test;

namespace {

int ticks(AdaptiveLevel& a, int n, bool wan, double busy) {
    for (int i = 0; i < n; ++i)
        a.tick(wan, busy);
    return a.level();
}

// Down after DOWN_TICKS saturated ticks (faster while saturation lasts), up
// only after UP_TICKS ticks that are WAN-bound with time to spare, nothing in
// the band between; zstd skips level 0; the limits hold; a level that proved
// too costly waits HOLD_TICKS.
TEST(AdaptiveLevel, HysteresisAndLimits) {
    AdaptiveLevel a;
    a.reset(ENGINE_ZSTD, 1, -2, 3);
    EXPECT_EQ(ticks(a, AdaptiveLevel::DOWN_TICKS - 1, true, 0.95), 1);
    EXPECT_EQ(ticks(a, 1, true, 0.95), -1);
    // Level 1 proved too costly: not tried again while the hold runs, a
    // short one after a run's first step.
    EXPECT_EQ(ticks(a, AdaptiveLevel::FIRST_HOLD_TICKS - 1, true, 0.1), -1);
    EXPECT_EQ(ticks(a, AdaptiveLevel::UP_TICKS, true, 0.1), 1);
    EXPECT_EQ(ticks(a, AdaptiveLevel::DOWN_TICKS, true, 0.95), -1);
    EXPECT_EQ(ticks(a, 1, true, 0.95), -2);
    // After a longer run, the long hold.
    EXPECT_EQ(ticks(a, 2 * AdaptiveLevel::UP_TICKS, true, 0.1), -2);
    // WAN-bound, but the threads are neither idle nor saturated: stay.
    EXPECT_EQ(ticks(a, 2 * AdaptiveLevel::UP_TICKS, true, 0.75), -2);
    // Not WAN-bound: no reason to spend more.
    EXPECT_EQ(ticks(a, 2 * AdaptiveLevel::UP_TICKS, false, 0.1), -2);
    // Once the hold is over, one step up every UP_TICKS, up to the maximum.
    EXPECT_EQ(ticks(a, AdaptiveLevel::HOLD_TICKS - 6 * AdaptiveLevel::UP_TICKS - 1, true, 0.1), -2);
    EXPECT_EQ(ticks(a, AdaptiveLevel::UP_TICKS, true, 0.1), -1);
    EXPECT_EQ(ticks(a, AdaptiveLevel::UP_TICKS, true, 0.1), 1);
    EXPECT_EQ(ticks(a, 10 * AdaptiveLevel::UP_TICKS, true, 0.1), 3);
    EXPECT_EQ(ticks(a, 20 * AdaptiveLevel::DOWN_TICKS, false, 1.0), -2);
    // A saturated run speeds up: 1 step, then 4 a tick later, then 16.
    a.reset(ENGINE_ZSTD, 3, -100, 9);
    EXPECT_EQ(ticks(a, AdaptiveLevel::DOWN_TICKS, false, 1.0), 2);
    EXPECT_EQ(ticks(a, 1, false, 1.0), -3);
    EXPECT_EQ(ticks(a, 1, false, 1.0), -100);
    // A tick between the thresholds keeps the run going; an idle one ends it.
    a.reset(ENGINE_ZSTD, 3, -10, 9);
    ticks(a, AdaptiveLevel::DOWN_TICKS, false, 1.0);
    EXPECT_EQ(ticks(a, 1, false, 0.7), 2);
    EXPECT_EQ(ticks(a, 1, false, 1.0), -3);
    EXPECT_EQ(ticks(a, 1, false, 0.1), -3);
    EXPECT_EQ(ticks(a, AdaptiveLevel::DOWN_TICKS - 1, false, 1.0), -3);
    EXPECT_EQ(ticks(a, 1, false, 1.0), -5);
    // With the floor open, a saturated run ends below the lowest level in
    // no compression (0), which climbs back to the lowest level only.
    a.reset(ENGINE_ZSTD, -20, -50, 9, true);
    EXPECT_EQ(ticks(a, AdaptiveLevel::DOWN_TICKS, false, 1.0), -50);
    EXPECT_EQ(ticks(a, 1, false, 1.0), 0);
    EXPECT_FALSE(AdaptiveLevel::higher(0, -50));
    EXPECT_TRUE(AdaptiveLevel::higher(-50, 0));
    EXPECT_EQ(ticks(a, AdaptiveLevel::HOLD_TICKS - 1, true, 0.1), 0);
    EXPECT_EQ(ticks(a, AdaptiveLevel::UP_TICKS, true, 0.1), -50);
    a.reset(ENGINE_ZLIB, 9, 1, 9);
    EXPECT_EQ(ticks(a, AdaptiveLevel::UP_TICKS * 2, true, 0.0), 9);
    EXPECT_EQ(ticks(a, AdaptiveLevel::DOWN_TICKS * 20, false, 2.0), 1);
    EXPECT_EQ(step_level(ENGINE_ZLIB, 1, -1), 1);
    EXPECT_EQ(step_level(ENGINE_ZSTD, -1, 1), 1);
    // Below 1, zstd walks a ladder of rungs that grow apart.
    EXPECT_EQ(step_level(ENGINE_ZSTD, 1, -1), -1);
    EXPECT_EQ(step_level(ENGINE_ZSTD, -7, -1), -10);
    EXPECT_EQ(step_level(ENGINE_ZSTD, -30, -1), -50);
    EXPECT_EQ(step_level(ENGINE_ZSTD, -30, 1), -20);
    EXPECT_EQ(step_level(ENGINE_ZSTD, -50, 1), -20);
    EXPECT_EQ(step_level(ENGINE_ZSTD, -1000, -1), -1000);
}

TEST(AdaptiveLevel, WanBoundFromRspFigures) {
    TunnelFigures f;
    EXPECT_FALSE(wan_bound(f));  // nothing outstanding
    f.outstanding = 100;
    f.window = 100;
    EXPECT_TRUE(wan_bound(f));  // the window is the limit
    f.window = 2000;
    f.rtt = {45, 45, 0, 0};
    EXPECT_FALSE(wan_bound(f));  // no base round trip yet
    f.rtt = {45, 45, 40, 42};
    EXPECT_FALSE(wan_bound(f));
    f.rtt = {200, 250, 40, 0};
    EXPECT_TRUE(wan_bound(f));  // packets wait in a WAN queue
}

TEST(AdaptiveLevel, Keywords) {
    {
        TestRouter r;
        ASSERT_TRUE(r.build("conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4); Idle -> c :: WComp(COMPRESSOR 2, LEVEL 1, "
                            "ADAPTIVE true) -> Discard;"));
        EXPECT_NE(r.errors().find("ADAPTIVE needs COMPRESSOR 4 (zstd) or 5 (zlib)"), std::string::npos);
        EXPECT_EQ(r.read("c.adaptive"), "off");
    }
    {
        TestRouter r;
        EXPECT_FALSE(r.build("conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4); Idle -> c :: WComp(COMPRESSOR 5, LEVEL 6, "
                             "ADAPTIVE true, ADAPTIVE_MIN 7, ADAPTIVE_MAX 3) -> Discard;"));
        EXPECT_NE(r.errors().find("bad level range 7 to 3"), std::string::npos) << r.errors();
    }
    {
        TestRouter r;
        ASSERT_TRUE(r.build("conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4); Idle -> c :: WComp(COMPRESSOR 4, LEVEL 12, "
                            "ADAPTIVE true) -> Discard;"))
            << r.errors();
        // LEVEL starts inside the default range.
        EXPECT_EQ(r.read("c.level"), std::to_string(default_adaptive_max(ENGINE_ZSTD)));
        EXPECT_NE(r.read("c.adaptive").find("range -50 to 9"), std::string::npos) << r.read("c.adaptive");
    }
}

}  // namespace
