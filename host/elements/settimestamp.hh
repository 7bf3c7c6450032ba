// SetTimestamp(TIMESTAMP): sets each packet's timestamp to the current wall
// clock, or to TIMESTAMP (seconds since the epoch) when given.
// Ports: 1 input, 1 output, agnostic.
#pragma once
#include <host/element.hh>
#include <host/timestamp.hh>

class SetTimestamp : public Element {
 public:
    const char* class_name() const override { return "SetTimestamp"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override {
        p->set_timestamp_anno(_fixed ? _ts : Timestamp::now());
        return p;
    }

 private:
    bool _fixed = false;
    Timestamp _ts;
};
