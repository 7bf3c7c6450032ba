// Print([LABEL, MAXLENGTH, KEYWORDS]): writes one line per packet to standard
// error: "LABEL: [TIMESTAMP: ]LEN | BYTES", BYTES being the first MAXLENGTH
// bytes in hex (groups of four) or ASCII (unprintable bytes as '.').
// Keywords: LABEL (default none), MAXLENGTH or LENGTH (default 24; negative
// prints the whole packet), CONTENTS (HEX, ASCII or NONE; true means HEX,
// false NONE; default HEX), TIMESTAMP (boolean, default false), ACTIVE
// (boolean, default true).
// Ports: 1 input, 1 output, push or pull.
// Handlers: active (read/write).
#pragma once
#include <host/element.hh>

#include <string>

class Print : public Element {
 public:
    const char* class_name() const override { return "Print"; }
    const char* port_count() const override { return PORTS_1_1; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override;
    void add_handlers() override;

 private:
    std::string _label;
    int _maxlen = 24;
    std::string _contents = "HEX";
    bool _timestamp = false;
    bool _active = true;
};
