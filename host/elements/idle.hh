// Idle: never produces packets and discards whatever is pushed to it. Its
// pull outputs answer null, and its empty notifier tells downstream pull
// tasks to sleep.
// Keywords: none.
// Ports: any number of inputs and outputs, push or pull.
// Handlers: none.
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>

class Idle : public Element {
 public:
    Idle();
    const char* class_name() const override { return "Idle"; }
    const char* port_count() const override { return "-/-"; }
    const char* processing() const override { return AGNOSTIC; }
    const char* flow_code() const override { return "x/y"; }
    void* cast(const char* name) override;
    void push(int, Packet* p) override;
    Packet* pull(int) override;

 private:
    Notifier _note;
};
