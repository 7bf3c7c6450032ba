#include <gtest/gtest.h>

#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <random>
#include <set>

namespace {

bool is_class(const std::string& s) {
    static const std::set<std::string> classes = {"Idle", "Discard", "Counter", "Queue", "Tee", "InfiniteSource",
                                                  "Unqueue", "Print", "Null", "Paint"};
    return classes.count(s) > 0;
}

struct Parsed {
    RouterConfig conf;
    int r;
    std::string errors;
};

Parsed parse(const std::string& text, std::map<std::string, std::string> defines = {}) {
    Parsed p;
    StringErrorHandler errh;
    p.r = parse_router_config(text, "test.click", defines, is_class, p.conf, &errh);
    p.errors = errh.text();
    return p;
}

std::string conn(const Parsed& p, size_t i) {
    const auto& c = p.conf.connections.at(i);
    return p.conf.elements[c.from].name + "[" + std::to_string(c.from_port) + "]->[" + std::to_string(c.to_port) +
           "]" + p.conf.elements[c.to].name;
}

}  // namespace

TEST(Parser, DeclarationsChainsAndPorts) {
    Parsed p = parse(
        "// a comment\n"
        "src :: InfiniteSource(LIMIT 10, DATA \"a)b, c\");  /* block\n comment */\n"
        "c1, c2 :: Counter\n"
        "src -> c1 -> t :: Tee(2)\n"
        "t [1] -> [0] c2 -> Discard;\n"
        "t[0]\n"
        "  -> Queue(5) -> Unqueue -> Discard\n");
    ASSERT_EQ(p.r, 0) << p.errors;
    EXPECT_EQ(p.errors, "");
    ASSERT_EQ(p.conf.elements.size(), 8u);
    EXPECT_EQ(p.conf.elements[0].name, "src");
    EXPECT_EQ(p.conf.elements[0].class_name, "InfiniteSource");
    EXPECT_EQ(p.conf.elements[0].config, "LIMIT 10, DATA \"a)b, c\"");
    EXPECT_EQ(p.conf.elements[0].landmark, "test.click:2");
    EXPECT_EQ(p.conf.elements[1].name, "c1");
    EXPECT_EQ(p.conf.elements[2].name, "c2");
    EXPECT_EQ(p.conf.elements[2].landmark, "test.click:4");
    EXPECT_EQ(p.conf.elements[3].name, "t");
    EXPECT_EQ(p.conf.elements[4].name, "Discard@5");
    EXPECT_EQ(p.conf.elements[5].name, "Queue@6");
    EXPECT_EQ(p.conf.elements[5].config, "5");
    EXPECT_EQ(p.conf.elements[6].name, "Unqueue@7");
    ASSERT_EQ(p.conf.connections.size(), 7u);
    EXPECT_EQ(conn(p, 0), "src[0]->[0]c1");
    EXPECT_EQ(conn(p, 1), "c1[0]->[0]t");
    EXPECT_EQ(conn(p, 2), "t[1]->[0]c2");
    EXPECT_EQ(conn(p, 3), "c2[0]->[0]Discard@5");
    EXPECT_EQ(conn(p, 4), "t[0]->[0]Queue@6");
    EXPECT_EQ(p.conf.connections[4].landmark, "test.click:8");
    EXPECT_EQ(p.conf.find("t"), 3);
    EXPECT_EQ(p.conf.find("nope"), -1);

    // The flat form parses back to the same graph.
    Parsed again = parse(unparse_router_config(p.conf));
    ASSERT_EQ(again.r, 0) << again.errors;
    EXPECT_EQ(again.conf.elements.size(), p.conf.elements.size());
    ASSERT_EQ(again.conf.connections.size(), p.conf.connections.size());
    for (size_t i = 0; i < p.conf.connections.size(); ++i)
        EXPECT_EQ(conn(again, i), conn(p, i));
}

TEST(Parser, ByteOrderMarkAndCRLF) {
    Parsed p = parse("\xEF\xBB\xBF" "c :: Counter;\r\nIdle -> c\r\n  -> Discard\r\n");
    ASSERT_EQ(p.r, 0) << p.errors;
    EXPECT_EQ(p.conf.elements.size(), 3u);
    EXPECT_EQ(p.conf.connections.size(), 2u);
    EXPECT_EQ(p.conf.connections[1].landmark, "test.click:3");
}

TEST(Parser, RequireAndDefine) {
    Parsed p = parse(
        "require(package \"quilo\");\n"
        "require(other)\n"
        "define($LIMIT 5, $DATA \"x y\", $BOTH $LIMIT$LIMIT)\n"
        "s :: InfiniteSource(LIMIT $LIMIT, DATA $DATA, N ${BOTH}, Q '$LIMIT', E \"\\$LIMIT $LIMIT\")\n",
        {{"DATA", "\"cmd\""}});
    ASSERT_EQ(p.r, 0) << p.errors;
    ASSERT_EQ(p.conf.requirements.size(), 2u);
    EXPECT_EQ(p.conf.requirements[0].type, "package");
    EXPECT_EQ(p.conf.requirements[0].value, "quilo");
    EXPECT_EQ(p.conf.requirements[0].landmark, "test.click:1");
    EXPECT_EQ(p.conf.requirements[1].type, "");
    EXPECT_EQ(p.conf.requirements[1].value, "other");
    ASSERT_EQ(p.conf.elements.size(), 1u);
    EXPECT_EQ(p.conf.elements[0].config, "LIMIT 5, DATA \"cmd\", N 55, Q '$LIMIT', E \"\\$LIMIT 5\"");
}

TEST(Parser, ReportsEveryErrorWithItsLine) {
    Parsed p = parse(
        "a :: Counter;\n"
        "b :: NoSuchClass(1)\n"
        "a -> Discard\n"
        "x -> a\n"
        "a :: Queue\n"
        "a [z] -> Discard\n"
        "Idle -> FooBar -> Discard\n"
        "c :: Counter(LIMIT $UNDEFINED)\n"
        "Idle -> \n");
    EXPECT_EQ(p.r, -EINVAL);
    EXPECT_NE(p.errors.find("test.click:2: unknown element class 'NoSuchClass'"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:4: undeclared element 'x'"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:5: redeclaration of element 'a'"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:1: element 'a' previously declared here"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:6: bad port number 'z'"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:7: unknown element class 'FooBar'"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:8: undefined variable '$UNDEFINED'"), std::string::npos) << p.errors;
    EXPECT_NE(p.errors.find("test.click:9: syntax error at end of file"), std::string::npos) << p.errors;
    // Good statements between the bad ones still count; anonymous elements of a
    // broken chain are left out.
    EXPECT_EQ(p.conf.find("a"), 0);
    EXPECT_EQ(p.conf.elements.size(), 6u);  // a, b, Discard@3, Idle@4, c, Idle@6: no Discard after FooBar
    EXPECT_GE(p.conf.connections.size(), 1u);
}

TEST(Parser, ExponentialDefinitionsAreCapped) {
    std::string text = "define($A0 xxxxxxxxxxxxxxxx";
    for (int i = 1; i < 40; ++i)
        text += ", $A" + std::to_string(i) + " $A" + std::to_string(i - 1) + "$A" + std::to_string(i - 1);
    text += ")\nc :: Counter($A39)\n";
    Parsed p = parse(text);
    EXPECT_EQ(p.r, -EINVAL);
    EXPECT_NE(p.errors.find("expands to more than"), std::string::npos) << p.errors;
}

TEST(Parser, SyntaxErrors) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"-> Discard", "test.click:1: syntax error near '->'"},
        {"Idle -> Discard [0]", "output port useless at end of chain"},
        {"[1] Idle -> Discard", "input port useless at start of chain"},
        {"a :: Counter(\n\n", "test.click:1: unterminated '('"},
        {"a :: ;", "expected class name after '::'"},
        {"a, b :: Counter -> Discard", "a list of declarations cannot be connected"},
        {"a, b -> Discard", "'::' after a list of element names"},
        {"elementclass Foo { input -> output", "test.click:1: unterminated compound class"},
        {"Idle -> ) ", "syntax error near ')'"},
        {"define(LIMIT 5)", "bad definition 'LIMIT 5'"},
        {"require()", "'require' needs an argument"},
        {"Idle [99999999999] -> Discard", "bad port number"},
        {"1abc -> Discard", "syntax error near '1abc'"},
        {"x :: Counter(\"unterminated)\n", "unterminated '('"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.text);
        EXPECT_EQ(p.r, -EINVAL) << c.text;
        EXPECT_NE(p.errors.find(c.error), std::string::npos) << c.text << "\n => " << p.errors;
    }
}

TEST(Parser, FuzzRandomAndTruncatedConfigs) {
    const char* pieces[] = {"a", "b", " :: ", "Counter", "Queue(", "5", ")", " -> ", "[", "1", "]", ";", "\n",
                            "\"", "'", "//", "/*", "*/", "(", ",", "$X", "define(", "require(", "elementclass",
                            "{", "}", "::", "-", ">", "Idle", "Discard", " ", "${", "\\", "@", "/"};
    const std::string good =
        "require(package \"quilo\")\ndefine($N 3)\ns :: InfiniteSource(LIMIT $N) -> c :: Counter\n"
        "c -> q :: Queue(10) -> Unqueue -> t :: Tee(2); t[1] -> [0] Discard; t -> Discard /* x */ // y\n";
    std::mt19937 rng(777);
    for (int iter = 0; iter < 2000; ++iter) {
        std::string text;
        int n = rng() % 30;
        for (int i = 0; i < n; ++i)
            text += (rng() % 10 == 0) ? std::string(1, static_cast<char>(rng() % 256))
                                      : std::string(pieces[rng() % (sizeof pieces / sizeof *pieces)]);
        RouterConfig conf;
        SilentErrorHandler errh;
        int r = parse_router_config(text, "f", {}, is_class, conf, &errh);
        ASSERT_TRUE(r == 0 || r == -EINVAL);
        ASSERT_EQ(r == 0, errh.nerrors() == 0) << text;
        for (const auto& c : conf.connections) {
            ASSERT_GE(c.from, 0);
            ASSERT_LT(static_cast<size_t>(c.from), conf.elements.size());
            ASSERT_GE(c.to, 0);
            ASSERT_LT(static_cast<size_t>(c.to), conf.elements.size());
        }
    }
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        RouterConfig conf;
        SilentErrorHandler errh;
        int r = parse_router_config(good.substr(0, cut), "f", {}, is_class, conf, &errh);
        ASSERT_EQ(r == 0, errh.nerrors() == 0);
    }
    RouterConfig conf;
    StringErrorHandler errh;
    ASSERT_EQ(parse_router_config(good, "f", {}, is_class, conf, &errh), 0) << errh.text();
}
