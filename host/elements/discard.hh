// Discard([ACTIVE, BURST]): drops every packet. When its input is pull, a
// task pulls up to BURST packets per run while ACTIVE, sleeping while
// upstream is empty.
// Keywords: ACTIVE (boolean, default true), BURST (1 to 1048576, default 1).
// Ports: 1 input, push or pull.
// Handlers: count (read), reset_counts (write), active (read/write); with a
// pull input also scheduled, home_thread (read).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>

#include <atomic>

class Discard : public Element {
 public:
    Discard();
    const char* class_name() const override { return "Discard"; }
    const char* port_count() const override { return PORTS_1_0; }
    const char* processing() const override { return AGNOSTIC; }
    const char* flags() const override { return "S0"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler*) override;
    void push(int, Packet* p) override;
    bool run_task(Task*) override;
    void add_handlers() override;

 private:
    Task _task;
    NotifierSignal _signal;
    std::atomic<uint64_t> _count{0};
    bool _active = true;
    int _burst = 1;
};
