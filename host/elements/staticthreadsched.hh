// StaticThreadSched(ELEMENT THREAD, ...): places elements (their tasks,
// timers and selections) on router threads. Thread numbers beyond the
// running thread count wrap around. Configured before the other elements.
// Keywords: none; each argument is "ELEMENT THREAD" (THREAD 0 to 65536).
// Ports: none.
// Handlers: none.
#pragma once
#include <host/element.hh>

class StaticThreadSched : public Element {
 public:
    const char* class_name() const override { return "StaticThreadSched"; }
    int configure_phase() const override { return CONFIGURE_PHASE_FIRST; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
};
