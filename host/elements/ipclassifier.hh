// IPClassifier(PATTERN, ...): sends each IP packet to the output of the
// first expression it matches; packets that match none are dropped and
// counted. Expressions use a tcpdump-like language: "ip proto P", "tcp",
// "udp", "icmp", "[src|dst] host A", "[src|dst] net A/L", "[tcp|udp]
// [src|dst] port P", "tcp opt syn|ack|fin|rst|psh|urg", "icmp type T",
// "ip ttl|tos|dscp|id|len|vers|hl N", "ip frag", "ip unfrag", "and",
// "or", "not", parentheses, "-" (every packet). The IP header is the
// packet's network header when marked, else the start of the data.
// Ports: 1 input, as many outputs as patterns; push.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

#include "../lib/ipfilterexpr.hh"

class IPClassifier : public Element {
 public:
    const char* class_name() const override { return "IPClassifier"; }
    const char* port_count() const override { return "1/-"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override;

    // The IP header of p and the bytes available from it.
    static const unsigned char* ip_view(const Packet* p, uint32_t& len) {
        if (p->has_network_header()) {
            int off = p->network_header_offset();
            if (off >= 0 && uint32_t(off) <= p->length()) {
                len = p->length() - uint32_t(off);
                return p->network_header();
            }
            len = 0;
            return p->data();
        }
        len = p->length();
        return p->data();
    }

 protected:
    std::vector<ipfilter::Expr> _exprs;
    std::vector<int> _outputs;   // per expression; -1 drops
    std::atomic<uint64_t> _drops{0};
};

// IPFilter(ACTION EXPR, ...): ACTION is "allow" (output 0), "deny" or
// "drop" (the packet is dropped), or an output number; the first rule whose
// expression matches decides; packets matching no rule are dropped.
// Ports: 1 input, 1 or more outputs; push.
// Handlers: drops (read).
class IPFilter : public IPClassifier {
 public:
    const char* class_name() const override { return "IPFilter"; }
    const char* port_count() const override { return "1/1-"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
};
