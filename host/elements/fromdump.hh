// FromDump(FILENAME, STOP, TIMING, ACTIVE, SAMPLE): reads packets from a
// pcap capture file (what tcpdump -w writes; Ethernet or raw IPv4 link
// types) and pushes them out. Each packet gets the record's timestamp and
// its MAC header (Ethernet files) or network header (raw IP files, and
// Ethernet frames carrying IPv4) marked.
// Keywords: FILENAME (mandatory; "-" reads standard input), STOP (bool,
// default false: stop the router at the end of the file), TIMING (bool,
// default false: release packets with the file's own spacing), ACTIVE
// (bool, default true), SAMPLE (probability 0-1 of keeping each packet,
// default 1), BURST (packets per task run, default 32).
// Ports: no inputs, 1 output; push.
// Handlers: count (read), active (read/write), filename, encap (read),
// sampling_prob (read).
#pragma once
#include <host/element.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

#include "../lib/pcapfile.hh"

class FromDump : public Element {
 public:
    FromDump() : _task(this), _timer(&_task) {}
    const char* class_name() const override { return "FromDump"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override { _reader.close(); }
    void add_handlers() override;
    bool run_task(Task*) override;

 private:
    Packet* make_packet(const uint8_t* data, uint32_t caplen, int64_t ts_ns);
    void finish();

    std::string _filename;
    bool _stop = false, _timing = false;
    std::atomic<bool> _active{true};
    double _sample = 1.0;
    uint32_t _sample_threshold = 0xFFFFFFFFu;
    int _burst = 32;
    pcapfile::Reader _reader;
    Task _task;
    Timer _timer;
    bool _done = false;
    pcapformat::ReplayPacer _pacer;
    // A record read but not yet due (TIMING).
    Packet* _held = nullptr;
    int64_t _held_ts = 0;
    std::atomic<uint64_t> _count{0};
};
