// WIPMirror: turns an IPv4 packet round, so that it goes back where it came
// from (reflection tests, loopback of a tunnel end).
//
//   WIPMirror([DST_ANNO bool])
//
// Swaps the IP source and destination addresses and, with DST_ANNO (default
// true), sets the destination address annotation to the new destination.
// Then, for TCP and UDP packets that are not later fragments, swaps the source
// and destination ports, and for TCP also the sequence and acknowledgement
// numbers. A tunnel packet (shim test of the global settings) is mirrored at
// its inner transport header: the protocol is the shim's, and the header
// follows the shim (and the 8-byte RSP header on stream packets).
// Checksums are not updated.
//
// Only what is present is swapped: the IP addresses need a 20-byte IP header,
// the ports 8 bytes of transport header, and TCP's sequence and
// acknowledgement numbers 12 bytes; a shorter packet keeps those fields as
// they are (and is counted in `short`). ICMP and other protocols have only
// their addresses swapped.
//
// Needs a WConf element. Ports 1/1, agnostic.
// Handlers (read): mirrored (packets whose addresses were swapped), short.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/wbase.hh"

class WIPMirror : public WBase {
  public:
    const char* class_name() const override { return "WIPMirror"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

  private:
    bool _dst_anno = true;
    std::atomic<uint64_t> _mirrored{0};
    std::atomic<uint64_t> _short{0};
};
