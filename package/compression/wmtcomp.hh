// WMTComp: compresses on several host threads at once and keeps the packets
// in their arrival order. It stands wherever a WComp stands: RSP (WCOMP) and
// the queue managers drive and read it through WCompBase.
//
//   Queue(CAPACITY n) -> WMTComp([THREADS 1-15] [, BURST n] [, QUEUE_CAPACITY n]
//                                [, MIN_DATA_LEN n] [, COMPRESSOR 4|5] [, METHOD ...]
//                                [, FORCE_STATELESS bool] [, LEVEL n]
//                                [, ADAPTIVE bool] [, ADAPTIVE_MIN n] [, ADAPTIVE_MAX n]
//                                [, ADAPTIVE_OFF bool])
//
// Ports: input 0 pull (put a Queue in front; its drops are the element's
// input drops), output 0 push.
//
// THREADS (1): workers, each with its own engine and its own stream; 0 and
// values above 15 are corrected with an error message. The worker index
// travels in the low four bits of the shim's control byte and selects the
// peer's decoder: the peer's WMTDeComp needs at least as many THREADS.
// BURST (0 = THREADS): packets in flight (pulled, not yet back on the home
// thread); bounds the reordering and the queues' use.
// QUEUE_CAPACITY (100): each worker's queue; the push queue that carries
// compressed packets back holds THREADS x QUEUE_CAPACITY.
// MIN_DATA_LEN, COMPRESSOR, METHOD, FORCE_STATELESS, LEVEL, ADAPTIVE,
// ADAPTIVE_MIN, ADAPTIVE_MAX, ADAPTIVE_OFF: as WComp. Only zstd (4) and
// zlib (5) compress here; with 2 or 3 (LZ4) every payload goes uncompressed,
// which configure warns about.
//
// Threads. The pull and push tasks run on the element's home thread. Worker
// i runs on host thread (home + 1 + i) mod N, N being the host's thread
// count (-j): the workers take the other threads in turn and the home thread
// last, so with -j 1 everything runs on thread 0 and with -j 3 three workers
// sit on threads 1, 2 and 0. Give the router one thread per core and as
// many workers: the last worker then shares the home thread, whose tasks
// cost about a tenth of a worker's time. A thread per worker plus one puts
// one busy thread more on the machine than it has cores, and the thread that
// waits for a core costs more than the home thread's tasks (two workers on
// two cores: about 1.7 times WComp's rate with -j 2, 1.2 to 1.5 with -j 3
// or 4).
//
// Hand-over. The pull task takes up to BURST packets a run, the push task
// takes what the workers finished (a burst at most) and releases what is in
// order; a busy worker wakes the push task once for a quarter of a burst,
// a worker about to go idle always. A larger BURST (say 32) spares thread
// wake-ups when the workers are loaded.
//
// Order. Each pulled packet gets a 16-bit sequence number (annotation
// MTCOMP_SEQ) and goes to the next worker in turn; the push task sends
// packets on strictly in that order. When a worker shares the home thread
// (with -j 2 or more, fewer threads than workers + 1), a packet goes to the
// worker whose queue is shortest instead, the one in turn on a tie: that
// worker gets less of its thread than the others, and in strict turns the
// release would wait for it (a fifth more packets a second with two
// workers and -j 2). A packet dropped after it got its
// number (worker queue full, compression failure, push queue full) leaves a
// hole that the push task skips, so later packets still leave and pulling
// goes on. Stream packets that a worker compressed before RSP forced
// stateless compression are sent on like any other: RSP carries them in its
// reliable stream, so the peer's decoders never miss one.
//
// Hot reconfiguration starts new streams: the first streaming packet of
// each worker carries START_STREAM.
//
// Handlers: "active_method" ("Streaming" or "Stateless"); "state" (threads,
// tasks, sequence numbers and the per-worker counters Count1 runs, Count2
// packets taken, Count3 packets handed back, Count4 packets the compressor
// dropped, Count5 packets dropped at a full push queue, Count6 runs that
// found nothing, Count7 nanoseconds spent compressing); "level", "adaptive"
// as WComp; counters "compressed", "uncompressed", "passed", "errors"
// (summed over the workers), "queue_drops" (worker and push queues),
// "holes" (sequence numbers skipped); task handlers "pulltask_scheduled",
// "pushtask_scheduled", "comptaskN_scheduled" and their "_home_thread".
#pragma once

#include <host/notifier.hh>
#include <host/task.hh>

#include <atomic>
#include <memory>
#include <vector>

#include "common/wbase.hh"
#include "compression/adaptive_level.hh"
#include "compression/comp_settings.hh"
#include "compression/wcompbase.hh"
#include "compression/wcompqueue.hh"
#include "compression/wcompressor.hh"

class WMTComp;

// One worker: its queue, its task and its compressor (whose _lock is the
// worker's lock).
struct WCompTaskInfo {
    // The task runs `run` with this record as its argument.
    WCompTaskInfo(WMTComp* owner, uint8_t index, int capacity, TaskCallback run);

    WMTComp* owner;
    uint8_t index;
    WCompQueue queue;
    Task task;
    WCompressor comp;
    int thread = 0;              // host thread the task runs on
    std::atomic<int> tid{0};     // its kernel id, once it ran (adaptive level)
    // Written by the worker for every packet: a line of their own, so that
    // the pull task reading the queue and task above does not lose them.
    alignas(64) std::atomic<uint64_t> count[7] = {};
};

class WMTComp : public WBase, public WCompBase {
  public:
    static constexpr int MAX_THREADS = 15;

    WMTComp();
    ~WMTComp() override;

    const char* class_name() const override { return "WMTComp"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PULL_TO_PUSH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void cleanup(CleanupStage stage) override;

    void set_force_stateless() override;
    void hard_set_force_stateless() override;
    void unforce_stateless() override;
    void set_master_fallback() override;
    void reset_master_fallback() override;

    // For tests and handlers.
    int threads() const { return int(_workers.size()); }
    int burst() const { return _burst; }
    WCompTaskInfo& worker(int i) { return *_workers[size_t(i)]; }
    uint16_t packet_seq() const { return _packet_seq.load(std::memory_order_relaxed); }
    uint16_t send_next() const { return _send_next.load(std::memory_order_relaxed); }
    int queued() const { return _queued.load(std::memory_order_relaxed); }
    int held() const { return _held.load(std::memory_order_relaxed); }
    uint64_t holes() const { return _holes_skipped.load(std::memory_order_relaxed); }
    uint64_t queue_drops() const;
    // Starts the sequence numbers at `seq` (tests of the 16-bit wrap); only
    // while nothing is in flight.
    void set_first_seq(uint16_t seq);
    std::string state_string() const;
    Task& pull_task() { return _pull_task; }
    Task& push_task() { return _push_task; }

  private:
    static bool pull_hook(Task*, void*);
    static bool push_hook(Task*, void*);
    static bool comp_hook(Task*, void*);
    bool run_pull_task();
    bool run_push_task();
    bool run_comp_task(WCompTaskInfo* w);
    // From a worker: the packet numbered `seq` will not come back.
    void hole(uint16_t seq);
    void release();
    int shortest_queue_from(int qi) const;
    void warn_limited(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    CompSettings _settings;
    std::vector<std::unique_ptr<WCompTaskInfo>> _workers;
    std::unique_ptr<WCompQueue> _push_queue;
    std::unique_ptr<compression::SeqRing<uint16_t>> _holes;  // numbers of packets the workers dropped
    Task _pull_task, _push_task;
    NotifierSignal _signal;
    int _queue_capacity = 100;
    uint8_t _burst = 1;
    int _wake_batch = 1;  // finished packets a busy worker lets gather before it wakes the push task
    bool _started = false;
    bool _balance = false;  // a worker shares the home thread: packets go to the shortest queue

    // Home thread only (atomic for the state handler, which may read them
    // from another thread). They start a cache line of their own: the
    // workers read the settings and queues above for every packet.
    alignas(64) std::atomic<int> _queued{0};
    std::atomic<int> _next_queue{0};
    std::atomic<uint16_t> _packet_seq{0};
    std::atomic<uint16_t> _send_next{0};
    // Packets (or holes) that came back before their turn, by sequence number
    // modulo the ring's size; the pull task never numbers more than the ring holds.
    std::vector<std::atomic<Packet*>> _ring;
    std::atomic<int> _held{0};
    std::atomic<uint64_t> _pull_runs{0}, _push_runs{0}, _holes_skipped{0}, _pull_drops{0};
    alignas(64) uint32_t _last_warn = 0;

    LevelAdapter _adapter;
};
