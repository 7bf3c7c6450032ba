// WLogger: level filtering and exact line prefixes on standard error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/wlogger.hh"

namespace {

// Runs f with standard error redirected to a temporary file; returns what it wrote.
template <typename F>
std::string capture_stderr(F f) {
    fflush(stderr);
    char path[] = "/tmp/quilo_wlogger_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    int saved = dup(2);
    dup2(fd, 2);
    f();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(fd);
    unlink(path);
    return out;
}

void all_levels() {
    WLogger::debug("%s d %d", "el", 0);
    WLogger::info("%s i %d", "el", 1);
    WLogger::warn("%s w %d", "el", 2);
    WLogger::alert("%s a %d", "el", 3);
    WLogger::error("%s e %d", "el", 4);
}

struct LevelGuard {
    int saved = WLogger::log_level;
    ~LevelGuard() { WLogger::log_level = saved; }
};

}  // namespace

TEST(WLogger, FilteringByLevelWithExactPrefixes) {
    LevelGuard g;
    const char* lines[] = {"Debug : el d 0\n", "Info : el i 1\n", "Warn : el w 2\n", "Alert : el a 3\n",
                           "Error : el e 4\n"};
    for (int level = 0; level <= 4; ++level) {
        WLogger::log_level = level;
        std::string expect;
        for (int l = level; l <= 4; ++l)
            expect += lines[l];
        EXPECT_EQ(capture_stderr(all_levels), expect) << "LOG_LEVEL " << level;
    }
    // Above Error nothing is written at all.
    WLogger::log_level = 5;
    EXPECT_EQ(capture_stderr(all_levels), "");
}

TEST(WLogger, EveryLineOfAMessageIsPrefixedAndHostFormatsWork) {
    LevelGuard g;
    WLogger::log_level = 1;
    unsigned char ip[4] = {10, 1, 2, 3};
    std::string out = capture_stderr([&] {
        WLogger::warn("%s first\nsecond", "sm");
        WLogger::info("%s peer %p{ip_ptr}", "fl", ip);
    });
    EXPECT_EQ(out, "Warn : sm first\nWarn : second\nInfo : fl peer 10.1.2.3\n");
}
