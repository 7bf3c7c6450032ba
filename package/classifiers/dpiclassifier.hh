// DPIClassifier: sorts packets onto its outputs by an ordered list of rules,
// one rule per argument and one output per rule; the first matching rule
// wins.
//
//   DPIClassifier(RULE, RULE, ...)
//
// A rule is "-" (catch-all: takes what no other rule matched; only as the
// last rule) or, in blank-separated words (keywords are case-sensitive):
//
//   src PREFIX and dst PREFIX and [src|dst] [tcp|udp|icmp]... [LIST]
//
// PREFIX is an address with a prefix length or mask (0.0.0.0/0 for any).
// "src"/"dst" after the head make a port list look at the source or the
// destination port only (default: either). The rule must name tcp, udp or
// icmp, or end in a dpi or dscp list. LIST is one of:
//
//   dpi ID or ID ...      detected protocol ids (numbers, as WDPI writes
//                         them); matches when the application or the
//                         master protocol annotation is one of them
//   dscp N or N ...       DSCP values 0-63 of the IP TOS byte
//   port [OP] PORT or|and [OP] PORT ...
//                         ports (numbers or service names) with an optional
//                         operator ">", "<", ">=", "<="; entries joined by
//                         "or" (any entry holds) or by "and" (every entry
//                         holds for the same port), not both
//
// For example:
//   DPIClassifier(src 0.0.0.0/0 and dst 0.0.0.0/0 and dpi 91 or 188,
//                 src 10.0.0.0/8 and dst 0.0.0.0/0 and dst tcp port 80 or 443,
//                 src 0.0.0.0/0 and dst 0.0.0.0/0 and udp port >= 1024 and <= 2047,
//                 src 0.0.0.0/0 and dst 0.0.0.0/0 and dscp 46,
//                 -)
//
// Port rules see only packets whose TCP or UDP header is there (first
// fragments, header complete). Packets that match nothing go to the
// catch-all's output, or are dropped (counted) when there is none.
//
// Ports "1/1-", push; as many outputs as rules. Every rule is logged (info)
// after configuration as "NAME Pattern: [i] TEXT".
// Read handlers: rules (one line per rule, its text form), dropped.
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class DPIClassifier : public Element {
  public:
    struct PortPattern {
        enum Op : uint8_t { EQ = 0, GT = 1, LT = 2 };
        uint16_t port = 0;
        uint8_t op = EQ;
        int left = -1, right = -1;
    };
    struct DPIProtocolPattern {
        uint16_t protocol = 0;
        int left = -1, right = -1;
    };
    struct Pattern {
        enum Side : uint8_t { EITHER = 0, SRC = 1, DST = 2 };
        enum Conj : uint8_t { OR = 0, AND = 1 };
        uint32_t src_addr = 0, src_mask = 0, dst_addr = 0, dst_mask = 0;  // network order
        uint8_t ip_p = 0;
        uint8_t port_side = EITHER;
        uint8_t conj = OR;
        std::vector<PortPattern> ports;
        int port_root = -1;
        std::vector<DPIProtocolPattern> dpi_list;
        int dpi_root = -1;
        std::vector<uint8_t> dscp_list;  // DSCP << 2

        std::string unparse() const;
    };

    const char* class_name() const override { return "DPIClassifier"; }
    const char* port_count() const override { return "1/1-"; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    // Output of `p` (-1: dropped); for tests and the benchmark.
    int classify(const Packet* p) const;

    // Parses one rule; false with a message on errh. `name` prefixes messages.
    static bool parse_rule(const std::string& rule, const std::string& name, Pattern* out, ErrorHandler* errh);
    // Normalises an OR port list (see the .cc).
    static void normalize_ports(std::vector<PortPattern>& ports);

    const std::vector<Pattern>& patterns() const { return _patterns; }

  private:
    // Per rule, what most packets are rejected on, packed together.
    struct Screen {
        uint32_t src_addr, src_mask, dst_addr, dst_mask;  // network order
        uint32_t ip_p, ip_p_mask;                          // mask 0: any protocol
        bool plain;                                        // no list: the screen decides
    };

    std::vector<Pattern> _patterns;
    std::vector<Screen> _screens;  // same order
    int _catch_all = -1;
    std::atomic<uint64_t> _dropped{0};
};
