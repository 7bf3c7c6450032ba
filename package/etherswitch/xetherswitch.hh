// XEtherSwitch: a learning Ethernet switch with a port-forwarding rule per
// input: the set of outputs that frames arriving there may leave by.
//
//   sw :: XEtherSwitch(TIMEOUT 300);
//   FromDevice(a) -> [0]sw[0] -> Queue -> ToDevice(a);    // and so on for
//   FromDevice(b) -> [1]sw[1] -> Queue -> ToDevice(b);    // every port
//
// At start every rule allows every output but its own input. Flooding
// visits the allowed outputs from port 0 up; a frame whose rule allows no
// output, or not the output its destination was learned on, is killed
// (counted in drops).
//
// Keyword TIMEOUT (a parse failure also reports "bad timeout"), ports and
// the handlers table, timeout, short_frames and drops: see
// etherswitch/learningswitch.hh. Rule handlers:
//   remove_port_forwarding (write) "SOURCE in OUTPORT out [OUTPORT out]...
//        [, SOURCE ...]": removes the listed outputs from the rule of each
//        listed input. All or nothing: any error (an unknown word, a port
//        that does not exist, a clause without OUTPORT) answers "invalid
//        port forwarding" and changes no rule.
//   reset_port_forwarding (write) every rule back to all outputs but its own
//        input.
//   port_forwarding (read) one line per input: "in -> out out ...", or
//        "in -> none".
#pragma once

#include <mutex>

#include "etherswitch/learningswitch.hh"

class XEtherSwitch : public LearningSwitch {
  public:
    const char* class_name() const override { return "XEtherSwitch"; }
    void add_handlers() override;

    // The remove_port_forwarding edit; false (rules unchanged) on any error.
    bool remove_port_forwarding(const std::string& text);
    void reset_port_forwarding();
    std::string port_forwarding();

  protected:
    std::vector<Word> initial_rules() const override { return default_rules(); }
    bool flood_descending() const override { return false; }
    const char* timeout_error() const override { return "bad timeout"; }

  private:
    std::mutex _edit;  // one rule edit at a time: copy, change, replace
};
