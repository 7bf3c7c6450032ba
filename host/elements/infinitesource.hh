// InfiniteSource([DATA, LIMIT, BURST, ACTIVE, KEYWORDS]): generates copies of
// one packet holding DATA. With a push output a task pushes BURST packets per
// run; with a pull output every pull makes a packet. After LIMIT packets it
// stops, and with STOP it also stops the driver. A hot-swapped source keeps
// its count.
// Keywords: DATA (default a 69-byte text), LIMIT (default -1, no limit),
// BURST (1 to 1048576, default 1), ACTIVE (boolean, default true), LENGTH
// (0 to 65536; DATA repeated or cut to this length, zeros if DATA is empty),
// STOP (boolean, default false), TIMESTAMP (boolean, default false; sets the
// timestamp annotation).
// Ports: no inputs, 1 output, push or pull.
// Handlers: count (read), reset (write; zeroes count and restarts), data,
// limit, burst, active, length, stop (read/write; writing reconfigures); with
// a push output also scheduled, home_thread (read).
#pragma once
#include <host/element.hh>
#include <host/task.hh>

#include <atomic>
#include <string>

class InfiniteSource : public Element {
 public:
    InfiniteSource();
    const char* class_name() const override { return "InfiniteSource"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return AGNOSTIC; }
    const char* flags() const override { return "S1"; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler*) override;
    void take_state(Element* old, ErrorHandler*) override;
    bool run_task(Task*) override;
    Packet* pull(int) override;
    void add_handlers() override;

    Packet* make_packet() {
        WritablePacket* p = Packet::make(Packet::default_headroom, _data.data(), uint32_t(_data.size()), 0);
        if (p && _timestamp)
            p->set_timestamp_anno(Timestamp::now());
        return p;
    }

 private:
    Task _task;
    std::string _data;
    int64_t _limit = -1;
    int _burst = 1;
    bool _active = true;
    bool _stop = false;
    bool _timestamp = false;
    std::atomic<uint64_t> _count{0};
};
