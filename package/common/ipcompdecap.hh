// IPCompDecap: strips the tunnel framing from shim packets: the UDP header
// (with the UDP shim), the 4-byte shim, and on stream packets the RSP header;
// the IP protocol is restored from the shim and the IP total length and
// header checksum are set. Other packets pass unchanged. A stream packet
// whose RSP header does not fit the packet is dropped and counted.
// Reads the tunnel settings of WConf. Ports 1/1, agnostic. Handler: drops.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"

class IPCompDecap : public WBase {
  public:
    const char* class_name() const override { return "IPCompDecap"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

    Packet* simple_action(Packet* p) override;

  private:
    std::atomic<uint32_t> _drops{0};
};
