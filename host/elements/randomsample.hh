// RandomSample(P, SAMPLE, DROP): passes each packet with probability P
// (SAMPLE is the same keyword; DROP p means P = 1 - p). Packets not passed
// go to output 1 if it exists, else they are dropped; either way they are
// counted. It is the loss element of link emulation.
// Keywords: P / SAMPLE (0-1), DROP (0-1), ACTIVE (bool, default true; when
// false every packet passes).
// Ports: 1 input, 1 or 2 outputs, agnostic.
// Handlers: sampling_prob, drop_prob, active (read/write), drops, count
// (read), reset (write).
#pragma once
#include <host/element.hh>

#include <atomic>

class RandomSample : public Element {
 public:
    const char* class_name() const override { return "RandomSample"; }
    const char* port_count() const override { return PORTS_1_1X2; }
    const char* processing() const override { return PROCESSING_A_AH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    bool can_live_reconfigure() const override { return true; }
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

 private:
    void set_prob(double pass);
    std::atomic<uint32_t> _threshold{0xFFFFFFFFu};   // pass when random < threshold (0xFFFFFFFF: always)
    double _pass = 1.0;
    std::atomic<bool> _active{true};
    std::atomic<uint64_t> _drops{0}, _count{0};
};
