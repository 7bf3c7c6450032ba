// Parser of the Classifier pattern language.
#include "classifierexpr.hh"

#include <cctype>

namespace classifier {

namespace {

constexpr uint32_t kMaxOffset = 65535;
constexpr size_t kMaxValueBytes = 256;

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool fail(ParseError* err, size_t pos, std::string msg) {
    err->pos = pos;
    err->message = std::move(msg);
    return false;
}

// Parses one clause text [start, end) of `s`.
bool parse_clause(const std::string& s, size_t start, size_t end, Clause& c, ParseError* err) {
    size_t i = start;
    if (s[i] == '!') {
        c.negate = true;
        ++i;
    }
    size_t ostart = i;
    uint64_t off = 0;
    while (i < end && std::isdigit(static_cast<unsigned char>(s[i]))) {
        off = off * 10 + (s[i] - '0');
        if (off > kMaxOffset) return fail(err, ostart, "offset too large (at most 65535)");
        ++i;
    }
    if (i == ostart) return fail(err, ostart, "expected decimal offset");
    if (i >= end || s[i] != '/') return fail(err, i, "expected '/' after offset");
    ++i;
    c.offset = static_cast<uint32_t>(off);
    size_t vstart = i;
    std::string vnib, mnib;   // nibble strings
    while (i < end && s[i] != '%') {
        if (hexval(s[i]) < 0 && s[i] != '?') return fail(err, i, std::string("bad hex digit '") + s[i] + "' in value");
        vnib.push_back(s[i]);
        ++i;
    }
    if (vnib.empty()) return fail(err, vstart, "expected hex value after '/'");
    if (vnib.size() % 2) return fail(err, vstart, "value needs an even number of hex digits");
    if (vnib.size() / 2 > kMaxValueBytes) return fail(err, vstart, "value too long");
    bool have_mask = i < end && s[i] == '%';
    if (have_mask) {
        ++i;
        size_t mstart = i;
        while (i < end) {
            if (hexval(s[i]) < 0) return fail(err, i, std::string("bad hex digit '") + s[i] + "' in mask");
            mnib.push_back(s[i]);
            ++i;
        }
        if (mnib.size() != vnib.size()) return fail(err, mstart, "mask and value differ in length");
    }
    size_t n = vnib.size() / 2;
    c.value.assign(n, 0);
    c.mask.assign(n, 0);
    for (size_t k = 0; k < vnib.size(); ++k) {
        int shift = (k % 2) ? 0 : 4;
        int v = vnib[k] == '?' ? 0 : hexval(vnib[k]);
        int m = vnib[k] == '?' ? 0 : (have_mask ? hexval(mnib[k]) : 0xF);
        c.value[k / 2] |= static_cast<uint8_t>((v & m) << shift);
        c.mask[k / 2] |= static_cast<uint8_t>(m << shift);
    }
    return true;
}

}  // namespace

bool parse_pattern(const std::string& text, Pattern& out, ParseError* err) {
    ParseError local;
    if (!err) err = &local;
    out = Pattern();
    size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) { ++i; continue; }
        size_t j = i;
        while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
        if (j - i == 1 && text[i] == '-') {
            if (any || text.find_first_not_of(" \t\r\n", j) != std::string::npos)
                return fail(err, i, "'-' must stand alone");
            return true;
        }
        Clause c;
        if (!parse_clause(text, i, j, c, err)) {
            out = Pattern();
            return false;
        }
        out.clauses_.push_back(std::move(c));
        any = true;
        i = j;
    }
    return true;
}

std::string describe_error(int pattern_index, const std::string& text, const ParseError& e) {
    return "pattern " + std::to_string(pattern_index) + " '" + text + "', position " + std::to_string(e.pos + 1) +
           ": " + e.message;
}

}  // namespace classifier
