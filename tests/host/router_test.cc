// Building routers: classes, ports, processing, lifecycle, handlers.
#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> events;

// Records its life cycle into `events`.
class LifeRecorder : public Element {
 public:
    const char* class_name() const override { return "LifeRecorder"; }
    const char* port_count() const override { return "0-1/0-1"; }
    int configure_phase() const override { return _phase; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        int phase = CONFIGURE_PHASE_DEFAULT;
        bool fail = false, fail_init = false;
        std::string peer;
        if (Args(conf, this, errh)
                .read("PHASE", phase)
                .read("FAIL", fail)
                .read("FAIL_INIT", fail_init)
                .read("CALL", peer)
                .complete() < 0)
            return -1;
        events.push_back("configure " + name());
        _fail_init = fail_init;
        _call = peer;
        if (fail)
            return errh->error("asked to fail");
        return 0;
    }
    void add_handlers() override {
        events.push_back("handlers " + name());
        add_data_handlers("value", Handler::h_read | Handler::h_write, &_value);
        add_data_handlers("text", Handler::h_read | Handler::h_write, &_text);
    }
    int initialize(ErrorHandler* errh) override {
        events.push_back("initialize " + name());
        if (!_call.empty())
            events.push_back("called " + HandlerCall::call_read(_call, this, errh));
        if (_fail_init)
            return errh->error("init failed");
        return 0;
    }
    void cleanup(CleanupStage stage) override { events.push_back("cleanup " + name() + " " + std::to_string(stage)); }

    int _phase = CONFIGURE_PHASE_DEFAULT;
    int _value = 5;
    std::string _text = "hi";
    bool _fail_init = false;
    std::string _call;
};

class EarlyRecorder : public LifeRecorder {
 public:
    const char* class_name() const override { return "EarlyRecorder"; }
    int configure_phase() const override { return CONFIGURE_PHASE_INFO; }
};

// A push-only and a pull-only sink; an element with "h/l" per-port codes.
class PushSink : public Element {
 public:
    const char* class_name() const override { return "PushSink"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override { p->kill(); }
};
class PullSink : public Element {
 public:
    const char* class_name() const override { return "PullSink"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PULL; }
};
class TwoWay : public Element {
 public:
    const char* class_name() const override { return "TwoWay"; }
    const char* port_count() const override { return "2/2-"; }
    const char* processing() const override { return "hl/lh"; }
};

// Keyword-reconfigurable element.
class Knob : public Element {
 public:
    const char* class_name() const override { return "Knob"; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        int level = 1;
        std::string mode = "a";
        if (Args(conf, this, errh).read_mp("LEVEL", BoundedIntArg(0, 10), level).read("MODE", mode).complete() < 0)
            return -1;
        _level = level;
        _mode = mode;
        return 0;
    }
    void add_handlers() override {
        add_reconfigure_handlers("level", "LEVEL", 0);
        add_read_handler("first", read_positional_handler, 0);
        add_write_handler("first", reconfigure_positional_handler, 0);
        add_read_handler("mode", ReadHandlerFunction([this] { return _mode; }));
    }
    int _level = 0;
    std::string _mode;
};

struct Register {
    Register() {
        click_add_element_type<LifeRecorder>("LifeRecorder");
        click_add_element_type<EarlyRecorder>("EarlyRecorder");
        click_add_element_type<PushSink>("PushSink");
        click_add_element_type<PullSink>("PullSink");
        click_add_element_type<TwoWay>("TwoWay");
        click_add_element_type<Knob>("Knob");
    }
} reg;

Router* build(const std::string& text, StringErrorHandler& errh) {
    return Router::create(text, "test.click", {}, &errh);
}

TEST(Router, LifecycleOrder) {
    events.clear();
    StringErrorHandler errh;
    Router* r = build("a :: LifeRecorder; b :: EarlyRecorder; c :: LifeRecorder(CALL b.value);", errh);
    ASSERT_TRUE(r) << errh.text();
    ASSERT_EQ(r->initialize(&errh), 0) << errh.text();
    std::vector<std::string> want = {"configure b", "configure a", "configure c", "handlers a", "handlers b",
                                     "handlers c", "initialize a", "initialize b", "initialize c", "called 5"};
    EXPECT_EQ(events, want);
    events.clear();
    delete r;
    std::string stage = std::to_string(Element::CLEANUP_ROUTER_INITIALIZED);
    EXPECT_EQ(events, (std::vector<std::string>{"cleanup c " + stage, "cleanup b " + stage, "cleanup a " + stage}));
}

TEST(Router, CleanupStagesAfterFailures) {
    events.clear();
    StringErrorHandler errh;
    Router* r = build("a :: LifeRecorder(FAIL true); b :: LifeRecorder; c :: LifeRecorder(FAIL true);", errh);
    ASSERT_TRUE(r);
    EXPECT_LT(r->initialize(&errh), 0);
    // Both configure failures are reported, with the element and line.
    EXPECT_NE(errh.text().find("test.click:1: While configuring 'a :: LifeRecorder'"), std::string::npos) << errh.text();
    EXPECT_NE(errh.text().find("'c :: LifeRecorder'"), std::string::npos) << errh.text();
    EXPECT_NE(errh.text().find("asked to fail"), std::string::npos);
    events.clear();
    delete r;
    EXPECT_EQ(events[0], "cleanup c " + std::to_string(Element::CLEANUP_CONFIGURE_FAILED));
    EXPECT_EQ(events[1], "cleanup b " + std::to_string(Element::CLEANUP_CONFIGURED));

    events.clear();
    StringErrorHandler errh2;
    r = build("a :: LifeRecorder; b :: LifeRecorder(FAIL_INIT true); c :: LifeRecorder;", errh2);
    ASSERT_TRUE(r);
    EXPECT_LT(r->initialize(&errh2), 0);
    events.clear();
    delete r;
    EXPECT_EQ(events, (std::vector<std::string>{"cleanup c " + std::to_string(Element::CLEANUP_CONFIGURED),
                                                "cleanup b " + std::to_string(Element::CLEANUP_INITIALIZE_FAILED),
                                                "cleanup a " + std::to_string(Element::CLEANUP_INITIALIZED)}));
}

TEST(Router, ElementsFindCastAndOrder) {
    StringErrorHandler errh;
    Router* r = build("src :: InfiniteSource(LIMIT 1) -> Counter -> q :: Queue -> u :: Unqueue -> Discard;", errh);
    ASSERT_TRUE(r) << errh.text();
    ASSERT_EQ(r->initialize(&errh), 0) << errh.text();
    ASSERT_EQ(r->nelements(), 5);
    EXPECT_EQ(r->element(0)->name(), "src");
    EXPECT_EQ(r->element(1)->name(), "Counter@2");
    EXPECT_EQ(r->find("q"), r->element(2));
    EXPECT_EQ(r->find("nope"), nullptr);
    EXPECT_EQ(r->find("q")->cast("Queue"), r->find("q"));
    EXPECT_EQ(r->find("q")->cast("Counter"), nullptr);
    EXPECT_NE(r->find("q")->cast(Notifier::EMPTY_NOTIFIER), nullptr);
    // Agnostic ports resolved through the connections.
    EXPECT_TRUE(r->find("src")->output_is_push(0));
    EXPECT_TRUE(r->element(1)->input_is_push(0));
    EXPECT_TRUE(r->find("q")->output_is_pull(0));
    EXPECT_TRUE(r->element(4)->input_is_push(0));
    EXPECT_EQ(r->find("q")->input(0).element(), nullptr);   // push input: no single peer
    EXPECT_EQ(r->element(1)->output(0).element(), r->find("q"));
    EXPECT_EQ(r->find("u")->input(0).element(), r->find("q"));
    delete r;

    // Agnostic elements between a Queue and a pull sink become pull.
    StringErrorHandler e2;
    r = build("Idle -> Queue -> n :: Null -> c :: Counter -> PullSink;", e2);
    ASSERT_TRUE(r) << e2.text();
    EXPECT_TRUE(r->find("n")->input_is_pull(0));
    EXPECT_TRUE(r->find("c")->output_is_pull(0));
    delete r;
}

TEST(Router, PortAndProcessingErrorsAllReported) {
    StringErrorHandler errh;
    Router* r = build("src :: InfiniteSource;\n"
                      "x :: NoSuchClass;\n"
                      "src -> c :: Counter;\n"
                      "c [1] -> PushSink;\n"
                      "c -> PullSink;\n",
                      errh);
    EXPECT_FALSE(r);
    std::string t = errh.text();
    EXPECT_NE(t.find("test.click:2: unknown element class 'NoSuchClass'"), std::string::npos) << t;
    EXPECT_NE(t.find("test.click:4: 'c :: Counter' has no output 1"), std::string::npos) << t;

    StringErrorHandler e2;
    r = build("i :: InfiniteSource -> q :: Queue -> PushSink;\n"
              "t :: TwoWay;\n"
              "Idle -> [1] t;\n"
              "Idle -> [0] t [0] -> Discard;\n",
              e2);
    EXPECT_FALSE(r);
    t = e2.text();
    EXPECT_NE(t.find("test.click:1: 'q :: Queue' pull output 0 connected to 'PushSink@3 :: PushSink' push input 0"),
              std::string::npos) << t;
    EXPECT_NE(t.find("test.click:2: 't :: TwoWay' output 1 not connected"), std::string::npos) << t;

    StringErrorHandler e3;
    r = build("i :: InfiniteSource; i -> Discard; i -> Discard;", e3);
    EXPECT_FALSE(r);
    EXPECT_NE(e3.text().find("illegal reuse of 'i :: InfiniteSource' push output 0"), std::string::npos) << e3.text();

    StringErrorHandler e4;
    r = build("c :: Counter -> Discard;", e4);
    EXPECT_FALSE(r);
    EXPECT_NE(e4.text().find("'c :: Counter' input 0 not connected"), std::string::npos) << e4.text();

    // A port range: "1/1-" grows with the connections.
    StringErrorHandler e5;
    r = build("InfiniteSource -> t :: Tee; t[0] -> Discard; t[1] -> Discard; t[2] -> Discard;", e5);
    ASSERT_TRUE(r) << e5.text();
    EXPECT_EQ(r->find("t")->noutputs(), 3);
    delete r;
}

TEST(Router, StandardAndDataHandlers) {
    StringErrorHandler errh;
    std::string text = "a :: LifeRecorder; InfiniteSource(LIMIT 3) -> c :: Counter -> Discard;";
    Router* r = build(text, errh);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->initialize(&errh), 0) << errh.text();
    EXPECT_EQ(HandlerCall::call_read(r, "list"), "4\na\nInfiniteSource@2\nc\nDiscard@4\n");
    EXPECT_EQ(HandlerCall::call_read(r, "config"), text);
    EXPECT_NE(HandlerCall::call_read(r, "classes").find("Counter\n"), std::string::npos);
    EXPECT_NE(HandlerCall::call_read(r, "flatconfig").find("c [0] -> [0] Discard@4;"), std::string::npos);
    EXPECT_EQ(HandlerCall::call_read(r, "c.class"), "Counter\n");
    EXPECT_EQ(HandlerCall::call_read(r, "c.name"), "c\n");
    EXPECT_EQ(HandlerCall::call_read(r, "InfiniteSource@2.config"), "LIMIT 3\n");
    EXPECT_NE(HandlerCall::call_read(r, "c.handlers").find("count\tr\n"), std::string::npos);
    EXPECT_NE(HandlerCall::call_read(r, "c.ports").find("push"), std::string::npos);

    StringErrorHandler e;
    EXPECT_EQ(HandlerCall::call_read(r, "a.value", &e), "5");
    EXPECT_EQ(HandlerCall::call_write(r, "a.value", " 42 ", &e), 0) << e.text();
    EXPECT_EQ(HandlerCall::call_read(r, "a.value", &e), "42");
    EXPECT_LT(HandlerCall::call_write(r, "a.value", "forty", &e), 0);
    EXPECT_EQ(HandlerCall::call_read(r, "a.value", &e), "42");   // unchanged after a bad write
    EXPECT_NE(e.text().find("expected integer"), std::string::npos) << e.text();
    EXPECT_EQ(HandlerCall::call_write(r, "a.text", "two words", &e), 0);
    EXPECT_EQ(HandlerCall::call_read(r, "a.text", &e), "two words");

    StringErrorHandler e2;
    EXPECT_EQ(HandlerCall::call_read(r, "zz.count", &e2), "");
    EXPECT_NE(e2.text().find("no element named 'zz'"), std::string::npos);
    EXPECT_EQ(HandlerCall::call_read(r, "c.nothing", &e2), "");
    EXPECT_NE(e2.text().find("no handler named 'c.nothing'"), std::string::npos);
    EXPECT_LT(HandlerCall::call_write(r, "c.count", "1", &e2), 0);
    EXPECT_NE(e2.text().find("not writable"), std::string::npos);

    HandlerCall hc("a.value");
    EXPECT_EQ(hc.initialize_read(r->find("c"), &e2), 0);
    EXPECT_EQ(hc.call_read(), "42");
    HandlerCall bad("c.count");
    EXPECT_LT(bad.initialize_write(r->find("c"), &e2), 0);
    delete r;
}

TEST(Router, KeywordReconfigure) {
    StringErrorHandler errh;
    Router* r = build("k :: Knob(MODE x, LEVEL 3); p :: Knob(3);", errh);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->initialize(&errh), 0) << errh.text();
    Knob* k = static_cast<Knob*>(r->find("k"));
    Knob* p = static_cast<Knob*>(r->find("p"));
    // The keyword handler also finds LEVEL written positionally.
    EXPECT_EQ(HandlerCall::call_read(r, "p.level"), "3");
    EXPECT_EQ(HandlerCall::call_write(r, "p.level", "6"), 0);
    EXPECT_EQ(HandlerCall::call_read(r, "p.config"), "6\n");
    EXPECT_EQ(HandlerCall::call_read(r, "p.first"), "6");
    EXPECT_EQ(HandlerCall::call_read(r, "k.level"), "3");
    EXPECT_EQ(HandlerCall::call_write(r, "k.level", "7"), 0);
    EXPECT_EQ(k->_level, 7);
    EXPECT_EQ(k->_mode, "x");
    EXPECT_EQ(HandlerCall::call_read(r, "k.level"), "7");
    StringErrorHandler e;
    EXPECT_LT(HandlerCall::call_write(r, "k.level", "11", &e), 0);
    EXPECT_NE(e.text().find("LEVEL"), std::string::npos) << e.text();
    EXPECT_EQ(k->_level, 7);   // unchanged
    EXPECT_EQ(HandlerCall::call_read(r, "k.config"), "MODE x, LEVEL 7\n");
    EXPECT_EQ(HandlerCall::call_write(r, "p.first", "2"), 0);
    EXPECT_EQ(p->_level, 2);
    EXPECT_LT(HandlerCall::call_write(r, "p.first", "12", &e), 0);
    EXPECT_EQ(p->_level, 2);
    EXPECT_EQ(HandlerCall::call_write(r, "k.config", "LEVEL 4, MODE y"), 0);
    EXPECT_EQ(k->_level, 4);
    EXPECT_EQ(k->_mode, "y");
    delete r;
}

TEST(Router, ElementArgParsers) {
    StringErrorHandler errh;
    Router* r = build("a :: LifeRecorder; q :: Idle -> Queue -> Discard;", errh);
    ASSERT_TRUE(r);
    Element* ctx = r->find("a");
    Element* e = nullptr;
    Args args(std::vector<std::string>{"q"}, ctx, &errh);
    EXPECT_EQ(args.read_mp("E", ElementArg(), e).complete(), 0);
    EXPECT_EQ(e, r->find("q"));
    Notifier* n = nullptr;
    StringErrorHandler e1;
    EXPECT_LT(Args(std::vector<std::string>{"a"}, ctx, &e1)
                  .read_mp("N", ElementCastArg<Notifier>(Notifier::EMPTY_NOTIFIER), n)
                  .complete(),
              0);
    EXPECT_NE(e1.text().find("N: "), std::string::npos) << e1.text();
    StringErrorHandler e2;
    EXPECT_LT(Args(std::vector<std::string>{"nosuch"}, ctx, &e2).read_mp("E", ElementArg(), e).complete(), 0);
    EXPECT_NE(e2.text().find("'nosuch' does not name an element"), std::string::npos) << e2.text();
    HandlerCall hc;
    StringErrorHandler e3;
    EXPECT_EQ(Args(std::vector<std::string>{"a.value 9"}, ctx, &e3).read_mp("H", HandlerCallArg(HandlerCall::writable), hc).complete(), 0) << e3.text();
    EXPECT_EQ(hc.value(), "9");
    EXPECT_LT(Args(std::vector<std::string>{"zz.value"}, ctx, &e3).read_mp("H", HandlerCallArg(), hc).complete(), 0);
    delete r;
}

}  // namespace

namespace {

// Holds MB megabytes of written memory in blocks of 256 KB, as an element's
// tables and codec contexts would.
class Ballast : public Element {
 public:
    const char* class_name() const override { return "Ballast"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        return Args(conf, this, errh).read_mp("MB", _mb).complete();
    }
    int initialize(ErrorHandler*) override {
        for (int i = 0; i < _mb * 4; ++i) {
            _blocks.emplace_back(new char[256 << 10]);
            std::memset(_blocks.back().get(), i + 1, 256 << 10);
        }
        return 0;
    }
    int _mb = 0;
    std::vector<std::unique_ptr<char[]>> _blocks;
};

long rss_kb() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// However often a running router is replaced by hot swaps, the process
// stays near the size of one router: the replaced ones' memory goes back.
TEST(Router, HotSwapsGiveTheReplacedRoutersMemoryBack) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in quarantine";
#endif
    click_add_element_type<Ballast>("Ballast");
    Master m(1);
    StringErrorHandler errh;
    const std::string conf = "b :: Ballast(32); Idle;";
    Router* r = Router::create(conf, "one.click", {}, &errh, &m);
    ASSERT_TRUE(r && r->initialize(&errh) == 0) << errh.text();
    long one = rss_kb();
    std::thread th([&] { m.run(r); });
    while (!m.running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 6; ++i) {
        Router* old = m.router();
        Router* nr = Router::create(conf, "hotconfig", {}, &errh, &m, old);
        ASSERT_TRUE(nr && nr->initialize(&errh) == 0) << errh.text();
        m.call_on_thread0([&] { m.hotswap(nr, &errh); });
        // The replaced router is deleted on thread 0's next round.
        m.call_on_thread0([] {});
    }
    long after = rss_kb();
    m.router()->please_stop_driver();
    th.join();
    delete m.router();
    EXPECT_LT(after, one + 16 * 1024) << "one router: " << one << " kB, after the swaps: " << after << " kB";
}

}  // namespace
