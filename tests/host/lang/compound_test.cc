// Compound element classes: expansion, parameters, overloading, errors.
#include <gtest/gtest.h>

#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <random>
#include <set>

namespace {

bool is_class(const std::string& s) {
    static const std::set<std::string> classes = {"Idle", "Discard", "Counter", "Queue", "Tee", "Paint", "Null"};
    return classes.count(s) > 0;
}

// The flat text (as the "flatconfig" handler shows it) and the errors.
int parse(const std::string& text, std::string& flat, std::string& errors) {
    RouterConfig conf;
    StringErrorHandler errh;
    int r = parse_router_config(text, "c.click", {}, is_class, conf, &errh);
    flat = unparse_router_config(conf);
    errors = errh.text();
    return r;
}

}  // namespace

TEST(Compound, ExpandsWithParametersAndNestedNames) {
    std::string flat, errors;
    int r = parse("define($Q 9)\n"
                  "elementclass Branch { $color, LIMIT $lim |\n"
                  "  input -> p :: Paint($color) -> Queue(${lim}0) -> output;\n"
                  "  input [1] -> Counter -> [1] output }\n"
                  "elementclass Peer { $n | input -> b :: Branch($n, LIMIT $Q) -> output;\n"
                  "  input [1] -> [1] b [1] -> [1] output }\n"
                  "Idle -> peer2 :: Peer(2) -> Discard; Idle -> [1] peer2 [1] -> Discard;\n",
                  flat, errors);
    ASSERT_EQ(r, 0) << errors;
    EXPECT_EQ(flat,
              "Idle@1 :: Idle;\n"
              "peer2/b/p :: Paint(2);\n"
              "peer2/b/Queue@2 :: Queue(90);\n"
              "peer2/b/Counter@3 :: Counter;\n"
              "Discard@3 :: Discard;\n"
              "Idle@4 :: Idle;\n"
              "Discard@5 :: Discard;\n"
              "peer2/b/p -> peer2/b/Queue@2;\n"
              "Idle@1 -> peer2/b/p;\n"
              "Idle@4 -> peer2/b/Counter@3;\n"
              "peer2/b/Queue@2 -> Discard@3;\n"
              "peer2/b/Counter@3 -> Discard@5;\n")
        << flat;

    // An anonymous compound class, and a keyword left out (empty).
    r = parse("elementclass K { QUEUE $q | define($D 4) input -> Queue($q) -> Paint($D) -> output }\n"
              "Idle -> k :: K -> {input -> Counter -> output} -> Discard", flat, errors);
    ASSERT_EQ(r, 0) << errors;
    EXPECT_NE(flat.find("k/Queue@1 :: Queue;\nk/Paint@2 :: Paint(4);\n"), std::string::npos) << flat;
    EXPECT_NE(flat.find("Compound@3/Counter@1 :: Counter;\n"), std::string::npos) << flat;
}

TEST(Compound, OverloadsByArgumentsAndPorts) {
    std::string flat, errors;
    int r = parse("elementclass O { input -> Counter -> output\n"
                  "  || $a | input -> Paint($a) -> output\n"
                  "  || $a, $b | input -> Paint($a) -> Queue($b) -> output\n"
                  "  || input -> t :: Tee -> output; t [1] -> [1] output }\n"
                  "Idle -> x :: O -> Discard; Idle -> y :: O(1) -> Discard; Idle -> z :: O(2, 3) -> Discard;\n"
                  "Idle -> w :: O -> Discard; w [1] -> Discard;\n"
                  "elementclass O { ... || $a, $b, $c | input -> Paint($c) -> output }\n"
                  "Idle -> v :: O(4, 5, 6) -> Discard\n",
                  flat, errors);
    ASSERT_EQ(r, 0) << errors;
    for (const char* want : {"x/Counter@1 :: Counter;", "y/Paint@1 :: Paint(1);", "z/Queue@2 :: Queue(3);",
                             "w/t :: Tee;", "w/t [1] -> Discard", "v/Paint@1 :: Paint(6);"})
        EXPECT_NE(flat.find(want), std::string::npos) << want << "\n" << flat;

    r = parse("elementclass O { $a | input -> Paint($a) -> output }\nIdle -> O(1, 2) -> Discard\n", flat, errors);
    EXPECT_EQ(r, -EINVAL);
    EXPECT_NE(errors.find("c.click:2: no definition of 'O' takes '1, 2'"), std::string::npos) << errors;
    EXPECT_NE(errors.find("c.click:1: candidate: 'O($a)'"), std::string::npos) << errors;
}

TEST(Compound, ErrorsPointIntoTheBodyAndRecursionIsRefused) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"elementclass A {\n  input -> Counter\n  -> Nosuch -> output }\nIdle -> A -> Discard", "c.click:3: unknown element class 'Nosuch'"},
        {"elementclass A {\n input -> Paint($x) -> output }", "c.click:2: undefined variable '$x'"},
        {"elementclass A { input -> A -> output }\nIdle -> A -> Discard", "c.click:1: compound class 'A' contains itself"},
        {"elementclass A { input -> output }\nelementclass B { input -> A -> output }\n"
         "elementclass A { input -> B -> output }", "c.click:3: redefinition of element class 'A'"},
        {"elementclass A {\n input -> Counter -> output }\nIdle -> a :: A -> Discard; a [1] -> Discard", "c.click:3: 'a :: A' has no output 1"},
        {"elementclass A { $a, $a | input -> output }", "parameter '$a' declared twice"},
        {"elementclass A { input -> c :: Counter -> output; c :: Queue }", "c.click:1: redeclaration of element 'c'"},
        {"elementclass a/b { input -> output }", "bad class name 'a/b'"},
        {"Idle -> input -> Discard", "'input' exists only inside a compound element class"},
        {"elementclass A {\n\n input -> Counter -> output", "c.click:1: unterminated compound class"},
    };
    for (const Case& c : cases) {
        std::string flat, errors;
        EXPECT_EQ(parse(c.text, flat, errors), -EINVAL) << c.text;
        EXPECT_NE(errors.find(c.error), std::string::npos) << c.text << "\n => " << errors;
    }
    // A chain of classes each using the one before twice: the size is capped.
    std::string text = "elementclass C0 { input -> Counter -> output }\n";
    for (int i = 1; i < 30; ++i)
        text += "elementclass C" + std::to_string(i) + " { input -> C" + std::to_string(i - 1) + " -> C" +
                std::to_string(i - 1) + " -> output }\n";
    text += "Idle -> C29 -> Discard\n";
    std::string flat, errors;
    EXPECT_EQ(parse(text, flat, errors), -EINVAL);
    EXPECT_NE(errors.find("expands to more than"), std::string::npos) << errors;
}

TEST(Compound, FuzzRandomAndTruncatedDefinitions) {
    const char* pieces[] = {"elementclass ", "E ", "F ", "{", "}", "||", "|", "...", "$a", "$b", ", ", "KEY ",
                            "input", "output", " -> ", "[1]", "Counter", "Paint($a)", "E", "E(1)", "F(1, 2)",
                            "x :: ", "x", ";", "\n", "(", ")", "define($a 1)", "Idle -> ", " -> Discard"};
    const std::string good = "elementclass E { $a, KEY $b | input -> Paint($a) -> x :: Queue($b) -> output;\n"
                             "  input [1] -> [1] output || input -> output }\n"
                             "elementclass F { $a | input -> e :: E($a, KEY 3) -> output; Idle -> [1] e [1] -> Discard }\n"
                             "Idle -> F(7) -> Discard; Idle -> E -> Discard\n";
    std::mt19937 rng(2512);
    auto check = [](const std::string& text) {
        RouterConfig conf;
        SilentErrorHandler errh;
        int r = parse_router_config(text, "f", {}, is_class, conf, &errh);
        ASSERT_TRUE(r == 0 || r == -EINVAL);
        ASSERT_EQ(r == 0, errh.nerrors() == 0) << text;
        for (const auto& c : conf.connections) {
            ASSERT_TRUE(c.from >= 0 && size_t(c.from) < conf.elements.size()) << text;
            ASSERT_TRUE(c.to >= 0 && size_t(c.to) < conf.elements.size()) << text;
        }
    };
    for (int iter = 0; iter < 3000; ++iter) {
        std::string text;
        int n = rng() % 40;
        for (int i = 0; i < n; ++i)
            text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
        check(text);
    }
    for (size_t cut = 0; cut <= good.size(); ++cut)
        check(good.substr(0, cut));
    std::string flat, errors;
    EXPECT_EQ(parse(good, flat, errors), 0) << errors;
}
