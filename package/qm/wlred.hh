// WLRED: random early dropping driven by the growth of RSP's smoothed
// round-trip time over the path's baseline.
//
//   WLRED(MIN_THRESH, MAX_THRESH, MAX_P, RSP rsp1 [, DATA_ONLY bool] [, ACTIVE bool])
//
// MIN_THRESH  milliseconds above the baseline RTT at which dropping starts
// MAX_THRESH  the RTT in milliseconds that maps to the top of the RED scale
//             (above 0, at most 10000, not below MIN_THRESH)
// MAX_P       drop probability reached there (0 to 1)
// RSP, DATA_ONLY, ACTIVE  see qmbase.hh
//
// The baseline is RSP's previous-window minimum RTT, else its current-window
// minimum, else its smoothed RTT. While the smoothed RTT stays within
// baseline + MIN_THRESH every packet passes; above, RTTs are scaled so that
// MAX_THRESH is 100 and RED drops with a probability that rises from 0 at
// baseline + MIN_THRESH to about MAX_P at MAX_THRESH (and on beyond it).
//
// Ports: one input; output 0 the packets that pass, output 1 (optional) the
// dropped ones (freed without it). Push. Handlers: drops (read),
// active (see qmbase.hh).
#pragma once

#include "qm/qmbase.hh"

class WLRED : public QMBase {
  public:
    const char* class_name() const override { return "WLRED"; }
    const char* port_count() const override { return "1/1-2"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    double _min_thresh = 0, _scale = 0;
    uint32_t _max_p = 0;
    qm::RedState _red;
};
