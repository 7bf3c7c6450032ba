#include "compression/wmtcomp.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <new>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"

namespace {

// Marks a sequence number whose packet will never come back.
Packet* const HOLE = reinterpret_cast<Packet*>(alignof(std::max_align_t));

// Hands work to a task that may run on another thread. The fence pairs with
// the one at the start of every task of this element: either the task sees
// the work, or we see that it is no longer scheduled and schedule it.
void wake(Task& t) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!t.scheduled())
        t.reschedule();
}

uint32_t ring_size_for(int threads, int burst) {
    // In flight at most `burst`; a worker that lags holds back at most its
    // share of the numbers after the one it holds.
    uint32_t need = uint32_t(2 * threads * burst + threads + 2), n = 64;
    while (n < need)
        n <<= 1;
    return n;
}

}  // namespace

WCompTaskInfo::WCompTaskInfo(WMTComp* o, uint8_t i, int capacity, TaskCallback run)
    : owner(o), index(i), queue(capacity), task(run, this) {}

WMTComp::WMTComp() : _pull_task(pull_hook, this), _push_task(push_hook, this) {}

WMTComp::~WMTComp() {
    for (auto& slot : _ring) {
        Packet* p = slot.load(std::memory_order_relaxed);
        if (p && p != HOLE)
            p->kill();
    }
}

void* WMTComp::cast(const char* name) {
    if (std::strcmp(name, "WCompBase") == 0)
        return static_cast<WCompBase*>(this);
    if (std::strcmp(name, "WMTComp") == 0)
        return this;
    return WBase::cast(name);
}

int WMTComp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    CompSettings set;
    uint32_t threads = 1;
    uint8_t burst = 0;
    int qcap = 100;
    Args args(conf, this, errh);
    set.read(args);
    args.read("THREADS", threads).read("BURST", burst).read("QUEUE_CAPACITY", qcap);
    if (args.complete() < 0 || set.check(errh) < 0)
        return -1;
    if (threads < 1 || threads > uint32_t(MAX_THREADS)) {
        threads = threads < 1 ? 1 : MAX_THREADS;
        WLogger::error("THREADS should be between 1 and 15: Settings MTCOMP_THREADS=%u. Change configuration or "
                       "contact support.",
                       threads);
    }
    if (qcap < 1)
        return errh->error("QUEUE_CAPACITY must be at least 1");
    if (set.compressor == COMP_LZ4 || set.compressor == COMP_LZ4HC)
        errh->warning("COMPRESSOR %u is not offered by WMTComp: payloads go uncompressed (shim only); "
                      "available: 4 (zstd), 5 (zlib)",
                      set.compressor);
    std::vector<std::string> rest;
    if (WBase::configure(rest, errh) < 0)
        return -1;

    set.apply(*this);
    _settings = set;
    _burst = burst ? burst : uint8_t(threads);
    _wake_batch = std::max(1, _burst / 4);
    _queue_capacity = qcap;
    try {
        _workers.clear();
        for (uint32_t i = 0; i < threads; ++i) {
            _workers.push_back(std::make_unique<WCompTaskInfo>(this, uint8_t(i), qcap, comp_hook));
        }
        _push_queue = std::make_unique<WCompQueue>(int(threads) * qcap);
        // Outstanding holes never exceed the packets in flight.
        _holes = std::make_unique<compression::SeqRing<uint16_t>>(uint32_t(_burst) + threads);
        _ring = std::vector<std::atomic<Packet*>>(ring_size_for(int(threads), _burst));
    } catch (const std::bad_alloc&) {
        return errh->error("out of memory");
    }
    return 0;
}

int WMTComp::initialize(ErrorHandler* errh) {
    int n = router()->nthreads(), home = home_thread_id();
    for (auto& w : _workers) {
        // The other threads in turn, the home thread last (and only with -j 1).
        w->thread = n > 1 ? (home + 1 + w->index) % n : 0;
        if (w->thread == home && n > 1)
            _balance = true;
        WLogger::info("%s set compression task %i to thread %i", name().c_str(), int(w->index), w->thread);
        w->comp.configure(*this, w->thread, name());
        SpinlockGuard g(w->comp._lock);
        if (w->comp.initialize() < 0)
            return errh->error("%s", w->comp.error());
    }
    _push_task.initialize(this, true);
    _pull_task.initialize(this, true);
    _signal = Notifier::upstream_empty_signal(this, 0, &_pull_task);
    for (auto& w : _workers) {
        w->task.initialize(this, false);
        w->task.move_thread(w->thread);
        w->task.reschedule();
    }
    if (_settings.adaptive)
        _adapter.start(this, this, _compressor, _level, _settings.adaptive_min, _settings.adaptive_max,
                       _settings.adaptive_off,
                       [this](std::vector<int>& tids) {
                           tids.clear();
                           for (auto& w : _workers)
                               tids.push_back(w->tid.load(std::memory_order_relaxed));
                       },
                       [this](int level) {
                           SpinlockGuard g(_lock);
                           _level = level;
                           for (auto& w : _workers)
                               w->comp.set_level(level);
                       });
    _started = true;
    return 0;
}

void WMTComp::cleanup(CleanupStage) {
    _adapter.stop();
    for (auto& w : _workers) {
        SpinlockGuard g(w->comp._lock);
        w->comp.cleanup();
    }
}

void WMTComp::set_first_seq(uint16_t seq) {
    if (_queued.load() == 0 && _held.load() == 0) {
        _packet_seq = seq;
        _send_next = seq;
    }
}

uint64_t WMTComp::queue_drops() const {
    uint64_t n = uint64_t(_push_queue ? _push_queue->drops() : 0);
    for (auto& w : _workers)
        n += uint64_t(w->queue.drops());
    return n;
}

void WMTComp::warn_limited(const char* fmt, ...) {
    // Overload can drop every packet: one message per second is enough.
    uint32_t now = click_jiffies();
    uint32_t last = __atomic_load_n(&_last_warn, __ATOMIC_RELAXED);
    if (last && now - last < 1000)
        return;
    __atomic_store_n(&_last_warn, now ? now : 1, __ATOMIC_RELAXED);
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    WLogger::error("%s", buf);
}

// ---------------------------------------------------------------------------
// Tasks

bool WMTComp::pull_hook(Task*, void* t) { return static_cast<WMTComp*>(t)->run_pull_task(); }
bool WMTComp::push_hook(Task*, void* t) { return static_cast<WMTComp*>(t)->run_push_task(); }
bool WMTComp::comp_hook(Task*, void* w) {
    WCompTaskInfo* info = static_cast<WCompTaskInfo*>(w);
    return info->owner->run_comp_task(info);
}

bool WMTComp::run_pull_task() {
    _pull_runs.fetch_add(1, std::memory_order_relaxed);
    int room = int(_burst) - _queued.load(std::memory_order_relaxed);
    const uint32_t mask = uint32_t(_ring.size()) - 1;
    int pulled = 0;
    // With no room the push task wakes this task when a packet comes back.
    for (; room > 0; --room) {
        uint16_t seq = _packet_seq.load(std::memory_order_relaxed);
        if (uint16_t(seq - _send_next.load(std::memory_order_relaxed)) >= mask)
            break;  // as many numbers open as the ring holds: wait for the release
        Packet* p = input(0).pull();
        if (!p) {
            if (_signal.active())
                _pull_task.fast_reschedule();
            return pulled > 0;
        }
        int qi = _next_queue.load(std::memory_order_relaxed);
        _next_queue.store(qi + 1 == int(_workers.size()) ? 0 : qi + 1, std::memory_order_relaxed);
        // A worker that shares the home thread runs only between the pull and
        // push tasks, so in strict turns it would hold the others back.
        if (_balance)
            qi = shortest_queue_from(qi);
        WCompTaskInfo* w = _workers[size_t(qi)].get();
        set_mtcomp_seq_anno(p, seq);
        if (!w->queue.enqueue(p)) {
            // Nothing later was numbered: the number goes back.
            _pull_drops.fetch_add(1, std::memory_order_relaxed);
            warn_limited("%s unable to enqueue packet to queue %i. (capacity: %i, drops: %i, highwater length: %i)",
                         name().c_str(), qi, w->queue.capacity(), w->queue.drops(), w->queue.highwater());
            p->kill();
            _pull_task.fast_reschedule();
            return pulled > 0;
        }
        _packet_seq.store(uint16_t(seq + 1), std::memory_order_relaxed);
        _queued.fetch_add(1, std::memory_order_relaxed);
        ++pulled;
        wake(w->task);
    }
    return pulled > 0;
}

// The worker whose queue holds the fewest packets, the one in turn (qi) and
// then the next ones first on a tie.
int WMTComp::shortest_queue_from(int qi) const {
    const int n = int(_workers.size());
    int best = qi, best_len = _workers[size_t(qi)]->queue.size();
    for (int k = 1; k < n && best_len > 0; ++k) {
        int c = qi + k < n ? qi + k : qi + k - n;
        int len = _workers[size_t(c)]->queue.size();
        if (len < best_len) {
            best = c;
            best_len = len;
        }
    }
    return best;
}

bool WMTComp::run_comp_task(WCompTaskInfo* w) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    w->count[0].fetch_add(1, std::memory_order_relaxed);
    Packet* p = w->queue.dequeue();
    if (!p) {
        w->count[5].fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    w->count[1].fetch_add(1, std::memory_order_relaxed);
    if (_settings.adaptive)
        w->tid.store(compression::current_tid(), std::memory_order_relaxed);
    uint16_t seq = mtcomp_seq_anno(p);
    uint64_t busy = w->comp.packets().busy_ns();
    Packet* q = w->comp.compress(p, _wconf->shim_config(), w->index);
    w->count[6].fetch_add(w->comp.packets().busy_ns() - busy, std::memory_order_relaxed);
    if (!q) {
        w->count[3].fetch_add(1, std::memory_order_relaxed);
        hole(seq);
    } else if (!_push_queue->enqueue(q)) {
        w->count[4].fetch_add(1, std::memory_order_relaxed);
        warn_limited("%s unable to enqueue packet to push queue.( task: %i, capacity: %i, drops: %i, highwater "
                     "length: %i)",
                     name().c_str(), int(w->index), _push_queue->capacity(), _push_queue->drops(),
                     _push_queue->highwater());
        q->kill();
        hole(seq);
    } else {
        w->count[2].fetch_add(1, std::memory_order_relaxed);
        // A busy worker wakes the home thread once for a few packets; a
        // worker about to go idle always does.
        if (w->queue.size() > 0 && _push_queue->size() < _wake_batch) {
            w->task.fast_reschedule();
            return true;
        }
    }
    wake(_push_task);
    if (w->queue.size() > 0)
        w->task.fast_reschedule();
    return true;
}

void WMTComp::hole(uint16_t seq) {
    // Cannot fail: the ring holds as many numbers as can be in flight.
    if (!_holes->push(seq))
        WLogger::error("%s lost sequence number %u", name().c_str(), unsigned(seq));
}

bool WMTComp::run_push_task() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    _push_runs.fetch_add(1, std::memory_order_relaxed);
    const uint32_t mask = uint32_t(_ring.size()) - 1;
    bool work = false;
    uint16_t seq;
    while (_holes->pop(seq)) {
        _ring[seq & mask].store(HOLE, std::memory_order_relaxed);
        _held.fetch_add(1, std::memory_order_relaxed);
        _queued.fetch_sub(1, std::memory_order_relaxed);
        work = true;
    }
    // What the workers finished, a burst at most, then the release.
    for (int n = 0; n < int(_burst); ++n) {
        Packet* p = _push_queue->dequeue();
        if (!p)
            break;
        _ring[mtcomp_seq_anno(p) & mask].store(p, std::memory_order_relaxed);
        _held.fetch_add(1, std::memory_order_relaxed);
        _queued.fetch_sub(1, std::memory_order_relaxed);
        work = true;
    }
    if (!work)
        return false;
    wake(_pull_task);
    release();
    if (_push_queue->size() > 0 || _holes->size() > 0)
        _push_task.fast_reschedule();
    return true;
}

void WMTComp::release() {
    const uint32_t mask = uint32_t(_ring.size()) - 1;
    uint16_t next = _send_next.load(std::memory_order_relaxed);
    while (Packet* p = _ring[next & mask].load(std::memory_order_relaxed)) {
        _ring[next & mask].store(nullptr, std::memory_order_relaxed);
        _held.fetch_sub(1, std::memory_order_relaxed);
        ++next;
        _send_next.store(next, std::memory_order_relaxed);
        if (p == HOLE) {
            _holes_skipped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        output(0).push(p);
    }
}

// ---------------------------------------------------------------------------
// WCompBase: the element's flag first, then every worker's, element lock first.

void WMTComp::set_force_stateless() {
    WLogger::info("%s setting force stateless.", name().c_str());
    SpinlockGuard g(_lock);
    _force_stateless = true;
    for (auto& w : _workers)
        w->comp.set_force_stateless();
}

void WMTComp::unforce_stateless() {
    WLogger::info("%s clearing force stateless.", name().c_str());
    SpinlockGuard g(_lock);
    _force_stateless = false;
    for (auto& w : _workers)
        w->comp.unforce_stateless();
}

void WMTComp::set_master_fallback() {
    WLogger::warn("%s setting master fallback.", name().c_str());
    SpinlockGuard g(_lock);
    _master_fallback = true;
    for (auto& w : _workers)
        w->comp.set_master_fallback();
}

void WMTComp::reset_master_fallback() {
    WLogger::info("%s resetting master fallback.", name().c_str());
    SpinlockGuard g(_lock);
    _master_fallback = false;
    for (auto& w : _workers)
        w->comp.reset_master_fallback();
}

void WMTComp::hard_set_force_stateless() {
    WLogger::info("%s hard setting force", name().c_str());
    SpinlockGuard g(_lock);
    _force_stateless = true;
    for (auto& w : _workers)
        w->comp.hard_set_force_stateless();
}

// ---------------------------------------------------------------------------
// Handlers

std::string WMTComp::state_string() const {
    std::string s;
    char buf[512];
    auto add = [&](const char* fmt, auto... a) {
        std::snprintf(buf, sizeof buf, fmt, a...);
        s += buf;
    };
    Master* m = router()->master();
    auto thread_ptr = [m](int id) -> const void* { return m ? static_cast<const void*>(m->thread(id)) : nullptr; };
    int home = home_thread_id();
    add("RouterThread ID: %d, Pointer: %p\n", home, thread_ptr(home));
    add("Threads: %d, Task Count: %d, Push Queue size: %d\n", threads(), threads(),
        _push_queue ? _push_queue->size() : 0);
    for (auto [label, t] : {std::pair{"Pull Task", &_pull_task}, std::pair{"Push Task", &_push_task}})
        add("%s: %s, RouterThread ID: %d, RouterThread Pointer: %p\n", label,
            t->scheduled() ? "scheduled" : "unscheduled", t->home_thread_id(), thread_ptr(t->home_thread_id()));
    add("Burst: %d, Queued: %d, Upstream Queue Signal: %s, Next Queue: %d, Queue Capacity: %d, Packet Seq: %u, "
        "Seq Queue: %d, Send Next: %u\n",
        int(_burst), queued(), _signal.active() ? "active" : "idle", _next_queue.load(), _queue_capacity,
        unsigned(packet_seq()), held(), unsigned(send_next()));
    const uint32_t mask = uint32_t(_ring.size()) - 1;
    int n = 0;
    for (uint16_t seq = send_next(); seq != packet_seq(); ++seq)
        if (Packet* p = _ring[seq & mask].load(std::memory_order_relaxed); p && p != HOLE)
            add("Seq Queue packet #%d seq: %u\n", n++, unsigned(seq));
    add("Pull task count: %llu, Push task count: %llu\n", (unsigned long long)_pull_runs.load(),
        (unsigned long long)_push_runs.load());
    for (auto& w : _workers) {
        add("Comp task: %d Queue size: %d, Task: %s, Home Thread ID: %d, RouterThread ID: %d, RouterThread "
            "Pointer: %p\n",
            int(w->index), w->queue.size(), w->task.scheduled() ? "scheduled" : "unscheduled", w->thread,
            w->task.home_thread_id(), thread_ptr(w->task.home_thread_id()));
        for (int i = 0; i < 7; ++i)
            add("%sCount%d: %llu", i ? ", " : "", i + 1, (unsigned long long)w->count[i].load());
        s += "\n";
    }
    return s;
}

void WMTComp::add_handlers() {
    add_read_handler("active_method", [this]() -> std::string {
        SpinlockGuard g(_lock);
        return streaming_in_force() ? "Streaming" : "Stateless";
    });
    add_read_handler("state", [this]() { return state_string(); });
    auto sum = [this](uint64_t (PacketCompressor::*f)() const) {
        return [this, f]() {
            uint64_t n = 0;
            for (auto& w : _workers)
                n += (w->comp.packets().*f)();
            return std::to_string(n);
        };
    };
    add_read_handler("compressed", sum(&PacketCompressor::compressed_count));
    add_read_handler("uncompressed", sum(&PacketCompressor::uncompressed_count));
    add_read_handler("passed", sum(&PacketCompressor::passed_count));
    add_read_handler("errors", sum(&PacketCompressor::error_count));
    add_read_handler("queue_drops", [this]() { return std::to_string(queue_drops()); });
    add_read_handler("holes", [this]() { return std::to_string(holes()); });
    add_read_handler("level", [this]() {
        SpinlockGuard g(_lock);
        return std::to_string(_level);
    });
    add_read_handler("adaptive", [this]() { return _adapter.active() ? _adapter.state() : std::string("off"); });
    add_task_handlers(&_pull_task, "pulltask_");
    add_task_handlers(&_push_task, "pushtask_");
    for (auto& w : _workers)
        add_task_handlers(&w->task, "comptask" + std::to_string(w->index) + "_");
}

QUILO_REGISTER_ELEMENT(WMTComp);
