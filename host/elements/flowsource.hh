// FlowSource: synthetic TCP or UDP traffic for benchmarks and tests. It
// pushes packets of FLOWS flows in turn, each a valid IPv4 packet (header
// and transport checksums correct; TCP segments carry the ACK flag and
// advancing sequence numbers), optionally inside an Ethernet header.
// Keywords: PROTO (tcp or udp, default udp), FLOWS (default 16), LENGTH
// (payload bytes per packet, default 64), SRC, DST (first addresses; flow i
// uses SRC + i, default 10.0.0.1 and 10.1.0.1), SPORT, DPORT (first ports,
// flow i uses SPORT + i; defaults 10000 and 80), PAYLOAD (file whose bytes
// fill the payloads, repeated as needed) or PATTERN (text to repeat),
// ETHER (bool, default true: add an Ethernet header), SRCETH, DSTETH,
// LIMIT (packets, -1 = no limit), BURST (packets per task run, default 32),
// STOP (bool: stop the router after LIMIT packets), ACTIVE (bool).
// Ports: no inputs, 1 output; push.
// Handlers: count (read), active (read/write), reset (write).
#pragma once
#include <host/element.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>
#include <host/task.hh>

#include <atomic>

class FlowSource : public Element {
 public:
    FlowSource() : _task(this) {}
    const char* class_name() const override { return "FlowSource"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    bool run_task(Task*) override;

 private:
    struct Flow {
        std::string tmpl;          // the whole packet, checksums to be filled
        uint32_t seq = 1;
    };
    WritablePacket* make(Flow& f);

    int _proto = 17;
    uint32_t _nflows = 16, _length = 64;
    IPAddress _src, _dst;
    uint16_t _sport = 10000, _dport = 80;
    std::string _payload;
    bool _ether = true;
    EtherAddress _srceth, _dsteth;
    int64_t _limit = -1;
    int _burst = 32;
    bool _stop = false;
    std::atomic<bool> _active{true};
    std::vector<Flow> _flows;
    uint32_t _next = 0;
    uint32_t _payload_sum = 0;   // partial checksum of the payload
    Task _task;
    std::atomic<uint64_t> _count{0};
};
