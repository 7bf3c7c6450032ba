// RSP's congestion window against a simulated bottleneck: a link of fixed
// rate behind a FIFO queue, with the sender always having more to send.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>

#include "rsp/rsp_pacer.hh"

namespace {

struct Path {
    double rate_bps = 20e6;   // bottleneck rate
    int64_t base_ms = 40;     // round trip without queue
    size_t queue_limit = 0;   // packets waiting at the bottleneck; 0: unlimited
    double loss = 0;          // random loss
    uint32_t packet = 1400;   // bytes per packet
    uint32_t target_ms = 5;
    int64_t jitter_ms = 0;    // extra delay of each acknowledgement, 0 to this
};

struct Outcome {
    double goodput_bps = 0;    // over the second half
    double mean_queue_ms = 0;  // queueing delay seen by the samples of the second half
    uint64_t overflows = 0;    // drops at the full queue after the first second
    uint64_t cwnd = 0;
};

// Simulates `seconds` of a sender with unlimited data; 50 us steps.
Outcome simulate(const Path& path, double seconds, uint32_t seed = 1) {
    rsp::Window::Params params;
    params.target_ms = path.target_ms;
    rsp::Window w(params);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(0, 1);
    const int64_t step = 50000, end = int64_t(seconds * 1e9), half = end / 2;
    const int64_t one_way = path.base_ms * 500000;
    const int64_t tx_ns = int64_t(path.packet * 8 / path.rate_bps * 1e9);
    std::deque<int64_t> waiting;             // arrival times at the bottleneck
    std::multimap<int64_t, int64_t> acks;    // ack time -> send time (0: a loss, freed at RTO)
    std::multimap<int64_t, int64_t> sent_at; // arrival at the bottleneck -> send time
    std::multimap<int64_t, int64_t> losses;  // loss noticed -> send time
    int64_t link_free = 0;
    Outcome o;
    double queue_sum = 0;
    uint64_t samples = 0, delivered = 0;
    for (int64_t now = 0; now < end; now += step) {
        while (w.may_send(path.packet, now)) {
            w.on_sent(path.packet, now);
            w.on_queued(path.packet);
            if (uni(rng) < path.loss)
                losses.emplace(now + 2 * one_way, now);  // noticed a round trip later
            else
                sent_at.emplace(now + one_way, now);
        }
        w.note_limited();  // there is always more to send
        for (auto it = sent_at.begin(); it != sent_at.end() && it->first <= now;) {
            if (path.queue_limit && waiting.size() >= path.queue_limit) {
                if (now >= 1000000000)  // after the start
                    ++o.overflows;
                losses.emplace(now + one_way, it->second);
            } else {
                waiting.push_back(it->second);
            }
            it = sent_at.erase(it);
        }
        while (!waiting.empty() && link_free <= now) {
            // Back to back while busy; an idle link starts at this step.
            link_free = (link_free > now - step ? link_free : now) + tx_ns;
            acks.emplace(link_free + one_way, waiting.front());
            waiting.pop_front();
        }
        // A lost packet is retransmitted once the loss is noticed (and
        // assumed to get through); its bytes stay in flight until then.
        for (auto it = losses.begin(); it != losses.end() && it->first <= now;) {
            w.on_loss(now);
            w.on_sent(path.packet, now);
            acks.emplace(now + 2 * one_way, 0);
            it = losses.erase(it);
        }
        for (auto it = acks.begin(); it != acks.end() && it->first <= now;) {
            w.on_acked(path.packet);
            if (it->second) {
                int32_t ms = int32_t((now - it->second) / 1000000);
                if (path.jitter_ms)
                    ms += int32_t(rng() % (path.jitter_ms + 1));
                w.on_rtt(ms, now);
            }
            if (now >= half) {
                if (it->second) {
                    queue_sum += double((now - it->second) / 1000000 - path.base_ms);
                    ++samples;
                }
                ++delivered;
            }
            it = acks.erase(it);
        }
    }
    o.goodput_bps = double(delivered) * path.packet * 8 / (double(end - half) / 1e9);
    o.mean_queue_ms = samples ? queue_sum / double(samples) : 0;
    o.cwnd = w.cwnd();
    return o;
}

}  // namespace

// Full packets and small ones (deduplicated traffic) fill the link while
// keeping about the target of queue; a queue of 250 small packets (12 ms at
// 20 Mbit/s) does not overflow once the window has settled; acknowledgements
// delayed by up to 10 ms (the peer's delayed acknowledgement) change little.
TEST(RspWindow, FillsTheLinkWithAShortQueue) {
    Path full, small, jittery;
    small.packet = 124;
    small.queue_limit = 250;
    jittery.jitter_ms = 10;
    for (const Path& p : {full, small, jittery}) {
        Outcome o = simulate(p, 10);
        std::string what = std::to_string(p.packet) + " bytes, jitter " + std::to_string(p.jitter_ms);
        EXPECT_GT(o.goodput_bps, 0.9 * p.rate_bps) << what;
        EXPECT_GT(o.mean_queue_ms, 0.5) << what;
        EXPECT_LT(o.mean_queue_ms, 3.0 * p.target_ms) << what;
        EXPECT_LT(o.overflows, 20u) << what;
    }
}

// Random loss is not congestion: 1% and 5% of losses leave the window and
// the goodput where they were without loss.
TEST(RspWindow, RandomLossDoesNotShrinkTheWindow) {
    Path p;
    Outcome clean = simulate(p, 6);
    for (double loss : {0.01, 0.05}) {
        p.loss = loss;
        Outcome o = simulate(p, 6, 3);
        EXPECT_GT(o.goodput_bps, 0.95 * clean.goodput_bps) << loss;
        EXPECT_GT(double(o.cwnd), 0.8 * double(clean.cwnd)) << loss;
    }
}

// An end host in slow start doubles what it sends each round trip, in one
// burst, without ever filling RSP's window first: the window keeps ahead of
// it, so that RSP never holds its packets (the delay that adds would end the
// end host's own slow start on an empty path).
TEST(RspWindow, SlowStartKeepsAheadOfADoublingSender) {
    rsp::Window w(rsp::Window::Params{});
    const uint32_t len = 1400;
    int64_t now = 1000000;
    w.on_rtt(40, now);
    uint64_t waited = 0;
    for (uint64_t burst = 10; burst <= 2560; burst *= 2) {
        uint64_t sent = 0;
        for (uint64_t i = 0; i < burst; ++i) {
            if (!w.window_open(len)) {
                ++waited;
                w.note_limited();
                continue;
            }
            w.on_sent(len, now);
            w.on_queued(len);
            ++sent;
        }
        now += 40000000;
        for (uint64_t i = 0; i < sent; ++i)
            w.on_acked(len);
        w.on_rtt(40, now);
    }
    EXPECT_TRUE(w.slow_start());
    EXPECT_EQ(waited, 0u);
}

// The held line keeps order and its byte count.
TEST(RspWindow, HoldQueueKeepsOrder) {
    rsp::HoldQueue<int> q;
    for (int i = 0; i < 1000; ++i)
        q.push_back(i, 100 + i, i);
    EXPECT_EQ(q.size(), 1000u);
    EXPECT_EQ(q.front_since(), 0);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(q.pop_front(), i);
    for (int i = 1000; i < 1500; ++i)
        q.push_back(i, 100 + i, i);
    uint64_t bytes = 0;
    for (int i = 600; i < 1500; ++i)
        bytes += 100 + i;
    EXPECT_EQ(q.bytes(), bytes);
    int n = 0, next = 600;
    q.clear([&](int v) { EXPECT_EQ(v, next++); ++n; });
    EXPECT_EQ(n, 900);
    EXPECT_TRUE(q.empty());
}
