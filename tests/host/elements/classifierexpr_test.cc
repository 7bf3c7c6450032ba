// Classifier pattern language: matching, errors, fuzzing.
#include "classifierexpr.hh"

#include <gtest/gtest.h>

#include <random>

using namespace classifier;

namespace {

std::vector<uint8_t> arp_frame() {
    std::vector<uint8_t> f(42, 0);
    f[12] = 0x08;
    f[13] = 0x06;
    f[20] = 0x00;
    f[21] = 0x01;
    return f;
}

bool m(const std::string& pat, const std::vector<uint8_t>& p) {
    Pattern x;
    ParseError err;
    EXPECT_TRUE(parse_pattern(pat, x, &err)) << pat << ": " << err.message;
    return x.match(p.data(), p.size());
}

}  // namespace

TEST(ClassifierExpr, Matching) {
    auto f = arp_frame();
    EXPECT_TRUE(m("12/0806", f));
    EXPECT_FALSE(m("12/0800", f));
    EXPECT_TRUE(m("12/0806 20/0001", f));
    EXPECT_FALSE(m("12/0806 20/0002", f));
    EXPECT_TRUE(m("12/0800%f000", f));
    EXPECT_TRUE(m("12/08??", f));
    EXPECT_TRUE(m("!12/0800", f));
    EXPECT_FALSE(m("!12/0806", f));
    EXPECT_TRUE(m("-", f));
    EXPECT_TRUE(m("", f));
    EXPECT_TRUE(m("12/08 13/06", f));
    // Clauses past the end: positive fails, negated matches.
    EXPECT_FALSE(m("41/0000", f));
    EXPECT_TRUE(m("41/00", f));
    EXPECT_FALSE(m("100/00", f));
    EXPECT_TRUE(m("!100/00", f));
    std::vector<uint8_t> empty;
    EXPECT_FALSE(m("0/00", empty));
    EXPECT_TRUE(m("-", empty));
}

TEST(ClassifierExpr, Errors) {
    Pattern x;
    ParseError err;
    EXPECT_FALSE(parse_pattern("12/080", x, &err));
    EXPECT_EQ(err.pos, 3u);
    EXPECT_FALSE(parse_pattern("12/08g0", x, &err));
    EXPECT_EQ(err.pos, 5u);
    EXPECT_FALSE(parse_pattern("12 /0800", x, &err));
    EXPECT_EQ(err.pos, 2u);
    EXPECT_FALSE(parse_pattern("x/00", x, &err));
    EXPECT_EQ(err.pos, 0u);
    EXPECT_FALSE(parse_pattern("12/0800%ff", x, &err));
    EXPECT_EQ(err.pos, 8u);
    EXPECT_FALSE(parse_pattern("99999999999/00", x, &err));
    EXPECT_FALSE(parse_pattern("12/0800 -", x, &err));
    EXPECT_EQ(err.pos, 8u);
    EXPECT_FALSE(parse_pattern("12/", x, &err));
    EXPECT_EQ(describe_error(1, "12/080", ParseError{3, "value needs an even number of hex digits"}),
              "pattern 1 '12/080', position 4: value needs an even number of hex digits");
}

TEST(ClassifierExpr, Fuzz) {
    static const char alphabet[] = "0123456789abcdefABCDEF/%!?- x";
    std::mt19937 rng(777);
    int ok = 0;
    for (int iter = 0; iter < 30000; ++iter) {
        std::string s;
        int n = rng() % 24;
        for (int k = 0; k < n; ++k)
            s.push_back(rng() % 20 ? alphabet[rng() % (sizeof(alphabet) - 1)] : static_cast<char>(rng() % 256));
        Pattern x;
        ParseError err;
        if (!parse_pattern(s, x, &err)) {
            EXPECT_LE(err.pos, s.size());
            continue;
        }
        ++ok;
        std::vector<uint8_t> pkt(rng() % 80);
        for (auto& b : pkt) b = static_cast<uint8_t>(rng());
        x.match(pkt.data(), pkt.size());
    }
    EXPECT_GT(ok, 100);
}
