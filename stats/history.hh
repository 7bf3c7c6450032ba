// Bounded history of one series: one value a second for the last hour, one
// a minute for the last day, one every ten minutes for the last week. A
// counter keeps the last value of each coarse interval, a gauge the mean.
// Seconds without a value (the appliance was down, the series absent) read
// as NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qstats {

class Tier {
  public:
    Tier(int64_t step, size_t slots);
    int64_t step() const { return step_; }
    int64_t span() const { return step_ * int64_t(v_.size()); }
    // Records a value for second `t` (mean=true: averaged within an interval).
    void put(int64_t t, double x, bool mean);
    // Values of the intervals holding seconds from..to (both included),
    // oldest first; NaN for intervals without a value or beyond the history.
    std::vector<double> range(int64_t from, int64_t to) const;
    // The value of the interval holding second t (NaN if none).
    double at(int64_t t) const;

  private:
    int64_t step_;
    std::vector<double> v_;
    std::vector<uint32_t> n_;
    int64_t newest_ = INT64_MIN;  // newest interval index (t / step)
};

class History {
  public:
    History();
    void put(int64_t t, double x, bool counter);
    // The tier fine enough for a span of `seconds` (the coarsest if none).
    const Tier& tier_for(int64_t seconds) const;
    const Tier& fine() const { return tiers_[0]; }

    static constexpr int64_t kFineSeconds = 3600;

  private:
    std::vector<Tier> tiers_;
};

}  // namespace qstats
