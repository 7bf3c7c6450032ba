// WLLRED: random early dropping driven by both RSP's round-trip growth and
// its retransmission share, and only while the compressor streams (when it
// is stateless, RSP is not carrying the tunnel reliably and every packet
// passes).
//
//   WLLRED(MIN_THRESH_PERCENT, MAX_THRESH_PERCENT, MIN_THRESH_MS,
//          MAX_THRESH_MS, MAX_P_P, MAX_P_MS, RSP rsp1, WCOMP comp1
//          [, DATA_ONLY bool] [, ACTIVE bool])
//
// Latency: RSP's latest RTT samples are smoothed (weight 1/16); while the
// smoothed RTT stays within baseline + MIN_THRESH_MS every packet passes.
// Above, its excess over the baseline is scaled so that MAX_THRESH_MS is 100
// and RED drops with a probability rising to MAX_P_MS (MAX_THRESH_MS above
// 0, at most 10000, not below MIN_THRESH_MS).
// Loss, for packets the latency test kept: once the history holds at least
// 5 retransmissions and the last report period sent something, the
// retransmission percentage p above MIN_THRESH_PERCENT drives RED up to
// MAX_P_P at MAX_THRESH_PERCENT (p is capped there, and divided by how many
// times the period average exceeds a last period that fell short of it).
// Equal percentage thresholds make a hard threshold: above it every packet
// is dropped.
// The baseline: see wlred.hh; RSP, DATA_ONLY, ACTIVE: see qmbase.hh.
//
// Ports: one input; output 0 the packets that pass, output 1 (optional) the
// dropped ones (freed without it). Push. Handlers: drops_latency and
// drops_loss (read), active (see qmbase.hh).
#pragma once

#include "qm/qmbase.hh"

class WLLRED : public QMBase {
  public:
    const char* class_name() const override { return "WLLRED"; }
    const char* port_count() const override { return "1/1-2"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    bool latency_drop();
    bool loss_drop();

    static constexpr int AVG_SHIFT = 4;

    double _min_pct = 0, _max_pct = 0, _min_ms = 0, _scale = 0;
    int64_t _avg = 0;  // smoothed RTT sample, 10 fractional bits
    qm::RedState _latency, _loss;
    std::atomic<uint64_t> _drops_latency{0}, _drops_loss{0};
};
