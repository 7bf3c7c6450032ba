#include "history.hh"

#include <algorithm>
#include <cmath>

namespace qstats {

namespace {
int64_t floordiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
size_t slot_of(int64_t idx, size_t n) {
    int64_t m = idx % int64_t(n);
    return size_t(m < 0 ? m + int64_t(n) : m);
}
}  // namespace

Tier::Tier(int64_t step, size_t slots) : step_(step), v_(slots, NAN), n_(slots, 0) {}

void Tier::put(int64_t t, double x, bool mean) {
    int64_t idx = floordiv(t, step_);
    int64_t n = int64_t(v_.size());
    if (newest_ != INT64_MIN && idx < newest_) {
        if (idx <= newest_ - n)
            return;  // older than the history
    } else if (newest_ == INT64_MIN || idx > newest_) {
        // Intervals skipped since the newest one hold nothing.
        int64_t first = newest_ == INT64_MIN ? idx : std::max(newest_ + 1, idx - n + 1);
        for (int64_t i = first; i <= idx; ++i) {
            v_[slot_of(i, v_.size())] = NAN;
            n_[slot_of(i, v_.size())] = 0;
        }
        newest_ = idx;
    }
    size_t s = slot_of(idx, v_.size());
    if (!mean || n_[s] == 0 || std::isnan(v_[s]))
        v_[s] = x;
    else
        v_[s] += (x - v_[s]) / double(n_[s] + 1);
    ++n_[s];
}

double Tier::at(int64_t t) const {
    int64_t idx = floordiv(t, step_);
    if (newest_ == INT64_MIN || idx > newest_ || idx <= newest_ - int64_t(v_.size()))
        return NAN;
    return v_[slot_of(idx, v_.size())];
}

std::vector<double> Tier::range(int64_t from, int64_t to) const {
    std::vector<double> out;
    if (to < from)
        return out;
    int64_t a = floordiv(from, step_), b = floordiv(to, step_);
    out.reserve(size_t(b - a + 1));
    for (int64_t i = a; i <= b; ++i)
        out.push_back(at(i * step_));
    return out;
}

History::History() {
    tiers_.emplace_back(1, size_t(kFineSeconds));  // an hour, each second
    tiers_.emplace_back(60, 24 * 60);               // a day, each minute
    tiers_.emplace_back(600, 7 * 24 * 6);           // a week, every ten minutes
}

void History::put(int64_t t, double x, bool counter) {
    for (Tier& tier : tiers_)
        tier.put(t, x, !counter);
}

const Tier& History::tier_for(int64_t seconds) const {
    for (const Tier& t : tiers_)
        if (seconds <= t.span())
            return t;
    return tiers_.back();
}

}  // namespace qstats
