// ToDump(FILENAME, SNAPLEN, ENCAP): writes packets to a pcap capture file
// that tcpdump and Wireshark read. Each record carries the packet's
// timestamp (the current time when it has none).
// Keywords: FILENAME (mandatory), SNAPLEN (bytes kept per packet, default
// 65535), ENCAP (ETHER, the default, or IP for packets that start with the
// IP header), BURST (packets per task run when the
// input is pull, default 32).
// Ports: 1 input (push or pull), optional 1 output (packets pass on).
// Handlers: count, filename (read), flush (write).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>

#include "../lib/pcapfile.hh"

class ToDump : public Element {
 public:
    ToDump() : _task(this), _flush_timer(this) {}
    const char* class_name() const override { return "ToDump"; }
    const char* port_count() const override { return "1/0-1"; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override { _writer.close(); }
    void add_handlers() override;
    void push(int, Packet* p) override;
    Packet* pull(int) override;
    bool run_task(Task*) override;
    void run_timer(Timer*) override;

 private:
    void write(Packet* p);
    std::string _filename;
    uint32_t _snaplen = 65535;
    int _linktype = pcapfile::kLinkEthernet;
    int _burst = 32;
    pcapfile::Writer _writer;
    Task _task;
    Timer _flush_timer;
    NotifierSignal _signal;
    std::atomic<uint64_t> _count{0};
};
