// Unqueue([BURST, KEYWORDS]): a task pulls up to BURST packets per run from
// its input and pushes them on, sleeping while upstream is empty. It stops
// after LIMIT packets.
// Keywords: BURST (1 to 1048576, default 1), ACTIVE (boolean, default true),
// LIMIT (packets; default -1, no limit).
// Ports: 1 input (pull), 1 output (push).
// Handlers: count (read), reset (write; zeroes count), active (read/write),
// scheduled, home_thread (read).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>

#include <atomic>

class Unqueue : public Element {
 public:
    Unqueue();
    const char* class_name() const override { return "Unqueue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PULL_TO_PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler*) override;
    bool run_task(Task*) override;
    void add_handlers() override;

 private:
    Task _task;
    NotifierSignal _signal;
    int _burst = 1;
    bool _active = true;
    int64_t _limit = -1;
    std::atomic<uint64_t> _count{0};
};
