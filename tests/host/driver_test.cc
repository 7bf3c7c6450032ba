// The quilo-router command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string driver() {
    const char* b = getenv("QUILO_BUILD_DIR");
    return std::string(b ? b : "build") + "/bin/quilo-router";
}

// Runs the driver through the shell; returns the exit status, fills out
// (stdout) and err (stderr).
int run(const std::string& args, std::string& out, std::string& err) {
    std::string errfile = "/tmp/quilo-driver-test-" + std::to_string(getpid()) + ".err";
    std::string cmd = "timeout 20 " + driver() + " " + args + " 2>" + errfile;
    FILE* f = popen(cmd.c_str(), "r");
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    int st = pclose(f);
    std::ifstream in(errfile);
    err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(errfile.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(Driver, CountsAMillionPacketsAndStops) {
    std::string out, err;
    int st = run("-e 'InfiniteSource(LIMIT 1000000, STOP true) -> c :: Counter -> Discard;' -h c.count", out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "1000000\n");
}

TEST(Driver, SeveralHandlersDefinesAndThreads) {
    std::string out, err;
    int st = run("-j 2 -e 'InfiniteSource(LIMIT $N, LENGTH 60, STOP true) -> c :: Counter -> Discard;' "
                 "-h c.count -h c.byte_count N=10",
                 out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "c.count:\n10\n\nc.byte_count:\n600\n\n");
}

TEST(Driver, StaticThreadSchedPlacesTasks) {
    std::string out, err;
    int st = run("-j 3 -e 's :: InfiniteSource(LIMIT 10, STOP true) -> c :: Counter -> q :: Queue -> u :: Unqueue "
                 "-> Discard; StaticThreadSched(s 1, u 5)' -h s.home_thread -h u.home_thread -h c.count",
                 out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "s.home_thread:\n1\n\nu.home_thread:\n2\n\nc.count:\n10\n\n");
    EXPECT_EQ(run("-e 'Idle -> Discard; StaticThreadSched(nosuch 1)'", out, err), 1);
    EXPECT_NE(err.find("'nosuch' does not name an element"), std::string::npos) << err;
}

TEST(Driver, ConfigurationErrorsExitOneWithEveryLine) {
    std::string path = "/tmp/quilo-driver-test-" + std::to_string(getpid()) + ".click";
    {
        std::ofstream f(path);
        f << "src :: InfiniteSource(LIMIT 10);\n"
             "x :: Frobnicate;\n"
             "src -> c :: Counter;\n"
             "c [1] -> Discard;\n"
             "c -> Discard;\n";
    }
    std::string out, err;
    int st = run(path, out, err);
    unlink(path.c_str());
    EXPECT_EQ(st, 1);
    EXPECT_NE(err.find(path + ":2: unknown element class 'Frobnicate'"), std::string::npos) << err;
    EXPECT_NE(err.find(path + ":4: 'c :: Counter' has no output 1"), std::string::npos) << err;
    // Unconnected ports are reported along with an unknown class too.
    EXPECT_EQ(run("-e 'a :: Counter; b :: NoSuch(1);\nInfiniteSource -> a'", out, err), 1);
    EXPECT_NE(err.find("<expr>:1: unknown element class 'NoSuch'"), std::string::npos) << err;
    EXPECT_NE(err.find("'a :: Counter' output 0 not connected"), std::string::npos) << err;
}

TEST(Driver, BadArgumentsAndQuitMode) {
    std::string out, err;
    EXPECT_EQ(run("-e 'Idle -> Counter(FOO 1) -> Discard'", out, err), 1);
    EXPECT_NE(err.find("unknown keyword 'FOO'"), std::string::npos) << err;
    EXPECT_EQ(run("-j zero -e 'Idle -> Discard'", out, err), 1);
    EXPECT_EQ(run("/nonexistent/file.click", out, err), 1);
    EXPECT_EQ(run("-l /nonexistent/libx.so -e 'Idle -> Discard'", out, err), 1);
    // -q builds and initializes, prints handlers, and does not run.
    EXPECT_EQ(run("-q -e 'i :: InfiniteSource -> c :: Counter -> Discard' -h c.count -h i.config", out, err), 0) << err;
    EXPECT_EQ(out, "c.count:\n0\n\ni.config:\n\n\n");
    // -h naming a missing handler is an error.
    EXPECT_EQ(run("-q -e 'Idle -> Discard' -h nosuch.count", out, err), 1);
    EXPECT_NE(err.find("no element named 'nosuch'"), std::string::npos) << err;
}

TEST(Driver, StopsOnSigterm) {
    std::string out, err;
    int st = run("-e 'InfiniteSource -> c :: Counter -> Discard' -h c.class & sleep 1; kill -TERM $! ; wait $!", out,
                 err);
    (void) st;
    EXPECT_EQ(out, "Counter\n") << err;
}

}  // namespace
