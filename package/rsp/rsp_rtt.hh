// RSP round-trip estimate, retransmit timing and the congestion report that
// the queue-management elements read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Round-trip figures in milliseconds, in this order.
struct rtt_info_t {
    int32_t weighted_rtt;
    int32_t last_rtt;
    int32_t prev_window_rtt_min;
    int32_t window_rtt_min;  // 0: no sample yet in the current window
};

// Packets sent and retransmitted over the last CONGESTION_REPORT_HISTORY periods.
struct rsp_congestion_info {
    uint32_t tx_packets_total;
    uint32_t tx_retransmits_total;
    uint32_t tx_packets_average;
    uint32_t tx_packets_last;
};

namespace rsp {

// Samples above this are taken for clock trouble rather than a path.
constexpr int64_t RTT_SAMPLE_MAX_MS = 120000;

class RttEstimator {
  public:
    RttEstimator() { reset(); }
    void reset() { info_ = {1000, 1000, 0, 0}; }

    const rtt_info_t& info() const { return info_; }

    // Takes one sample; samples below 0 (clock step, missing timestamp) and
    // absurdly large ones are ignored. Returns whether it was taken.
    bool sample(int64_t ms) {
        if (ms < 0 || ms > RTT_SAMPLE_MAX_MS)
            return false;
        int32_t s = int32_t(ms);
        info_.last_rtt = s;
        // Rises quickly, falls slowly.
        if (s > info_.weighted_rtt)
            info_.weighted_rtt = (info_.weighted_rtt + s) / 2;
        else
            info_.weighted_rtt = (s + 6 * info_.weighted_rtt) / 7;
        if (info_.window_rtt_min == 0 || s < info_.window_rtt_min)
            info_.window_rtt_min = s;
        return true;
    }

    // End of a minimum-RTT window.
    void window_tick() {
        info_.prev_window_rtt_min = info_.window_rtt_min;
        info_.window_rtt_min = 0;
    }

    // Retransmit delay in milliseconds: the larger of `floor_ms` and
    // trunc(weighted_rtt * delta + 100.5 + delayed_ack_ms).
    uint32_t retransmit_delay(double delta, uint32_t delayed_ack_ms, uint32_t floor_ms) const {
        double r = double(float(info_.weighted_rtt)) * delta + 100.5 + double(delayed_ack_ms);
        uint32_t v;
        if (!(r > 0))
            v = 0;
        else if (r >= 4294967295.0)
            v = 0xFFFFFFFFu;
        else
            v = uint32_t(r);
        return v > floor_ms ? v : floor_ms;
    }

  private:
    rtt_info_t info_;
};

// A node sent at `tx` with `count` retransmissions so far is due again when
// (now - tx) >= (count + 1) * R + count^2 * 50, all in unsigned 32-bit.
inline bool retransmit_due(uint32_t now, uint32_t tx, uint32_t count, uint32_t r) {
    return uint32_t(now - tx) >= (count + 1) * r + count * count * 50u;
}

class CongestionReport {
  public:
    explicit CongestionReport(int history = 1) { set_history(history); }

    void set_history(int history) {
        hist_ = history < 1 ? 1 : size_t(history);
        packets_.assign(hist_, 0);
        retrans_.assign(hist_, 0);
        n_ = pos_ = 0;
        period_packets = period_retransmits = 0;
        info_ = {0, 0, 0, 0};
    }

    // Counted during the current period.
    uint32_t period_packets = 0;
    uint32_t period_retransmits = 0;

    // End of a period: fold it into the history and the report.
    void tick() {
        packets_[pos_] = period_packets;
        retrans_[pos_] = period_retransmits;
        pos_ = (pos_ + 1) % hist_;
        if (n_ < hist_)
            ++n_;
        uint64_t pt = 0, rt = 0;
        for (size_t i = 0; i < n_; ++i) {
            pt += packets_[i];
            rt += retrans_[i];
        }
        info_.tx_packets_total = uint32_t(pt);
        info_.tx_retransmits_total = uint32_t(rt);
        info_.tx_packets_average = uint32_t(pt / n_);
        info_.tx_packets_last = period_packets;
        period_packets = period_retransmits = 0;
    }

    const rsp_congestion_info& info() const { return info_; }

  private:
    size_t hist_ = 1, n_ = 0, pos_ = 0;
    std::vector<uint32_t> packets_, retrans_;
    rsp_congestion_info info_{0, 0, 0, 0};
};

}  // namespace rsp
