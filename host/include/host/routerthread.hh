// Master and RouterThread: the threads that run routers.  A Master owns
// `nthreads` RouterThreads; run() makes the calling thread thread 0 and
// starts the others.  Each thread runs its scheduled tasks by their tickets
// (stride scheduling, see task.hh),
// fires expired timers (steady clock) and waits in epoll for file
// descriptors and wake-ups when it has nothing to do.
#ifndef QUILO_HOST_ROUTERTHREAD_HH
#define QUILO_HOST_ROUTERTHREAD_HH

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <host/timestamp.hh>

class Element;
class ErrorHandler;
class Master;
class Router;
class Task;
class Timer;

class RouterThread {
 public:
    int thread_id() const { return _id; }
    Master* master() const { return _master; }
    // The RouterThread the caller is running on, or null.
    static RouterThread* current();

    // Number of tasks currently in the run list (approximate from other threads).
    int ntasks() const { return _ntasks.load(std::memory_order_relaxed); }
    // Wakes the thread if it is waiting.
    void wake();

    // File-descriptor readiness, for elements and for the driver's own
    // sockets.  `owner` may be null (not tied to a router).  Callable from
    // any thread.
    typedef std::function<void(int fd, int mask)> SelectCallback;
    int add_select(int fd, int mask, Element* owner, SelectCallback cb);
    int remove_select(int fd, int mask, Element* owner);
    // Removes every selection of elements of router r.
    void remove_router_selects(Router* r);

 private:
    RouterThread(Master* m, int id);
    ~RouterThread();
    void driver();
    void run_pending();
    void run_tasks(int max);
    void run_timers();
    void wait(bool block);
    void add_to_list(Task* t);
    void remove_from_list(Task* t);
    void runq_up(int i);
    void runq_down(int i);
    void add_pending(Task* t);
    void timer_insert(Timer* t);
    void timer_remove(Timer* t);
    void heap_up(int i);
    void heap_down(int i);

    Master* _master;
    int _id;
    int _epfd = -1;
    int _wakefd = -1;
    std::atomic<bool> _sleeping{false};
    std::atomic<int> _ntasks{0};
    // Run queue (owner thread only): a min-heap on the tasks' pass; _pass is
    // the pass of the task that ran last.
    std::vector<Task*> _runq;
    uint32_t _pass = 0;
    // Tasks handed over by other threads.
    std::mutex _pending_lock;
    std::atomic<Task*> _pending_head{nullptr};
    // Timers: a min-heap on expiry.
    std::mutex _timer_lock;
    std::vector<Timer*> _heap;
    std::atomic<int64_t> _first_expiry{INT64_MAX};
    // Selections.
    struct Selection {
        int fd;
        int mask;
        Element* read_owner = nullptr;
        Element* write_owner = nullptr;
        SelectCallback read_cb;
        SelectCallback write_cb;
    };
    std::mutex _select_lock;
    std::unordered_map<int, Selection*> _selects;
    std::thread _thread;
    friend class Master;
    friend class Task;
    friend class Timer;
};

class Master {
 public:
    explicit Master(int nthreads = 1);
    ~Master();
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    // The most recently created live master (what click_nthreads() reports).
    static Master* current();

    int nthreads() const { return int(_threads.size()); }
    RouterThread* thread(int i) const { return _threads[i]; }

    // Runs `router` (initialized) until please_stop(): the calling thread
    // becomes thread 0.  Returns 0.  A please_stop() that came before run()
    // (from configure or initialize) makes it return at once.  The router that is running at the end
    // (after hot swaps, not necessarily `router`) is router().
    int run(Router* router);
    Router* router() const { return _router; }
    bool running() const { return _running.load(); }

    // Asks every thread to stop (async-signal-safe).
    void please_stop();
    bool stopping() const { return _stop.load(std::memory_order_relaxed); }

    // Replaces the running router by `r` (built and initialized, not
    // running): pauses the other threads, stops the old router, passes
    // state with take_state, starts r.  The old router is deleted later, on
    // thread 0.  Must be called on thread 0 while running.
    void hotswap(Router* r, ErrorHandler* errh);

    // Runs f on thread 0 of the running master and waits for it (for
    // callers on foreign threads, such as tests).  When the master is not
    // running, runs f directly.
    void call_on_thread0(const std::function<void()>& f);

    // Pause the other threads (thread 0 only) and let them go on.
    void pause_others();
    void unpause_others();

 private:
    void start_router(Router* r);
    void stop_router(Router* r);
    void collect_garbage();

    std::vector<RouterThread*> _threads;
    Router* _router = nullptr;
    std::vector<Router*> _garbage;
    std::atomic<bool> _stop{false};
    std::atomic<bool> _running{false};
    // Pausing.
    std::mutex _pause_lock;
    std::condition_variable _pause_cv;
    std::atomic<bool> _pause{false};
    int _paused = 0;
    int _alive = 0;
    // Cross-thread calls onto thread 0.
    struct CallRecord {
        const std::function<void()>* f;
        bool done = false;
    };
    void run_calls();
    std::mutex _call_lock;
    std::condition_variable _call_cv;
    std::vector<CallRecord*> _calls;
    std::atomic<bool> _has_calls{false};
    friend class RouterThread;
};

#endif
