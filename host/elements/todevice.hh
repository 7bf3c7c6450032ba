// ToDevice(DEVNAME, BURST, QUEUE): pulls Ethernet frames and sends them out
// of a Linux network interface through an AF_PACKET socket, in batches
// (sendmmsg). When the socket is full it stops pulling and waits until the
// socket can take more (back-pressure: upstream queues fill instead of
// frames vanishing). Frames the device refuses (larger than its MTU, ...)
// are dropped and counted.
// Keywords: DEVNAME (mandatory), BURST (frames per batch, default 32),
// QUEUE (accepted for compatibility; the device picks its transmit queue).
// Ports: 1 input, no outputs; pull.
// Handlers: count, drops, blocked (read), reset_counts (write).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>

#include <atomic>

#include "../lib/packetsocket.hh"

class ToDevice : public Element {
 public:
    ToDevice() : _task(this) {}
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

 private:
    bool flush();   // true when nothing is left pending
    std::string _devname;
    int _burst = 32;
    pktsock::PacketSocket _sock;
    Task _task;
    NotifierSignal _signal;
    std::vector<Packet*> _pending;
    size_t _pending_pos = 0;
    std::vector<const uint8_t*> _ptrs;
    std::vector<uint32_t> _lens;
    bool _waiting = false;
    std::atomic<uint64_t> _count{0}, _drops{0}, _blocked{0};
};
