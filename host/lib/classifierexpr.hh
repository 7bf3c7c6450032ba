// The Classifier pattern language: byte comparisons at fixed offsets.
//
// A pattern is a space-separated list of clauses "OFFSET/VALUE" or
// "OFFSET/VALUE%MASK"; OFFSET is a decimal byte offset from the start of the
// packet data, VALUE and MASK are hex strings of the same length ("?" in
// VALUE is a wildcard nibble). A leading "!" negates a clause. A pattern
// matches when all its clauses match; "-" (or an empty pattern) matches every
// packet. Clauses that reach past the end of the packet do not match (so a
// negated one does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace classifier {

struct ParseError {
    size_t pos = 0;
    std::string message;
};

struct Clause {
    uint32_t offset = 0;
    bool negate = false;
    std::vector<uint8_t> value;   // already masked
    std::vector<uint8_t> mask;
};

class Pattern {
  public:
    bool match(const uint8_t* data, size_t len) const {
        for (const Clause& c : clauses_)
            if (clause_match(c, data, len) == c.negate) return false;
        return true;
    }
    bool always_true() const { return clauses_.empty(); }

    std::vector<Clause> clauses_;

  private:
    static bool clause_match(const Clause& c, const uint8_t* data, size_t len) {
        size_t n = c.value.size();
        if (c.offset > len || n > len - c.offset) return false;
        const uint8_t* p = data + c.offset;
        for (size_t i = 0; i < n; ++i)
            if ((p[i] & c.mask[i]) != c.value[i]) return false;
        return true;
    }
};

bool parse_pattern(const std::string& text, Pattern& out, ParseError* err);

// "pattern N 'TEXT', position P: MESSAGE" (N and P counted from 1).
std::string describe_error(int pattern_index, const std::string& text, const ParseError& e);

}  // namespace classifier
