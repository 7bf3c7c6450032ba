// The adaptive compression level of WComp and WMTComp (keyword ADAPTIVE).
//
// Every TICK_MS the compressor asks two questions:
//   - Is the tunnel WAN-bound? RSP's window is the limit (as many packets
//     outstanding as the peer accepts), or its transmit queue holds packets
//     that wait in a queue of the WAN: the smoothed round trip has grown well
//     above the least round trip seen lately.
//   - Is it CPU-bound? The threads that compress want more than BUSY_HIGH of
//     a core (time running plus time waiting to run, from the kernel's
//     scheduler statistics), so a stronger level would slow the tunnel.
// CPU-bound lowers the level by one step after DOWN_TICKS such ticks, then
// by 4 and 16 steps at each further one while the run lasts (a transfer on
// a fast WAN may last a second or two). A tick between the two
// thresholds neither ends nor extends a run: a thread that is the bottleneck
// still waits now and then for its next packet. An idle tick ends it.
// With the floor open (ADAPTIVE_OFF), one more step down from the lowest
// level stops compressing: payloads cross uncompressed, outside the stream,
// and the stream itself waits untouched for the level to come back. That is
// level 0 in the handlers.
// WAN-bound with threads below BUSY_LOW raises the level by one step after
// UP_TICKS ticks in a row (from no compression, to the lowest level).
// Hysteresis: the gap between the two thresholds, the longer wait before
// raising, and a level that proved too costly is not tried again for
// HOLD_TICKS. A run's first step rests on only DOWN_TICKS of saturation (a
// burst of other work on a busy machine looks the same), so the level it
// leaves is barred for FIRST_HOLD_TICKS only.
//
// Only the level changes, never the engine, and only between packets. A zstd
// stream is one frame: a new level ends the frame (its epilogue goes in
// front of the next packet's bytes) and starts another one within the same
// stream. zlib changes its parameters within the running deflate stream.
// Either way different bytes go on the wire, and the peer's decoder reads
// them as they are: it needs nothing new.
#pragma once

#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rsp/rsp_rtt.hh"

class Element;
class RSP;
class WCompBase;

namespace compression {

// Engines whose level can change (zstd and zlib), their level limits and
// the default range of the adaptive level. Level 0 means "no compression"
// in this package and is never chosen.
bool level_adapts(int engine);
bool valid_level(int engine, int level);
int default_adaptive_min(int engine);
int default_adaptive_max(int engine);
// The next level up (dir > 0) or down from `level`, skipping 0; `level`
// itself when there is none.
int step_level(int engine, int level, int dir);

// RSP's figures that tell whether the WAN is the limit.
struct TunnelFigures {
    uint32_t outstanding = 0;  // packets sent and not yet acknowledged
    uint32_t window = 0;       // packets the peer accepts outstanding
    rtt_info_t rtt{};
};
bool wan_bound(const TunnelFigures& f);

// Time a thread ran or waited to run since the previous call, over the
// wall-clock time that passed (Linux scheduler statistics of the thread).
class ThreadDemand {
  public:
    // Fraction of one core the thread `tid` wanted since the last call with
    // the same tid (0 on the first call or when unreadable).
    double sample(int tid, int64_t now_ns);

  private:
    int _tid = -1;
    uint64_t _last_total = 0;
    int64_t _last_ns = 0;
};

// The calling thread's kernel id, cached per thread.
int current_tid();

}  // namespace compression

// The decision, without clocks or elements.
class AdaptiveLevel {
  public:
    // A transfer on a fast WAN can be over in a second, so the tick is
    // short and the first step down waits 100 ms of saturation; a step up
    // waits a second and a level that proved too costly ten (two after a
    // run's first step).
    static constexpr int TICK_MS = 50;
    static constexpr double BUSY_HIGH = 0.8;
    static constexpr double BUSY_LOW = 0.6;
    static constexpr int DOWN_TICKS = 2;
    static constexpr int UP_TICKS = 20;
    static constexpr int HOLD_TICKS = 200;
    static constexpr int FIRST_HOLD_TICKS = 40;

    // `off`: below `min` lies level 0, no compression.
    void reset(int engine, int level, int min, int max, bool off = false);
    // One tick; returns the level to use from now on.
    int tick(bool wan_bound, double busy);
    int level() const { return _level; }
    // Whether `to` compresses harder than `from` (0, no compression, lies
    // below every level).
    static bool higher(int to, int from);
    int min() const { return _min; }
    int max() const { return _max; }

  private:
    int down(int level) const;

    int _engine = 0, _level = 0, _min = 0, _max = 0;
    bool _off = false;
    int _up = 0, _down = 0;
    int _run = 0;  // steps down in the current saturated run
    int _ceiling = 0, _hold = 0;  // _ceiling is not tried while _hold runs
};

// Drives an AdaptiveLevel for a compressing element: a timer on the
// element's home thread reads the RSP element that drives the compressor and
// the demand of the compressing threads, and hands a new level to `apply`
// (which takes the element's locks).
class LevelAdapter {
  public:
    LevelAdapter();
    ~LevelAdapter();
    // Off unless started.
    bool active() const { return _owner != nullptr; }
    // Starts ticking. `comp` is the element's WCompBase (RSP is found as the
    // element that drives it); `tids` lists the kernel ids of the threads
    // that compress (called every tick); `apply` sets a new level (0: no
    // compression, only when `off`).
    void start(Element* owner, WCompBase* comp, int engine, int level, int min, int max, bool off,
               std::function<void(std::vector<int>&)> tids, std::function<void(int)> apply);
    void stop();
    int level() const { return _level.load(std::memory_order_relaxed); }
    std::string state() const;

  private:
    static void timer_hook(Timer*, void*);
    void run();

    Element* _owner = nullptr;
    RSP* _rsp = nullptr;
    AdaptiveLevel _ctl;
    std::function<void(std::vector<int>&)> _tids;
    std::function<void(int)> _apply;
    std::vector<int> _tid_list;
    std::vector<compression::ThreadDemand> _demand;
    std::atomic<int> _level{0};
    std::atomic<uint64_t> _ups{0}, _downs{0};
    std::atomic<bool> _last_wan{false};
    std::atomic<int> _last_busy_pct{0};
    Timer _timer;
};
