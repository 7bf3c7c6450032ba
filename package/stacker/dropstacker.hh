// DropStacker: keeps stacker packets (shim protocol 204) off a path where
// they must not go, for instance into RSP's input, which would carry them as
// stream data.
//
//   DropStacker
//
// No keywords beyond the global settings (WConf). Ports 1/1-2, push:
// stacker packets leave on output 1 when it is connected and are dropped
// otherwise; every other packet leaves on output 0. Read handler: dropped
// (stacker packets taken off the path).
#pragma once

#include <atomic>
#include <cstdint>

#include "common/shim.hh"
#include "common/wbase.hh"

class DropStacker : public WBase {
  public:
    const char* class_name() const override { return "DropStacker"; }
    const char* port_count() const override { return "1/1-2"; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    ShimConfig _shim;
    std::atomic<uint64_t> _dropped{0};
};
