#include <gtest/gtest.h>

#include <host/confparse.hh>

#include <random>

using V = std::vector<std::string>;

TEST(Confparse, ArgvecSplitting) {
    EXPECT_EQ(cp_argvec(""), V{});
    EXPECT_EQ(cp_argvec("  // only a comment\n "), V{});
    EXPECT_EQ(cp_argvec("a, b ,c"), (V{"a", "b", "c"}));
    EXPECT_EQ(cp_argvec("LIMIT 5, DATA \"x, y\", 'p,q'"), (V{"LIMIT 5", "DATA \"x, y\"", "'p,q'"}));
    EXPECT_EQ(cp_argvec("f(a, b), [1, 2], {c, d}, e"), (V{"f(a, b)", "[1, 2]", "{c, d}", "e"}));
    EXPECT_EQ(cp_argvec("a /* x, y */, b // c, d\n, e"), (V{"a", "b", "e"}));
    EXPECT_EQ(cp_argvec("a,"), V{"a"});
    EXPECT_EQ(cp_argvec(", a"), (V{"", "a"}));
    EXPECT_EQ(cp_argvec("a,,b"), (V{"a", "", "b"}));
    EXPECT_EQ(cp_argvec("\"unterminated, still one"), V{"\"unterminated, still one"});
    EXPECT_EQ(cp_argvec("\"esc \\\" , quote\", b"), (V{"\"esc \\\" , quote\"", "b"}));
    EXPECT_EQ(cp_argvec("a) , b"), (V{"a)", "b"}));
}

TEST(Confparse, UncommentAndSpacevec) {
    EXPECT_EQ(cp_uncomment("  a /* c */ b // d\n e  "), "a   b  \n e");
    EXPECT_EQ(cp_uncomment("\"// not a comment\""), "\"// not a comment\"");
    EXPECT_EQ(cp_spacevec(" a  \"b c\"  d'e f' "), (V{"a", "\"b c\"", "d'e f'"}));
    std::string s = "first second third";
    EXPECT_EQ(cp_shift_spacevec(s), "first");
    EXPECT_EQ(s, "second third");
}

TEST(Confparse, Unquote) {
    EXPECT_EQ(cp_unquote("plain"), "plain");
    EXPECT_EQ(cp_unquote("\"a\\nb\\t\\\\\\\"\""), "a\nb\t\\\"");
    EXPECT_EQ(cp_unquote("'single \\n kept'"), "single \\n kept");
    EXPECT_EQ(cp_unquote("\"x\"y'z'"), "xyz");
    EXPECT_EQ(cp_unquote("\"\\x41\\101\\<42 43>\\$\""), std::string("AABC$"));
    EXPECT_EQ(cp_unquote("\"\\0\""), std::string(1, '\0'));
    EXPECT_EQ(cp_unquote("\"\\q\""), "\\q");
    EXPECT_EQ(cp_unquote("\"open"), "open");
    EXPECT_EQ(cp_unquote("\"trailing\\"), "trailing\\");
}

TEST(Confparse, QuoteRoundTrips) {
    V samples = {"", "word", "with space", "a,b", "\"q\"", "'", "line1\nline2", "back\\slash", "$VAR",
                 "// not comment", "/* x */", "tab\there", std::string("nul\0byte", 8), "\xff\x80", "(paren", "KEY value",
                 " lead", "trail ", "[x"};
    for (const auto& s : samples) {
        std::string q = cp_quote(s);
        EXPECT_EQ(cp_unquote(q), s) << q;
        EXPECT_EQ(cp_argvec(q).size(), 1u) << q;
        EXPECT_FALSE(cp_keyword(q, nullptr, nullptr)) << q;
    }
    EXPECT_EQ(cp_quote("word"), "word");
    EXPECT_EQ(cp_quote(""), "\"\"");
    EXPECT_EQ(cp_quote("a b"), "\"a b\"");
    EXPECT_EQ(cp_split_line(cp_join_line(samples)), samples);
    EXPECT_EQ(cp_split_line(""), V{});
    EXPECT_EQ(cp_split_line("10.0.0.1, \"host name\", 5"), (V{"10.0.0.1", "host name", "5"}));
}

TEST(Confparse, Keyword) {
    std::string kw, rest;
    EXPECT_TRUE(cp_keyword("LIMIT 5", &kw, &rest));
    EXPECT_EQ(kw, "LIMIT");
    EXPECT_EQ(rest, "5");
    EXPECT_TRUE(cp_keyword("MAX_PEERS_2\t  x y ", &kw, &rest));
    EXPECT_EQ(kw, "MAX_PEERS_2");
    EXPECT_EQ(rest, "x y");
    EXPECT_FALSE(cp_keyword("LIMIT", &kw, &rest));
    EXPECT_FALSE(cp_keyword("Limit 5", &kw, &rest));
    EXPECT_FALSE(cp_keyword("5LIMIT 5", &kw, &rest));
    EXPECT_FALSE(cp_keyword("", &kw, &rest));
    EXPECT_FALSE(cp_keyword("\"LIMIT 5\"", &kw, &rest));
}

TEST(Confparse, FuzzSplittersNeverCrash) {
    std::mt19937 rng(12345);
    const std::string alphabet = "aZ09 ,()[]{}\"'\\/*\n\t$<>x-";
    for (int iter = 0; iter < 3000; ++iter) {
        std::string s;
        int len = rng() % 40;
        for (int i = 0; i < len; ++i)
            s += (rng() % 8 == 0) ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
        for (size_t cut = 0; cut <= s.size(); cut += 1 + s.size() / 4) {
            std::string t = s.substr(0, cut);
            auto v = cp_argvec(t);
            for (auto& a : v) {
                (void) cp_unquote(a);
                (void) cp_keyword(a, nullptr, nullptr);
            }
            (void) cp_spacevec(t);
            (void) cp_uncomment(t);
            std::string q = cp_quote(t);
            ASSERT_EQ(cp_unquote(q), t);
            ASSERT_EQ(cp_argvec(q).size(), 1u);
        }
    }
}
