#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "rsp/rsp_queues.hh"

using namespace rsp;

namespace {
// Packets are plain ids; 0 is "no packet". Freed ids are recorded.
struct Freed {
    std::vector<int> ids;
    void operator()(int p) { ids.push_back(p); }
};
}  // namespace

TEST(RspRxWindow, ReordersAndReportsEackRanges) {
    RxWindow<int> w(2000);
    Freed f;
    w.set_cur(3, f);
    EXPECT_EQ(w.insert(105, 5), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.insert(107, 7), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.insert(108, 8), RxWindow<int>::Insert::inserted);
    rsp_eack_range r[8];
    ASSERT_EQ(w.eack_ranges(r, 8), 2u);
    EXPECT_EQ(r[0].first, 5); EXPECT_EQ(r[0].last, 5);
    EXPECT_EQ(r[1].first, 7); EXPECT_EQ(r[1].last, 8);
    EXPECT_EQ(w.pop_in_order(), 0);  // 4 is missing

    EXPECT_EQ(w.insert(104, 4), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.pop_in_order(), 104);
    EXPECT_EQ(w.pop_in_order(), 105);
    EXPECT_EQ(w.pop_in_order(), 0);
    EXPECT_EQ(w.cur(), 5);
    ASSERT_EQ(w.eack_ranges(r, 8), 1u);
    EXPECT_EQ(r[0].first, 7); EXPECT_EQ(r[0].last, 8);

    // Duplicates and old numbers are refused, the original stays.
    EXPECT_EQ(w.insert(999, 7), RxWindow<int>::Insert::duplicate);
    EXPECT_EQ(w.insert(999, 5), RxWindow<int>::Insert::old);
    EXPECT_EQ(w.insert(999, 4), RxWindow<int>::Insert::old);
    // Acceptance: up to twice the allowance ahead.
    EXPECT_EQ(w.insert(999, 5 + 4001), RxWindow<int>::Insert::beyond);
    EXPECT_EQ(w.insert(1, 5 + 4000), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.size(), 3u);
    w.clear(f);
    EXPECT_EQ(w.size(), 0u);
    EXPECT_EQ(std::multiset<int>(f.ids.begin(), f.ids.end()), (std::multiset<int>{1, 107, 108}));
}

TEST(RspRxWindow, WrapsAt65535AndLimitsRanges) {
    RxWindow<int> w(10);
    Freed f;
    w.set_cur(65534, f);
    EXPECT_EQ(w.insert(1, 0), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.insert(2, 2), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.insert(3, 4), RxWindow<int>::Insert::inserted);
    rsp_eack_range r[4];
    EXPECT_EQ(w.eack_ranges(r, 2), 2u);  // the third range is cut off
    EXPECT_EQ(w.eack_ranges(r, 0), 1u);  // at least one range
    EXPECT_EQ(w.insert(4, 65535), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.pop_in_order(), 4);
    EXPECT_EQ(w.pop_in_order(), 1);
    EXPECT_EQ(w.cur(), 0);
    EXPECT_EQ(w.insert(5, 1), RxWindow<int>::Insert::inserted);
    EXPECT_EQ(w.pop_in_order(), 5);
    EXPECT_EQ(w.pop_in_order(), 2);
    EXPECT_EQ(w.cur(), 2);
}

// Random arrival order with duplicates: delivery is complete, in order, once.
TEST(RspRxWindow, RandomArrivalDeliversInOrderOnce) {
    std::mt19937 rng(7);
    RxWindow<int> w(64);
    Freed f;
    w.set_cur(65500, f);
    std::vector<int> delivered;
    uint16_t next = 65501;
    for (int base = 0; base < 2048; base += 32) {
        std::vector<int> batch;
        for (int i = 0; i < 32; ++i) {
            batch.push_back(base + i);
            if (rng() % 5 == 0)
                batch.push_back(base + i);
        }
        std::shuffle(batch.begin(), batch.end(), rng);
        for (int id : batch) {
            uint16_t s = uint16_t(65501 + id);
            w.insert(id + 1, s);
            while (int p = w.pop_in_order()) {
                delivered.push_back(p - 1);
                ++next;
            }
        }
    }
    ASSERT_EQ(delivered.size(), 2048u);
    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ(delivered[i], i);
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(w.cur(), uint16_t(65500 + 2048));
    EXPECT_EQ(next, uint16_t(65501 + 2048));
}

TEST(RspTxQueue, CumulativeAndExtendedAcknowledgement) {
    TxQueue<int> q;
    Freed f;
    for (uint16_t s = 8; s <= 13; ++s)
        q.push_back(s, s, 100 + s);
    // EACK range 10-12 against 8..13 leaves 8, 9, 13.
    EXPECT_EQ(q.ack_range(10, 12, f), 3u);
    EXPECT_EQ(q.size(), 3u);
    std::vector<int> left;
    for (size_t i = 0; i < q.slots(); ++i)
        if (q.at(i).live)
            left.push_back(q.at(i).seq);
    EXPECT_EQ(left, (std::vector<int>{8, 9, 13}));
    uint32_t last_tx = 0;
    EXPECT_EQ(q.ack_cumulative(9, &last_tx, f), 2u);
    EXPECT_EQ(last_tx, 109u);
    EXPECT_EQ(q.size(), 1u);
    EXPECT_EQ(q.at(0).seq, 13);  // removed nodes are trimmed from the front
    EXPECT_EQ(q.ack_range(20, 15, f), 0u);  // an inverted range removes nothing
    EXPECT_EQ(q.ack_cumulative(13, &last_tx, f), 1u);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(f.ids.size(), 6u);
}

// The round trip of an acknowledgement that fills a hole comes from the
// latest packet sent only once that it newly covers, not from the
// retransmission that filled the hole nor from the oldest packet it covers.
TEST(RspTxQueue, FreshAckSkipsRetransmissions) {
    TxQueue<int> q;
    Freed f;
    for (uint16_t s = 1; s <= 6; ++s)
        q.push_back(s, s, 100 + s);
    q.at(1).retransmit_count = 1;  // 2 was resent at 150
    q.at(1).tx_jiffies = 150;
    FreshAck fresh;
    uint32_t last_tx = 0, latest = 0;
    EXPECT_EQ(q.ack_cumulative(2, &last_tx, f, &latest, &fresh), 2u);
    EXPECT_EQ(latest, 150u);
    ASSERT_TRUE(fresh.have);
    EXPECT_EQ(fresh.tx, 101u);
    EXPECT_EQ(q.ack_range(4, 5, f, &latest, &fresh), 2u);
    EXPECT_EQ(fresh.tx, 105u);
    FreshAck none;
    q.at(0).retransmit_count = 1;
    EXPECT_EQ(q.ack_cumulative(3, &last_tx, f, &latest, &none), 1u);
    EXPECT_FALSE(none.have);
}

TEST(RspTxQueue, GrowsAndWrapsWithoutLosingOrder) {
    TxQueue<int> q;
    Freed f;
    uint16_t s = 65000;
    for (int i = 0; i < 1000; ++i)
        q.push_back(i + 1, uint16_t(s + i), 0);
    EXPECT_EQ(q.size(), 1000u);
    uint32_t last = 0;
    EXPECT_EQ(q.ack_range(uint16_t(s + 600), uint16_t(s + 699), f), 100u);
    EXPECT_EQ(q.ack_cumulative(uint16_t(s + 535), &last, f), 536u);  // past 65535
    EXPECT_EQ(q.at(0).seq, uint16_t(s + 536));
    for (int i = 1000; i < 1100; ++i)
        q.push_back(i + 1, uint16_t(s + i), 0);
    EXPECT_EQ(q.size(), 1100u - 636u);
    q.clear(f);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(f.ids.size(), 1100u);
}
