// Notifiers let a pull task sleep while everything upstream is empty: a
// Queue (say) holds an ActiveNotifier whose signal is active while it has
// packets; an Unqueue asks Notifier::upstream_empty_signal() for the
// combined signal of its upstream notifiers, and is registered as a
// listener so that the notifier wakes its task when packets arrive.
#ifndef QUILO_HOST_NOTIFIER_HH
#define QUILO_HOST_NOTIFIER_HH

#include <atomic>
#include <cstdint>
#include <vector>

class Element;
class Router;
class Task;

class NotifierSignal {
 public:
    // Uninitialized: counts as active.
    NotifierSignal() : _value(&static_value), _mask(uninitialized_mask | true_mask) {}
    NotifierSignal(std::atomic<uint32_t>* value, uint32_t mask) : _value(value), _mask(mask) {}

    static NotifierSignal idle_signal() { return NotifierSignal(&static_value, false_mask); }
    static NotifierSignal busy_signal() { return NotifierSignal(&static_value, true_mask); }
    static NotifierSignal overderived_signal() { return NotifierSignal(&static_value, overderived_mask | true_mask); }
    static NotifierSignal uninitialized_signal() { return NotifierSignal(&static_value, uninitialized_mask | true_mask); }

    // True while some source may have packets.
    bool active() const { return (_value->load(std::memory_order_acquire) & _mask) != 0; }
    explicit operator bool() const { return active(); }
    bool idle() const { return _value == &static_value && _mask == false_mask; }
    bool busy() const { return _value == &static_value && _mask == true_mask; }
    bool overderived() const { return _value == &static_value && (_mask & overderived_mask); }
    bool initialized() const { return !(_value == &static_value && (_mask & uninitialized_mask)); }

    // Sets or clears the signal; returns whether it was active before.  The
    // constant signals (idle, busy, ...) never change.
    bool set_active(bool active) {
        if (_value == &static_value)
            return this->active();
        uint32_t old = active ? _value->fetch_or(_mask, std::memory_order_acq_rel)
                              : _value->fetch_and(~_mask, std::memory_order_acq_rel);
        return (old & _mask) != 0;
    }

    // Combination: active if either is active.
    NotifierSignal& operator+=(const NotifierSignal& o);
    friend NotifierSignal operator+(NotifierSignal a, const NotifierSignal& b) { a += b; return a; }
    bool operator==(const NotifierSignal& o) const { return _value == o._value && _mask == o._mask; }

 private:
    // static_value is 1: masks on it encode the constant signals (those
    // including true_mask are active).
    enum { true_mask = 1, false_mask = 2, overderived_mask = 4, uninitialized_mask = 8 };
    static std::atomic<uint32_t> static_value;
    std::atomic<uint32_t>* _value;
    uint32_t _mask;
};

class Notifier {
 public:
    enum SearchOp { SEARCH_STOP = 0, SEARCH_CONTINUE, SEARCH_CONTINUE_WAKE };
    // Names answered by port_cast()/cast() of elements that hold notifiers.
    static const char EMPTY_NOTIFIER[];   // "Notifier.EMPTY"
    static const char FULL_NOTIFIER[];    // "Notifier.FULL"

    explicit Notifier(SearchOp op = SEARCH_STOP) : _search_op(op) {}
    Notifier(const NotifierSignal& s, SearchOp op = SEARCH_STOP) : _signal(s), _search_op(op) {}
    virtual ~Notifier();

    // Allocates the signal bit from the router (call from configure or
    // initialize); the signal starts active.
    int initialize(const char* name, Router* router);

    const NotifierSignal& signal() const { return _signal; }
    SearchOp search_op() const { return _search_op; }
    bool active() const { return _signal.active(); }
    // Becoming active also activates the dependent signals.
    void set_active(bool active) {
        if (!_signal.set_active(active) && active)
            activate_dependents();
    }
    void wake() { set_active(true); }
    void sleep() { set_active(false); }

    virtual int add_listener(Task* task);
    virtual void remove_listener(Task* task);
    // A signal (another notifier's, typically) that this notifier sets
    // active whenever it becomes active itself: an element that passes
    // packets on from upstream notifiers keeps its own signal awake this
    // way.  Register from configure or initialize; the signal must live as
    // long as this notifier.
    virtual int add_dependent_signal(NotifierSignal* signal);
    void remove_dependent_signal(NotifierSignal* signal);

    // Combined signal of the notifiers upstream of e's input `port`
    // (searching through pull elements); registers `task` with each, and
    // the signal of `dependent_notifier` as a dependent signal of each.
    // Returns busy_signal() when some upstream path has no notifier.
    static NotifierSignal upstream_empty_signal(Element* e, int port, Task* task = nullptr,
                                                Notifier* dependent_notifier = nullptr);
    // Same, downstream of push output `port`, for FULL notifiers.
    static NotifierSignal downstream_full_signal(Element* e, int port, Task* task = nullptr,
                                                 Notifier* dependent_notifier = nullptr);

 protected:
    void activate_dependents();

    NotifierSignal _signal;
    SearchOp _search_op;
    std::vector<NotifierSignal*> _dependents;
};

// A notifier that wakes its listener tasks when it becomes active.
class ActiveNotifier : public Notifier {
 public:
    explicit ActiveNotifier(SearchOp op = SEARCH_STOP) : Notifier(op) {}

    int add_listener(Task* task) override;
    void remove_listener(Task* task) override;
    void listeners(std::vector<Task*>& v) const { v = _listeners; }

    // Becoming active activates the dependent signals and reschedules every
    // listener (when `schedule`).
    void set_active(bool active, bool schedule = true) {
        bool was = _signal.set_active(active);
        if (active && !was) {
            activate_dependents();
            if (schedule)
                wake_listeners();
        }
    }
    void wake() { set_active(true, true); }
    void sleep() { set_active(false, false); }

 private:
    void wake_listeners();
    std::vector<Task*> _listeners;
};

#endif
