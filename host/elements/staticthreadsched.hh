// StaticThreadSched(ELEMENT THREAD, ...): places the named elements (their
// tasks, timers and file descriptors) on the given router threads. Thread
// numbers beyond the router's threads wrap around, with a warning.
// Ports: none.
#pragma once
#include <host/element.hh>

class StaticThreadSched : public Element {
 public:
    const char* class_name() const override { return "StaticThreadSched"; }
    const char* port_count() const override { return PORTS_0_0; }
    int configure_phase() const override { return CONFIGURE_PHASE_INFO; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
};
