#include <gtest/gtest.h>

#include <host/errorhandler.hh>

#include <cerrno>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

std::string fmt(const char* f, ...) {
    SilentErrorHandler e;
    va_list val;
    va_start(val, f);
    std::string s = e.vformat(f, val);
    va_end(val);
    return s;
}

std::string element_fmt(const void* p) {
    return std::string("name :: ") + static_cast<const char*>(p);
}

}  // namespace

TEST(ErrorHandler, FormatConversions) {
    EXPECT_EQ(fmt("%d %i %u %x %X %o", -5, 7, 4000000000U, 255, 255, 8), "-5 7 4000000000 ff FF 10");
    EXPECT_EQ(fmt("%5d|%-5d|%05d|%+d", 42, 42, 42, 42), "   42|42   |00042|+42");
    EXPECT_EQ(fmt("%ld %lld %zu %hhu %hd", -1L, 1LL << 40, size_t(9), 300, 70000), "-1 1099511627776 9 44 4464");
    EXPECT_EQ(fmt("%s|%.2s|%*s|%c", "abc", "abc", 4, "x", 'z'), "abc|ab|   x|z");
    EXPECT_EQ(fmt("%.3f %g %e", 1.5, 0.25, 100.0), "1.500 0.25 1.000000e+02");
    EXPECT_EQ(fmt("100%% %<quoted%>"), "100% 'quoted'");
    EXPECT_EQ(fmt("%s", static_cast<const char*>(nullptr)), "(null)");
    unsigned char ip[4] = {10, 0, 1, 254};
    EXPECT_EQ(fmt("peer %p{ip_ptr}.", ip), "peer 10.0.1.254.");
    EXPECT_EQ(fmt("%p{ip_ptr}", static_cast<void*>(nullptr)), "(null)");
    ErrorHandler::add_pointer_formatter("element", element_fmt);
    EXPECT_EQ(fmt("in %p{element} here", "Counter"), "in name :: Counter here");
    EXPECT_EQ(fmt("in %{element}", "Queue"), "in name :: Queue");
    ErrorHandler::remove_pointer_formatter("element");
    // Dangling or unknown conversions print as written without consuming arguments.
    EXPECT_EQ(fmt("50%"), "50%");
    EXPECT_EQ(fmt("%y %d", 3), "%y 3");
}

TEST(ErrorHandler, LevelsCountsAndReturns) {
    StringErrorHandler e;
    EXPECT_EQ(e.error("bad %d", 1), -EINVAL);
    EXPECT_EQ(e.warning("careful"), 0);
    e.message("hello");
    e.debug("dbg");
    EXPECT_EQ(e.fatal("worse"), -EINVAL);
    EXPECT_EQ(e.lerror("f.click:3", "broken %s", "x"), -EINVAL);
    EXPECT_EQ(e.nerrors(), 3);
    EXPECT_EQ(e.nwarnings(), 1);
    EXPECT_EQ(e.text(), "bad 1\nwarning: careful\nhello\ndbg\nworse\nf.click:3: broken x\n");
    e.reset_counts();
    EXPECT_EQ(e.nerrors(), 0);
    EXPECT_EQ(e.xmessage(ErrorHandler::e_alert, "alert"), -EINVAL);
    EXPECT_EQ(e.xmessage("plain"), 0);
    EXPECT_EQ(e.xmessage("<3>err via anno"), -EINVAL);
}

TEST(ErrorHandler, CombineAnno) {
    using EH = ErrorHandler;
    EXPECT_EQ(EH::combine_anno("text", EH::e_info), "<6>text");
    EXPECT_EQ(EH::combine_anno("<3>text", EH::e_info), "<3>text");  // the line's own level wins
    EXPECT_EQ(EH::combine_anno("a\nb", "<4>Warn : "), "<4>Warn : a\n<4>Warn : b");
    EXPECT_EQ(EH::combine_anno("<6>x", "Info : "), "<6>Info : x");
    EXPECT_EQ(EH::combine_anno("{l:f:1}x", "{l:g:2}<3>"), "{l:f:1}<3>x");
    int level = -100;
    std::string lm;
    size_t pos = EH::parse_anno("{l:file.click:12}<3>msg", &level, &lm);
    EXPECT_EQ(level, 3);
    EXPECT_EQ(lm, "file.click:12");
    EXPECT_EQ(pos, 20u);
    // Text that only looks like annotations is text.
    EXPECT_EQ(EH::parse_anno("<x>{nocolon}", &level, &lm), 0u);
    EXPECT_EQ(EH::render_line("{l:a.click:4}<3>oops"), "a.click:4: oops");
}

TEST(ErrorHandler, Veneers) {
    StringErrorHandler base;
    // A logger-style prefix handler with level annotations added by the caller.
    PrefixErrorHandler info(&base, "Info : ");
    info.xmessage(ErrorHandler::combine_anno(info.format("%s started", "rsp0"), ErrorHandler::e_info));
    EXPECT_EQ(base.text(), "Info : rsp0 started\n");
    base.clear();

    LandmarkErrorHandler lerrh(&base, "conf.click:7");
    lerrh.error("first");
    lerrh.lerror("other.click:1", "second");
    EXPECT_EQ(base.text(), "conf.click:7: first\nother.click:1: second\n");
    EXPECT_EQ(lerrh.nerrors(), 2);
    EXPECT_EQ(base.nerrors(), 2);
    base.clear();

    ContextErrorHandler cerrh(&base, "While configuring 'c :: Counter':", "  ", "conf.click:9");
    cerrh.error("LIMIT: expected integer");
    cerrh.warning("two\nlines");
    EXPECT_EQ(base.text(),
              "conf.click:9: While configuring 'c :: Counter':\n"
              "conf.click:9:   LIMIT: expected integer\n"
              "conf.click:9:   warning: two\n"
              "conf.click:9:   warning: lines\n");
}

TEST(ErrorHandler, FileHandlerWritesWholeMessages) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE* w = fdopen(fds[1], "w");
    ASSERT_NE(w, nullptr);
    {
        FileErrorHandler fe(w, "ctx: ");
        auto worker = [&fe](int id) {
            for (int i = 0; i < 50; ++i)
                fe.lerror("f:1", "thread %d line A\nthread %d line B", id, id);
        };
        std::thread t1(worker, 1), t2(worker, 2);
        t1.join();
        t2.join();
        EXPECT_EQ(fe.nerrors(), 100);
    }
    fclose(w);
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        all.append(buf, n);
    close(fds[0]);
    // Lines A and B of one message are always adjacent.
    size_t pos = 0;
    int messages = 0;
    while ((pos = all.find("line A\n", pos)) != std::string::npos) {
        size_t start = all.rfind("thread ", pos);
        std::string id = all.substr(start + 7, 1);
        std::string expect = "line A\nctx: f:1: thread " + id + " line B\n";
        EXPECT_EQ(all.compare(pos, expect.size(), expect), 0);
        pos += 7;
        ++messages;
    }
    EXPECT_EQ(messages, 100);
}

TEST(ErrorHandler, DefaultHandlerAndChatter) {
    StringErrorHandler s;
    ErrorHandler::set_default_handler(&s);
    click_chatter("chat %d", 5);
    click_chatter("<3>chat error");
    ErrorHandler::set_default_handler(nullptr);
    EXPECT_EQ(s.text(), "chat 5\nchat error\n");
    EXPECT_EQ(s.nerrors(), 1);
    EXPECT_NE(ErrorHandler::default_handler(), &s);
}
