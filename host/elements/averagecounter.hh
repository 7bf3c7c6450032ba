// AverageCounter(IGNORE): counts packets and bytes and reports the average
// rates since the first packet (the first IGNORE seconds after that are not
// counted, default 0).
// Ports: 1 input, 1 output, agnostic.
// Handlers: count, byte_count, rate (packets/s), byte_rate (bytes/s),
// bit_rate (bits/s), time (seconds measured) (read); reset (write).
#pragma once
#include <host/element.hh>
#include <host/timestamp.hh>

#include <atomic>

class AverageCounter : public Element {
 public:
    const char* class_name() const override { return "AverageCounter"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;
    void reset();

 private:
    double seconds() const;
    Timestamp _ignore;
    std::atomic<int64_t> _first{0};   // steady ns of the first counted packet, 0 = none yet
    std::atomic<int64_t> _last{0};
    std::atomic<int64_t> _start_counting{0};
    std::atomic<uint64_t> _count{0}, _bytes{0};
};
