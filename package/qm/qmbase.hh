// What the queue-management elements (WRED, WLRED, WLLRED, WCCC) share.
//
// They stand in front of a peer's tunnel and drop LAN packets from what the
// peer's RSP element measures (retransmissions, round-trip growth) rather
// than from a local queue length: RSP recovers every packet the WAN loses, so
// a packet dropped here is the only loss the end hosts' TCP ever sees.
//
// Common keywords:
//   RSP        the RSP element of the tunnel (mandatory)
//   DATA_ONLY  bool, default false. When true, only TCP segments that carry
//              data and none of SYN, FIN, RST are candidates for dropping;
//              pure acknowledgements, connection set-up and tear-down, and
//              packets that are not TCP pass at once without touching the
//              element's RED or CoDel state. Dropping them relieves nothing
//              (an acknowledgement is tiny, and a lost SYN or FIN costs the
//              end host a whole retransmission timeout).
//   ACTIVE     bool, default true. When false every packet passes untouched;
//              also a read/write handler "active", to switch the element off
//              and on while it runs.
//
// The figures are copied under the RSP element's lock and the compressor's
// flags read under the compressor's lock; each element's own decision state
// expects pushes on one thread.
#pragma once

#include <host/args.hh>
#include <host/element.hh>

#include <atomic>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "common/shim.hh"
#include "common/wbase.hh"
#include "rsp/rsp_rtt.hh"

class RSP;
class WCompBase;

// RSP's two report records, each a copy taken under its owner's lock. The RSP
// element is read through this interface; an element that answers
// cast("QMFigures") may stand in for it (a fixture that replays chosen
// figures).
class QMFigures {
  public:
    virtual ~QMFigures() = default;
    virtual rtt_info_t rtt_info() = 0;
    virtual rsp_congestion_info congestion_info() = 0;
    // Whether the tunnel has nothing unacknowledged and nothing waiting to be
    // sent. Its latest round trip then says nothing of a queue: RSP takes
    // samples only from acknowledgements, so an idle tunnel keeps the last
    // one, however old.
    virtual bool idle() { return false; }
};

namespace qm {

// The path's baseline RTT in milliseconds: the previous window's minimum if
// known, else the current window's, else the smoothed RTT.
inline int64_t baseline_ms(const rtt_info_t& r) {
    if (r.prev_window_rtt_min)
        return r.prev_window_rtt_min;
    if (r.window_rtt_min)
        return r.window_rtt_min;
    return r.weighted_rtt;
}

// A new RED random mark, 0 to 65535.
uint32_t red_random();

// The state of one RED decision. MAX_P values are fixed point with 16
// fractional bits (65536 = 1.0); c1 and c2 are truncated toward zero.
struct RedState {
    int count = -1;
    uint32_t random = 0;
    uint32_t c1 = 0, c2 = 0;

    // The RED step for a congestion value `v` already above the lower
    // threshold; true when this packet is to be dropped.
    bool step(double v) {
        if (count < INT_MAX)
            ++count;
        if (count == 0) {
            random = red_random();
            return false;
        }
        if (count < 0)
            return false;
        double pd = double(c1) * v - double(c2);
        if (!(pd >= 1))
            return false;
        int p = pd >= double(INT_MAX) ? INT_MAX : int(pd);
        if (uint32_t(count) > random / uint32_t(p)) {
            count = 0;
            random = red_random();
            return true;
        }
        return false;
    }
};

// Args parser of a MAX_P: a real number as a fixed-point fraction with 16
// fractional bits, rounded ("0.1" -> 6554). Any finite number is taken; the
// element checks the range with its own message.
struct FixedPointArg {
    bool parse(const std::string& str, int64_t& result, Args& args) const;
};

// Whether a packet may be chosen for dropping under DATA_ONLY: a TCP segment
// (first fragment or not) that carries data and has none of SYN, FIN, RST. A
// packet that already carries a shim is judged by its inner protocol and TCP
// header. Packets whose headers cannot be read are not candidates.
bool droppable(const Packet* p, const ShimConfig& shim);

}  // namespace qm

class QMBase : public WBase {
  public:
    const char* processing() const override { return PUSH; }

    // Packets dropped.
    uint64_t drops() const { return _drops.load(std::memory_order_relaxed); }

  protected:
    // Finds the RSP element (or a QMFigures stand-in) named `rsp` and, when
    // `wcomp` is not null, the WCompBase element it names. Runs the WConf
    // lookup. Nothing is kept unless everything is found.
    int configure_partners(std::vector<std::string>& conf, const std::string& rsp, const std::string* wcomp,
                           bool data_only, bool active, ErrorHandler* errh);

    // The element is switched off, or DATA_ONLY is on and the packet is not a
    // candidate: it passes untouched.
    bool exempt(const Packet* p) const {
        return !_active.load(std::memory_order_relaxed) || (_data_only && !qm::droppable(p, _shim));
    }
    // Whether the compressor's streaming is in force (read under its lock).
    bool streaming() const;
    rtt_info_t rtt_info() const { return _figures->rtt_info(); }
    bool tunnel_idle() const { return _figures->idle(); }
    rsp_congestion_info congestion_info() const { return _figures->congestion_info(); }

    // Output 1 if connected, else the packet is freed.
    void drop(Packet* p);
    void count_drop() { _drops.fetch_add(1, std::memory_order_relaxed); }

    // "active" (read/write) and a read handler for each counter.
    void add_qm_handlers(std::initializer_list<std::pair<const char*, const std::atomic<uint64_t>*>> counters);

    std::atomic<uint64_t> _drops{0};

  private:
    // Copies RSP's records under its element lock.
    class RspFigures : public QMFigures {
      public:
        RSP* rsp = nullptr;
        rtt_info_t rtt_info() override;
        rsp_congestion_info congestion_info() override;
        bool idle() override;
    };

    RspFigures _rsp_figures;
    QMFigures* _figures = nullptr;
    WCompBase* _comp = nullptr;
    ShimConfig _shim;
    bool _data_only = false;
    std::atomic<bool> _active{true};
};
