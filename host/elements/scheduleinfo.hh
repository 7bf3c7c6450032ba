// ScheduleInfo(ELEMENT PARAM, ...): task tickets for other elements.  Each
// task of ELEMENT gets PARAM times the default tickets (1024; PARAM 2 runs
// the element's tasks twice as often as a default task on the same thread).
// ELEMENT may name a compound element: the PARAM then applies to every
// element inside it, multiplied with the PARAMs given to inner names.  Inside
// a compound element, ELEMENT is a name within that compound.  Configured
// before the other elements.
// Keywords: none; each argument is "ELEMENT PARAM" (PARAM a number, 0 to 32).
// Ports: none.
// Handlers: none (each task's own "tickets" handler reads and changes it).
#pragma once
#include <host/element.hh>

class ScheduleInfo : public Element {
 public:
    const char* class_name() const override { return "ScheduleInfo"; }
    int configure_phase() const override { return CONFIGURE_PHASE_INFO; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
};
