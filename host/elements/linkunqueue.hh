// LinkUnqueue(LATENCY, BANDWIDTH): emulates a serial link. It pulls packets
// as fast as BANDWIDTH lets them onto the wire (a packet of L bytes occupies
// the link for 8L/BANDWIDTH seconds) and pushes each one LATENCY after its
// last byte was sent; packets wait upstream while the link is busy.
// Keywords: LATENCY (seconds, mandatory), BANDWIDTH (such as 10Mbps or
// 1MBps; plain numbers are bytes/s; mandatory).
// Ports: 1 input (pull), 1 output (push).
// Handlers: latency, bandwidth (read/write), size (read: packets on the
// link), count (read).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

class LinkUnqueue : public Element {
 public:
    LinkUnqueue() : _task(this), _timer(&_task) {}
    const char* class_name() const override { return "LinkUnqueue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PULL_TO_PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;
    bool run_task(Task*) override;

 private:
    Timestamp _latency;
    double _bandwidth = 0;   // bytes/s
    Task _task;
    Timer _timer;
    NotifierSignal _signal;
    int64_t _link_free = 0;   // steady ns when the link finishes its current packet
    bool _backlogged = false; // packets were waiting when the link last became busy
    // Packets on the link, oldest first; each one's delivery time (steady
    // ns) rides in its timestamp annotation until it leaves.
    Packet* _head = nullptr;
    Packet* _tail = nullptr;
    std::atomic<uint32_t> _size{0};
    std::atomic<uint64_t> _count{0};
};
