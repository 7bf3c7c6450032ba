// The IPClassifier / IPFilter expression language.
//
// A tcpdump-like language over IPv4 headers: "ip proto P", "tcp", "udp",
// "icmp", "[src|dst|src or dst|src and dst] host A", "... net A/L" (or
// "net A mask M"), "[tcp|udp] [src|dst] port P" (numbers, ranges "P1-P2",
// relations "< > <= >= != =", service names), "tcp opt syn|ack|fin|rst|psh|urg",
// "icmp type T", "ip vers|hl|tos|dscp|ttl|id|len N", "ip frag", "ip unfrag",
// "true", "false", "-", combined with "and"/"&&", "or"/"||", "not"/"!" and
// parentheses; adjacent primitives are joined with "and", and a bare value
// after an operator reuses the previous primitive's qualifiers
// ("src host 10.0.0.1 or 10.0.0.2").
//
// A parsed expression compiles to a small tree of field tests that runs over
// a byte buffer starting at the IP header. Every field read is bounds-checked:
// a test whose bytes lie outside the buffer is false. Transport-header tests
// (ports, TCP flags, ICMP type) are false on non-first fragments and on
// headers with an invalid IHL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ipfilter {

struct ParseError {
    size_t pos = 0;          // byte position in the expression text
    std::string message;
};

struct FieldTest {
    enum Base : uint8_t { Ip, Transport };
    enum Op : uint8_t { Eq, Ne, Lt, Gt, Le, Ge, Range };
    Base base = Ip;
    uint8_t width = 1;       // 1, 2 or 4 bytes, big-endian
    uint8_t shift = 0;       // applied after the mask
    Op op = Eq;
    uint16_t offset = 0;
    uint32_t mask = 0xFFFFFFFFu;
    uint32_t value = 0, value2 = 0;   // value2: upper bound for Range
};

struct Node {
    enum Kind : uint8_t { True, False, Test, And, Or, Not };
    Kind kind = True;
    uint32_t first = 0;      // Test: index into tests; And/Or/Not: index into children
    uint32_t count = 0;      // number of children
};

class Expr {
  public:
    // True if the packet whose IP header starts at `ip` (with `len` bytes
    // available) satisfies the expression.
    bool match(const uint8_t* ip, size_t len) const {
        return nodes_.empty() ? false : eval(root_, ip, len);
    }
    bool always_true() const { return !nodes_.empty() && nodes_[root_].kind == Node::True; }

    // Internal representation, filled by the parser.
    std::vector<Node> nodes_;
    std::vector<uint32_t> children_;
    std::vector<FieldTest> tests_;
    uint32_t root_ = 0;

  private:
    bool eval(uint32_t n, const uint8_t* ip, size_t len) const;
};

bool test_field(const FieldTest& t, const uint8_t* ip, size_t len);

// Parses one expression. Returns false and fills *err on a syntax error.
bool parse_expr(const std::string& text, Expr& out, ParseError* err);

// Parses one IPFilter rule "ACTION EXPR": ACTION is "allow" (output 0),
// "deny" or "drop" (output -1: the packet is dropped) or an output number.
bool parse_filter_rule(const std::string& text, int& output, Expr& out, ParseError* err);

// "pattern N 'TEXT', position P: MESSAGE" (N counted from 1).
std::string describe_error(int pattern_index, const std::string& text, const ParseError& e);

}  // namespace ipfilter
