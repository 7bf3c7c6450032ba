#include "compression/adaptive_level.hh"

#include <host/element.hh>
#include <host/router.hh>
#include <host/spinlock.hh>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "common/wlogger.hh"
#include "compression/compressor_engine.hh"
#include "compression/wcompbase.hh"
#include "rsp/rsp.hh"

namespace compression {

bool level_adapts(int engine) { return engine == ENGINE_ZSTD || engine == ENGINE_ZLIB; }

bool valid_level(int engine, int level) {
    if (level == 0)
        return false;
    if (engine == ENGINE_ZSTD)
        return level >= ZSTD_minCLevel() && level <= ZSTD_maxCLevel();
    if (engine == ENGINE_ZLIB)
        return level >= 1 && level <= 9;
    return false;
}

// zstd's fast levels cost less the further below 1 they go. With a flush
// after every packet, -5 still takes about 1.6 times LZ4's time per byte,
// -20 about as much as LZ4 and -50 two thirds of it (at a ratio of about
// 1.15), so the default range reaches down to -50. The rungs below save
// little more; when even -50 keeps the threads saturated, ADAPTIVE_OFF
// stops compressing altogether. Above 9 the per-packet cost grows much
// faster than the ratio improves.
int default_adaptive_min(int engine) { return engine == ENGINE_ZSTD ? -50 : 1; }
int default_adaptive_max(int engine) { return engine == ENGINE_ZSTD ? 9 : 9; }

// Below 1, zstd's levels change little from one to the next, so they are
// walked on a ladder whose rungs grow apart. A level between rungs steps to
// the nearest rung in the direction asked.
static constexpr int ZSTD_FAST_RUNGS[] = {-1, -2, -3, -5, -7, -10, -20, -50, -100, -200, -500, -1000};

int step_level(int engine, int level, int dir) {
    int next = level + (dir > 0 ? 1 : -1);
    if (engine == ENGINE_ZSTD && next <= 0) {
        // The rungs descend: down is the first rung below `level`, up the
        // last one above it, or 1.
        next = dir < 0 ? level : 1;
        for (int r : ZSTD_FAST_RUNGS)
            if (dir < 0 ? r < level : r > level) {
                next = r;
                if (dir < 0)
                    break;
            }
    } else if (next == 0) {
        next += dir > 0 ? 1 : -1;
    }
    return valid_level(engine, next) ? next : level;
}

bool wan_bound(const TunnelFigures& f) {
    if (f.outstanding == 0)
        return false;
    if (f.window && f.outstanding >= f.window)
        return true;
    int32_t a = f.rtt.prev_window_rtt_min, b = f.rtt.window_rtt_min;
    int32_t base = a > 0 && b > 0 ? std::min(a, b) : std::max(a, b);
    if (base <= 0)
        return false;
    // Queueing delay of half the base round trip plus 10 ms: packets wait in
    // a WAN queue rather than on the wire.
    return f.rtt.weighted_rtt > base + base / 2 + 10;
}

int current_tid() {
    static thread_local int tid = int(syscall(SYS_gettid));
    return tid;
}

double ThreadDemand::sample(int tid, int64_t now_ns) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", tid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        _tid = -1;
        return 0;
    }
    char buf[128];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) {
        _tid = -1;
        return 0;
    }
    buf[n] = 0;
    // "time on the cpu (ns) time waiting on a runqueue (ns) timeslices"
    char* end = nullptr;
    uint64_t run = std::strtoull(buf, &end, 10);
    uint64_t wait = std::strtoull(end, nullptr, 10);
    uint64_t total = run + wait;
    double d = 0;
    if (tid == _tid && now_ns > _last_ns && total >= _last_total)
        d = double(total - _last_total) / double(now_ns - _last_ns);
    _tid = tid;
    _last_total = total;
    _last_ns = now_ns;
    return d;
}

}  // namespace compression

using namespace compression;

void AdaptiveLevel::reset(int engine, int level, int min, int max, bool off) {
    _engine = engine;
    _min = min;
    _max = max;
    _off = off;
    _level = std::clamp(level, min, max);
    _up = _down = _hold = _run = 0;
    _ceiling = 0;
}

bool AdaptiveLevel::higher(int to, int from) {
    return (to == 0 ? INT_MIN : to) > (from == 0 ? INT_MIN : from);
}

int AdaptiveLevel::down(int level) const {
    if (level == 0 || (level <= _min && _off))
        return 0;
    return std::max(step_level(_engine, level, -1), _min);
}

int AdaptiveLevel::tick(bool wan, double busy) {
    if (_hold > 0 && --_hold == 0)
        _ceiling = 0;
    if (busy >= BUSY_HIGH) {
        _up = 0;
        // The first step waits DOWN_TICKS; while the threads stay saturated,
        // each further step comes a tick later and goes four times as far,
        // so that a short transfer on a fast WAN reaches a cheap level while
        // it still runs.
        if (++_down >= (_run ? 1 : DOWN_TICKS)) {
            _down = 0;
            int next = _level;
            for (int i = 0; i < (1 << (2 * std::min(_run, 2))); ++i)
                next = down(next);
            if (next != _level) {
                // The level we leave cost too much: do not climb back to it
                // soon (nor sooner than an earlier run's hold allows).
                _ceiling = _level;
                _hold = std::max(_hold, _run ? HOLD_TICKS : FIRST_HOLD_TICKS);
                _level = next;
                ++_run;
            }
        }
    } else if (wan && busy <= BUSY_LOW) {
        _down = 0;
        _run = 0;
        if (++_up >= UP_TICKS) {
            _up = 0;
            int next = _level == 0 ? _min : step_level(_engine, _level, 1);
            if (next <= _max && next != _level && (_ceiling == 0 || next < _ceiling))
                _level = next;
        }
    } else if (busy > BUSY_LOW) {
        _up = 0;  // between the thresholds: a saturated run goes on
    } else {
        _up = _down = _run = 0;
    }
    return _level;
}

LevelAdapter::LevelAdapter() : _timer(timer_hook, this) {}

LevelAdapter::~LevelAdapter() { stop(); }

void LevelAdapter::start(Element* owner, WCompBase* comp, int engine, int level, int min, int max, bool off,
                         std::function<void(std::vector<int>&)> tids, std::function<void(int)> apply) {
    _owner = owner;
    _tids = std::move(tids);
    _apply = std::move(apply);
    _ctl.reset(engine, level, min, max, off);
    _level = _ctl.level();
    _rsp = nullptr;
    for (Element* e : owner->router()->elements())
        if (RSP* r = static_cast<RSP*>(e->cast("RSP")); r && r->compressor() == comp)
            _rsp = r;
    if (!_rsp)
        WLogger::warn("%s ADAPTIVE: no RSP element drives this compressor; the level can only fall",
                      owner->name().c_str());
    _timer.initialize(owner);
    _timer.schedule_after_msec(AdaptiveLevel::TICK_MS);
}

void LevelAdapter::stop() {
    if (_owner)
        _timer.unschedule();
}

void LevelAdapter::timer_hook(Timer*, void* thunk) { static_cast<LevelAdapter*>(thunk)->run(); }

void LevelAdapter::run() {
    TunnelFigures f;
    if (_rsp) {
        SpinlockGuard g(_rsp->lock());
        if (_rsp->state() == RSP::OPEN) {
            f.outstanding = uint32_t(_rsp->tx_queue_size());
            f.window = _rsp->snd_max();
            f.rtt = _rsp->rtt_info();
        }
    }
    bool wan = wan_bound(f);
    _tids(_tid_list);
    if (_demand.size() < _tid_list.size())
        _demand.resize(_tid_list.size());
    int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    double busy = 0;
    for (size_t i = 0; i < _tid_list.size(); ++i)
        if (_tid_list[i] > 0)
            busy = std::max(busy, _demand[i].sample(_tid_list[i], now));
    int before = _ctl.level();
    int after = _ctl.tick(wan, busy);
    _last_wan = wan;
    _last_busy_pct = int(busy * 100 + 0.5);
    if (after != before) {
        bool up = AdaptiveLevel::higher(after, before);
        (up ? _ups : _downs).fetch_add(1, std::memory_order_relaxed);
        WLogger::info("%s compression level %d -> %d (%s, compressing threads %d%% busy)", _owner->name().c_str(),
                      before, after, up ? "WAN-bound" : "CPU-bound", int(busy * 100 + 0.5));
        _apply(after);
        _level = after;
    }
    _timer.schedule_after_msec(AdaptiveLevel::TICK_MS);
}

std::string LevelAdapter::state() const {
    int lv = level();  // once: the timer may change it meanwhile
    char buf[192];
    std::snprintf(buf, sizeof buf, "level %d%s (range %d to %d), raised %llu, lowered %llu, WAN-bound %s, busy %d%%",
                  lv, lv ? "" : ", no compression", _ctl.min(), _ctl.max(), (unsigned long long)_ups.load(),
                  (unsigned long long)_downs.load(), _last_wan.load() ? "yes" : "no", _last_busy_pct.load());
    return buf;
}
