// WCCC: CoDel's control law on the tunnel, with RSP's latest RTT sample in
// place of a queue's sojourn time. Acts only while the compressor named by
// WCOMP streams; otherwise every packet passes.
//
//   WCCC(RSP rsp1, WCOMP comp1 [, RTT_DELTA 1.2] [, INTERVAL 100ms]
//        [, DEBUG false] [, DATA_ONLY false] [, ACTIVE true])
//
// RTT_DELTA  the target is the path's baseline RTT (see wlred.hh) times
//            RTT_DELTA (a real number above 0)
// INTERVAL   CoDel's interval (a time above 0)
// DEBUG      log one line per packet while streaming (",WCODEL,...")
// RSP, DATA_ONLY, ACTIVE  see qmbase.hh
//
// Once the latest sample has stayed at or above the target for INTERVAL,
// packets become candidates; the first drop comes when the sample has stayed
// above for a further INTERVAL, and the following ones INTERVAL / sqrt(count)
// apart, until a sample falls below the target or the tunnel is idle (RSP
// has nothing unacknowledged and holds nothing: its last sample is then
// stale, and there is no queue to drain). A data packet that comes more
// than INTERVAL after the one before starts afresh, as after an idle
// tunnel: the sample may be that old. Dropping again soon after it ended
// resumes near the old count.
//
// Ports: one input, one output (dropped packets are freed). Push.
// Handlers: drops (read), active (see qmbase.hh).
#pragma once

#include <host/timestamp.hh>

#include "qm/qmbase.hh"

class WCCC : public QMBase {
  public:
    const char* class_name() const override { return "WCCC"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    // The clock the element reads (Timestamp::now by default); for tests.
    using Clock = Timestamp (*)();
    void set_clock(Clock c) { _clock = c; }

    // Nanoseconds of t + INTERVAL / sqrt(count).
    int64_t control_law(int64_t t) const;

  private:
    bool should_drop(int64_t now);

    Clock _clock = &Timestamp::now;
    int64_t _interval = 100000000;  // ns
    double _rtt_delta = 1.2;
    bool _debug = false;

    int64_t _target = 5000000;  // ns
    int64_t _first_above = 0;   // 0: unset
    int64_t _drop_next = 0;
    int64_t _last_seen = 0;     // when the last data packet was judged; 0: none yet
    uint32_t _count = 0;
    bool _dropping = false;
};
