// Random and truncated router configurations: errors, never crashes.
#include <host/errorhandler.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(ConfigFuzz, RandomConfigurationsFailCleanly) {
    static const std::vector<std::string> tokens = {
        "Idle", "Discard", "Counter", "Tee", "Queue", "Unqueue", "Null", "Paint(3)", "Print", "InfiniteSource",
        "InfiniteSource(LIMIT 3)", "Queue(5)", "Tee(2)", "Paint(999)", "StaticThreadSched(a 1)", "Nope",
        "a", "b", "c", "a ::", "b ::", "c ::", " -> ", " -> ", "[0]", "[1]", "[2]", "[-1]", "[99999999999]",
        ";", ";", "\n", "(", ")", ",", "\"", "//", "/*", "*/", "require(package \"nope\")", "$X", "define($X 1)",
        "elementclass E { input -> Counter -> output }", "elementclass F { $a | input -> Paint($a) -> output || ",
        "input -> t :: Tee -> output; t [1] -> [1] output }", "E", "F(1)", "F", "e :: E", "e/Counter@1", "{", "}",
        "input", "output", "||", "|", "ScheduleInfo(e 2)"};
    std::mt19937 rng(20261207);
    Master m(1);
    int built = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        int n = 1 + int(rng() % 14);
        for (int k = 0; k < n; ++k)
            text += tokens[rng() % tokens.size()] + " ";
        if (rng() % 4 == 0)
            text.resize(rng() % (text.size() + 1));
        SilentErrorHandler errh;
        Router* r = Router::create(text, "fuzz", {}, &errh, &m);
        if (r) {
            if (r->initialize(&errh) == 0)
                ++built;
            delete r;
        } else
            EXPECT_GT(errh.nerrors(), 0) << text;
    }
    EXPECT_GT(built, 0);
}

TEST(ConfigFuzz, RandomBytes) {
    std::mt19937 rng(7);
    for (int i = 0; i < 1000; ++i) {
        std::string text;
        int n = int(rng() % 200);
        for (int k = 0; k < n; ++k)
            text += char(rng() % 256);
        SilentErrorHandler errh;
        Router* r = Router::create(text, "bytes", {}, &errh);
        if (r) {
            r->initialize(&errh);
            delete r;
        }
    }
}

}  // namespace
