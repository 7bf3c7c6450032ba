// Task: a unit of repeated work on a router thread.  A task runs when
// scheduled; it is unscheduled just before it runs and stays scheduled only
// if it calls fast_reschedule()/reschedule() (typically when it did work).
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
    // if asked.  Tasks of a router that is not running yet (during
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

    // Click's ticket scheduling is not used; kept for source compatibility.
    int tickets() const { return 1024; }
    void set_tickets(int) {}
    void adjust_tickets(int) {}

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
    bool _in_list = false;                    // in _thread_id's run list
    Task* _prev = nullptr;
    Task* _next = nullptr;
    Task* _pending_next = nullptr;
    uint64_t _runs = 0;
    friend class RouterThread;
    friend class Router;
    friend class Master;
};

#endif
