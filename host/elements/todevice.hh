// ToDevice(DEVNAME, BURST, QUEUE): pulls Ethernet frames and sends them out
// of a Linux network interface through an AF_PACKET socket, in batches
// (sendmmsg). Nothing is dropped for want of room: when the socket's send
// buffer is full ToDevice keeps the frames it holds, stops pulling and
// resumes when the socket is writable again; when the device's queue
// discipline refuses a frame (ENOBUFS) the frame is kept and sent again
// after a millisecond. Upstream queues fill meanwhile and their own drop
// counters show any overload. Frames the device cannot send at all (larger
// than its MTU, device down, ...) are dropped and counted in "drops".
// Keywords: DEVNAME (mandatory), BURST (frames per batch, default 32),
// QUEUE (frames the socket may have in flight in the kernel before
// ToDevice waits, default 1024; the send buffer is sized for that many
// frames of the device's MTU, so more small frames fit; 0 = default).
// Ports: 1 input, no outputs; pull.
// Handlers: count (frames sent), drops, blocked (times ToDevice had to
// wait), queue (QUEUE), sndbuf (send buffer bytes granted) (read),
// reset_counts (write).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

#include "../lib/packetsocket.hh"

class ToDevice : public Element {
 public:
    ToDevice() : _task(this), _retry(this) {}
    const char* class_name() const override { return "ToDevice"; }
    const char* port_count() const override { return PORTS_1_0; }
    const char* processing() const override { return PULL; }
    int configure_phase() const override { return CONFIGURE_PHASE_PRIVILEGED; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;
    bool run_task(Task*) override;
    void selected(int fd, int mask) override;
    void run_timer(Timer*) override;

 private:
    enum Flush { done, full, refused };
    Flush flush();   // done: nothing is left pending
    void wait_for(Flush why);
    static constexpr int default_queue = 1024;
    std::string _devname;
    int _burst = 32;
    int _queue = default_queue;
    pktsock::PacketSocket _sock;
    Task _task;
    Timer _retry;
    NotifierSignal _signal;
    std::vector<Packet*> _pending;
    size_t _pending_pos = 0;
    std::vector<const uint8_t*> _ptrs;
    std::vector<uint32_t> _lens;
    bool _waiting = false;
    std::atomic<uint64_t> _count{0}, _drops{0}, _blocked{0};
};
