// DelayShaper(DELAY): pull element that releases each packet no earlier
// than DELAY after its timestamp (packets without a timestamp count from
// the moment they are pulled in); released packets get the current time as
// timestamp. Put it after a Queue; packets from FromDevice carry their
// arrival time, use SetTimestamp before the Queue for other sources.
// Downstream pull tasks sleep until the held packet is due.
// Keywords: DELAY (seconds, such as 20ms; mandatory).
// Ports: 1 input (pull), 1 output (pull).
// Handlers: delay (read/write), count (read: packets released).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

class DelayShaper : public Element {
 public:
    DelayShaper() : _timer(this), _wake_task(wake_hook, this) {}
    const char* class_name() const override { return "DelayShaper"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PULL; }
    void* cast(const char* name) override;
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;
    Packet* pull(int) override;
    void run_timer(Timer*) override;

 private:
    Timestamp _delay;
    Packet* _p = nullptr;
    int64_t _due = 0;   // wall clock ns
    static bool wake_hook(Task*, void* self);
    Timer _timer;
    // Runs when the upstream queue gets packets again, to wake downstream.
    Task _wake_task;
    ActiveNotifier _notifier;
    NotifierSignal _upstream;
    bool _notifier_ready = false;
    std::atomic<uint64_t> _count{0};
};
