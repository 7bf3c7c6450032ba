// Crash: fault injection. With ENABLE true it stops the process at once, with
// SIGABRT (a core dump where the system keeps them), when the first packet
// reaches it; tests use it to check that an appliance and its peer recover
// from a dead data plane.
//
//   Crash(ENABLE true)     stops the process at its first packet
//   Crash(ENABLE false)    passes packets on unchanged
//
// ENABLE is mandatory, so that an element left in a production configuration
// by mistake cannot stop an appliance: a configuration that names Crash
// without saying ENABLE fails to load. Before stopping it writes
// "Crash NAME: stopping the process" to standard error.
//
// Ports 1/1, agnostic. Handlers (read): enabled.
#pragma once

#include <host/element.hh>

class Crash : public Element {
  public:
    const char* class_name() const override { return "Crash"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

  private:
    bool _enabled = false;
};
