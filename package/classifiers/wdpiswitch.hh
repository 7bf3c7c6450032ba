// WDPISwitch: sends each packet to an output chosen by its detected
// protocol (the DPI_MASTER_PROTO and DPI_PROTO annotations that WDPI
// writes), optionally only for traffic to or from an address prefix.
//
//   WDPISwitch(PROT id PORT out [ADDR prefix], ...)
//
// Each argument is one pattern of keyword-value pairs (4 or 6 words):
//   PROT  protocol id 0-65535 to match (mandatory)
//   PORT  output for matching packets, 0 or more (mandatory)
//   ADDR  IPv4 prefix; the pattern then matches only packets whose source
//         or destination lies in it
// A packet goes to the output of the first pattern whose PROT equals either
// annotation (and whose ADDR, if any, matches). Packets that match no
// pattern, and packets that carry no detection (both annotations 0), go to
// the default output, highest PORT + 1. The element therefore has exactly
// highest PORT + 2 outputs, or one when there are no patterns.
//
//   dsw :: WDPISwitch(PROT 91 PORT 0, PROT 188 PORT 0, PROT 7 PORT 1 ADDR 10.0.0.0/8);
//   dsw[0] -> encrypted; dsw[1] -> local_web; dsw[2] -> the_rest;
//
// Ports "1/1-", push. Read handler: patterns (one line per pattern).
#pragma once

#include <host/element.hh>

#include <cstdint>
#include <vector>

class WDPISwitch : public Element {
  public:
    struct Pattern {
        uint16_t protocol = 0;
        uint32_t addr = 0, mask = 0;  // network order, addr masked; mask 0: any address
        int port = 0;
    };

    const char* class_name() const override { return "WDPISwitch"; }
    const char* port_count() const override { return "1/1-"; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    // Output of `p`; for tests.
    int choose(const Packet* p) const;

  private:
    std::vector<Pattern> _patterns;
    int _max_port = -1;
};
