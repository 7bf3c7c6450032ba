// Timer: a callback at a point of the steady clock, run on a router thread
// (the owner element's home thread).  Timers may be scheduled from any
// thread.
#ifndef QUILO_HOST_TIMER_HH
#define QUILO_HOST_TIMER_HH

#include <atomic>
#include <cstdint>
#include <functional>

#include <host/timestamp.hh>

class Element;
class Router;
class RouterThread;
class Task;
class Timer;

typedef void (*TimerCallback)(Timer* timer, void* user_data);

class Timer {
 public:
    // Does nothing when it fires (assign a callback later).
    Timer();
    // Calls f(this, user_data).
    Timer(TimerCallback f, void* user_data);
    // Calls e->run_timer(this).
    explicit Timer(Element* e);
    // Schedules the task.
    explicit Timer(Task* t);
    // Calls f(this).
    explicit Timer(std::function<void(Timer*)> f);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void assign(TimerCallback f, void* user_data);
    void assign(Element* e);
    void assign(Task* t);

    // Attaches the timer to the owner's router and home thread.  Timers of a
    // router that is not running yet start counting when it starts (their
    // expiry stays as scheduled).
    void initialize(Element* owner, bool quiet = false);
    void initialize(Router* router);
    bool initialized() const { return _router != nullptr; }

    bool scheduled() const { return _scheduled.load(std::memory_order_relaxed); }
    // Expiry on the steady clock (valid when scheduled).
    const Timestamp& expiry_steady() const { return _expiry; }
    // Expiry on the wall clock.
    Timestamp expiry() const;

    void schedule_at_steady(const Timestamp& when);
    // Wall-clock form (converted to the steady clock now).
    void schedule_at(const Timestamp& when);
    void schedule_now();
    void schedule_after(const Timestamp& delta);
    void schedule_after_sec(uint32_t sec) { schedule_after(Timestamp::make_sec(sec)); }
    void schedule_after_msec(uint32_t ms) { schedule_after(Timestamp::make_msec(ms)); }
    void schedule_after_ms(uint32_t ms) { schedule_after_msec(ms); }
    // Relative to the previous expiry (periodic timers without drift).
    void reschedule_after(const Timestamp& delta);
    void reschedule_after_sec(uint32_t sec) { reschedule_after(Timestamp::make_sec(sec)); }
    void reschedule_after_msec(uint32_t ms) { reschedule_after(Timestamp::make_msec(ms)); }
    void unschedule();
    void clear() { unschedule(); }

    int home_thread_id() const { return _thread_id; }
    // Moves the timer to another thread; keeps its expiry.
    void move_thread(int thread_id);
    Element* element() const { return _owner; }
    Router* router() const { return _router; }
    void* user_data() const { return _thunk; }

 private:
    void fire();
    TimerCallback _hook = nullptr;
    void* _thunk = nullptr;
    std::function<void(Timer*)> _fn;
    Element* _owner = nullptr;
    Router* _router = nullptr;
    Timestamp _expiry;
    int _thread_id = 0;
    int _heap_index = -1;        // position in the thread's heap, -1 when not in it
    std::atomic<bool> _scheduled{false};  // caller's view
    friend class RouterThread;
    friend class Router;
    friend class Master;
};

#endif
