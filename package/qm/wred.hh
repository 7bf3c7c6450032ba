// WRED: random early dropping driven by the share of RSP's transmissions that
// were retransmissions, over RSP's congestion-report history.
//
//   WRED(MIN_THRESH, MAX_THRESH, MAX_P, RSP rsp1 [, DATA_ONLY bool] [, ACTIVE bool])
//
// MIN_THRESH, MAX_THRESH  percent (real numbers, 0 <= MIN <= MAX <= 100)
// MAX_P                   drop probability reached at MAX_THRESH (0 to 1)
// RSP, DATA_ONLY, ACTIVE  see qmbase.hh
//
// Per packet: x = retransmissions / transmissions x 100 over the history
// (nothing transmitted: pass). At or below MIN_THRESH every packet passes;
// above MAX_THRESH every packet is dropped; in between RED drops with a
// probability rising linearly to MAX_P, spaced by the count since the last
// drop. Equal thresholds make a hard threshold.
//
// Ports: one input; output 0 the packets that pass, output 1 (optional) the
// dropped ones (freed without it). Push. Handlers: drops (read),
// active (see qmbase.hh).
#pragma once

#include "qm/qmbase.hh"

class WRED : public QMBase {
  public:
    const char* class_name() const override { return "WRED"; }
    const char* port_count() const override { return "1/1-2"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    double _min_thresh = 0, _max_thresh = 0;
    qm::RedState _red;
};
