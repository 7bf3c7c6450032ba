// Task: a unit of repeated work on a router thread.  A task runs when
// scheduled; it is unscheduled just before it runs and stays scheduled only
// if it calls fast_reschedule()/reschedule() (typically when it did work).
//
// Tickets (stride scheduling, as in Click): among the tasks scheduled on one
// thread, each runs in proportion to its tickets; a task with 2048 runs
// twice as often as one with the default 1024.  A task that wakes up after
// sleeping does not get the turns it missed.
#ifndef QUILO_HOST_TASK_HH
#define QUILO_HOST_TASK_HH

#include <atomic>
#include <cstdint>

class Element;
class Router;
class RouterThread;
class Task;

typedef bool (*TaskCallback)(Task* task, void* user_data);

class Task {
 public:
    // Runs e->run_task(this).
    explicit Task(Element* e);
    // Runs f(this, user_data).
    Task(TaskCallback f, void* user_data);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Attaches the task to its owner's router and home thread; schedules it
    // if asked.  The owner form takes the tickets a ScheduleInfo element
    // gives the owner.  Tasks of a router that is not running yet (during
    // initialize, or a router being hot-swapped in) start when it starts.
    void initialize(Element* owner, bool schedule);
    void initialize(Router* router, bool schedule);
    bool initialized() const { return _router != nullptr; }

    // Whether the task will run (set by schedule/reschedule, cleared by
    // unschedule and just before it runs).
    bool scheduled() const { return _should_run.load(std::memory_order_relaxed); }
    // Schedules the task (from any thread).
    void reschedule();
    void schedule() { reschedule(); }
    // From the task's own run: keep running.
    void fast_reschedule() { reschedule(); }
    void unschedule();
    void strong_unschedule() { unschedule(); }
    void strong_reschedule() { reschedule(); }
    void fast_unschedule(bool) { unschedule(); }

    // Moves the task to another thread (from any thread); it keeps its
    // scheduled state.  Out-of-range ids are clamped.
    void move_thread(int thread_id);
    int home_thread_id() const { return _home_thread.load(std::memory_order_relaxed); }
    RouterThread* thread() const;

    Element* element() const { return _owner; }
    Router* router() const { return _router; }
    TaskCallback callback() const { return _hook; }
    void* user_data() const { return _thunk; }

    static constexpr int DEFAULT_TICKETS = 1024;
    static constexpr int MAX_TICKETS = 32768;
    int tickets() const { return _tickets.load(std::memory_order_relaxed); }
    // Any thread; clamped to 1..MAX_TICKETS; counts from the task's next run.
    void set_tickets(int n) {
        _tickets.store(n < 1 ? 1 : n > MAX_TICKETS ? MAX_TICKETS : n, std::memory_order_relaxed);
    }
    void adjust_tickets(int delta) { set_tickets(tickets() + delta); }

    // Runs the task's work once (on the calling thread).
    bool fire();

    // Number of times the task has run.
    uint64_t runs() const { return _runs; }

 private:
    TaskCallback _hook = nullptr;
    void* _thunk = nullptr;
    Element* _owner = nullptr;
    Router* _router = nullptr;
    std::atomic<bool> _should_run{false};     // what callers asked for
    std::atomic<bool> _pending{false};        // in a thread's pending list
    std::atomic<int> _home_thread{0};         // where it should run
    std::atomic<int> _thread_id{0};           // where it sits now (changed by that thread only)
    std::atomic<int> _tickets{DEFAULT_TICKETS};
    uint32_t _pass = 0;                       // its place in the run queue's virtual time
    int _rq_index = -1;                       // in _thread_id's run queue (that thread only), or -1
    Task* _pending_next = nullptr;
    uint64_t _runs = 0;
    friend class RouterThread;
    friend class Router;
    friend class Master;
};

#endif
