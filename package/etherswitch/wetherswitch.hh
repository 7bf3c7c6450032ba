// WEtherSwitch: a learning Ethernet switch whose first two ports never talk
// to each other directly (the appliance's two bridge legs).
//
//   sw :: WEtherSwitch(TIMEOUT 300);
//   FromDevice(lan) -> [0]sw[0] -> Queue -> ToDevice(lan);
//   FromDevice(wan) -> [1]sw[1] -> Queue -> ToDevice(wan);
//   FromDevice(mgmt) -> [2]sw[2] -> Queue -> ToDevice(mgmt);
//
// A frame from port 0 or 1 may leave by any port but 0 and 1; a frame from
// another port by any port but its own. Flooding visits outputs from the
// highest down; on a two-port switch a frame from port 0 or 1 has nowhere to
// go and is killed (counted in drops).
// Keyword TIMEOUT, ports and handlers (table, timeout, short_frames, drops):
// see etherswitch/learningswitch.hh.
#pragma once

#include "etherswitch/learningswitch.hh"

class WEtherSwitch : public LearningSwitch {
  public:
    const char* class_name() const override { return "WEtherSwitch"; }

  protected:
    std::vector<Word> initial_rules() const override;
    bool flood_descending() const override { return true; }
};
