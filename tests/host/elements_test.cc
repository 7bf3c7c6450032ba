// Host elements and port-count/processing forms, driven by hand.
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Push source driven by the test: src->emit(p).
class HandSource : public Element {
 public:
    const char* class_name() const override { return "HandSource"; }
    const char* port_count() const override { return "0/1"; }
    const char* processing() const override { return PUSH; }
    void emit(Packet* p) { output(0).push(p); }
};

// Collects what it receives (push) or pulls on demand (pull).
class Collector : public Element {
 public:
    const char* class_name() const override { return "Collector"; }
    const char* port_count() const override { return "1-/0"; }
    void push(int port, Packet* p) override {
        ports.push_back(port);
        got.push_back(p);
    }
    ~Collector() override {
        for (Packet* p : got)
            p->kill();
    }
    std::vector<int> ports;
    std::vector<Packet*> got;
};

// Elements declaring the port-count and processing forms.
#define PORTS_ELEMENT(NAME, PORTS, PROC)                                     \
    class NAME : public Element {                                             \
     public:                                                                  \
        const char* class_name() const override { return #NAME; }             \
        const char* port_count() const override { return PORTS; }            \
        const char* processing() const override { return PROC; }             \
    };
PORTS_ELEMENT(P1_1to2, "1/1-2", "a")
PORTS_ELEMENT(P2plus, "2-/2-", "a")
PORTS_ELEMENT(P1_any, "1/-", "h")
PORTS_ELEMENT(PEqual, "1-/=", "h")
PORTS_ELEMENT(PBadCount, "x/1", "a")
PORTS_ELEMENT(PPushPull, "2/1", "hl/h")

struct Register {
    Register() {
        click_add_element_type<HandSource>("HandSource");
        click_add_element_type<Collector>("Collector");
        click_add_element_type<P1_1to2>("P1_1to2");
        click_add_element_type<P2plus>("P2plus");
        click_add_element_type<P1_any>("P1_any");
        click_add_element_type<PEqual>("PEqual");
        click_add_element_type<PBadCount>("PBadCount");
        click_add_element_type<PPushPull>("PPushPull");
    }
} reg;

struct Built {
    StringErrorHandler errh;
    Router* r;
    explicit Built(const std::string& text) {
        r = Router::create(text, "el.click", {}, &errh);
        if (r && r->initialize(&errh) < 0) {
            delete r;
            r = nullptr;
        }
    }
    ~Built() { delete r; }
    template <typename T> T* get(const char* name) { return static_cast<T*>(r->find(name)); }
    std::string read(const std::string& h) { return HandlerCall::call_read(r, h); }
};

TEST(PortCounts, RangesAndEquals) {
    {
        Built b("s :: HandSource -> e :: P1_1to2 -> Discard; e [1] -> Discard;");
        ASSERT_TRUE(b.r) << b.errh.text();
        EXPECT_EQ(b.get<Element>("e")->noutputs(), 2);
    }
    {
        Built b("s :: HandSource -> e :: P1_1to2 -> Discard; e [2] -> Discard;");
        EXPECT_FALSE(b.r);
        EXPECT_NE(b.errh.text().find("'e :: P1_1to2' has no output 2"), std::string::npos) << b.errh.text();
    }
    {
        // "2-/2-": at least two of each, unconnected ones are errors.
        Built b("HandSource -> [0] e :: P2plus -> Discard;");
        EXPECT_FALSE(b.r);
        EXPECT_NE(b.errh.text().find("'e :: P2plus' input 1 not connected"), std::string::npos) << b.errh.text();
        EXPECT_NE(b.errh.text().find("'e :: P2plus' output 1 not connected"), std::string::npos) << b.errh.text();
    }
    {
        Built b("HandSource -> [0] e :: P2plus; HandSource -> [1] e; HandSource -> [2] e;"
                "e[0] -> Discard; e[1] -> Discard; e[2] -> Discard; e[3] -> Discard;");
        ASSERT_TRUE(b.r) << b.errh.text();
        EXPECT_EQ(b.get<Element>("e")->ninputs(), 3);
        EXPECT_EQ(b.get<Element>("e")->noutputs(), 4);
    }
    {
        // "1/-": any number of outputs, zero included.
        Built b("HandSource -> e :: P1_any;");
        ASSERT_TRUE(b.r) << b.errh.text();
        EXPECT_EQ(b.get<Element>("e")->noutputs(), 0);
    }
    {
        // "1-/=": as many outputs as inputs.
        Built b("HandSource -> [0] e :: PEqual; HandSource -> [1] e; e[0] -> Discard; e[1] -> Discard;");
        ASSERT_TRUE(b.r) << b.errh.text();
        EXPECT_EQ(b.get<Element>("e")->noutputs(), 2);
        Built c("HandSource -> [0] e :: PEqual; HandSource -> [1] e; e[0] -> Discard;");
        EXPECT_FALSE(c.r);
        EXPECT_NE(c.errh.text().find("output 1 not connected"), std::string::npos) << c.errh.text();
    }
    {
        Built b("HandSource -> e :: PBadCount -> Discard;");
        EXPECT_FALSE(b.r);
        EXPECT_NE(b.errh.text().find("bad port count"), std::string::npos) << b.errh.text();
    }
}

TEST(PortCounts, PerPortProcessing) {
    Built b("HandSource -> [0] e :: PPushPull -> Discard; Idle -> Queue -> [1] e;");
    ASSERT_TRUE(b.r) << b.errh.text();
    Element* e = b.get<Element>("e");
    EXPECT_TRUE(e->input_is_push(0));
    EXPECT_TRUE(e->input_is_pull(1));
    EXPECT_TRUE(e->output_is_push(0));
    Built c("HandSource -> [1] e :: PPushPull -> Discard; Idle -> [0] e;");
    EXPECT_FALSE(c.r);
    EXPECT_NE(c.errh.text().find("push output 0 connected to 'e :: PPushPull' pull input 1"), std::string::npos)
        << c.errh.text();
}

TEST(HostElements, TeePaintCounterNull) {
    Built b("s :: HandSource -> p :: Paint(9) -> n :: Null -> c :: Counter -> t :: Tee;"
            "t[0] -> [0] k :: Collector; t[1] -> [1] k; t[2] -> Discard;");
    ASSERT_TRUE(b.r) << b.errh.text();
    WritablePacket* p = Packet::make(100);
    b.get<HandSource>("s")->emit(p);
    Collector* k = b.get<Collector>("k");
    ASSERT_EQ(k->got.size(), 2u);
    EXPECT_EQ(k->ports, (std::vector<int>{0, 1}));
    EXPECT_EQ(k->got[0]->anno_u8(PAINT_ANNO_OFFSET), 9);
    EXPECT_EQ(k->got[0]->data(), k->got[1]->data());   // clones share data
    EXPECT_TRUE(k->got[0]->shared());
    EXPECT_EQ(b.read("c.count"), "1\n");
    EXPECT_EQ(b.read("c.byte_count"), "100\n");
    EXPECT_EQ(HandlerCall::call_write(b.r, "c.reset", ""), 0);
    EXPECT_EQ(b.read("c.count"), "0\n");
    EXPECT_EQ(b.read("p.color"), "9");
    EXPECT_EQ(HandlerCall::call_write(b.r, "p.color", "12"), 0);
    b.get<HandSource>("s")->emit(Packet::make(1));
    EXPECT_EQ(k->got[2]->anno_u8(PAINT_ANNO_OFFSET), 12);
    Built bad("HandSource -> Paint(256) -> Discard;");
    EXPECT_FALSE(bad.r);
    Built anno("s :: HandSource -> Paint(5, 50) -> k :: Collector;");
    ASSERT_TRUE(anno.r) << anno.errh.text();
    anno.get<HandSource>("s")->emit(Packet::make(1));
    EXPECT_EQ(anno.get<Collector>("k")->got[0]->anno_u8(50), 5);
    EXPECT_EQ(anno.get<Collector>("k")->got[0]->anno_u8(PAINT_ANNO_OFFSET), 0);
}

TEST(HostElements, QueueCountsDropsAndOrder) {
    Built b("s :: HandSource -> q :: Queue(3) -> k :: Collector;");
    ASSERT_TRUE(b.r) << b.errh.text();
    Element* q = b.get<Element>("q");
    for (int i = 0; i < 5; ++i) {
        WritablePacket* p = Packet::make(10);
        p->data()[0] = (unsigned char) i;
        b.get<HandSource>("s")->emit(p);
    }
    EXPECT_EQ(b.read("q.length"), "3\n");
    EXPECT_EQ(b.read("q.drops"), "2\n");
    EXPECT_EQ(b.read("q.highwater_length"), "3\n");
    EXPECT_EQ(b.read("q.capacity"), "3\n");
    for (int i = 0; i < 3; ++i) {
        Packet* p = q->pull(0);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->data()[0], i);
        p->kill();
    }
    EXPECT_EQ(q->pull(0), nullptr);
    EXPECT_EQ(b.read("q.length"), "0\n");
    // The empty notifier follows the queue.
    Notifier* n = static_cast<Notifier*>(q->cast(Notifier::EMPTY_NOTIFIER));
    ASSERT_TRUE(n);
    EXPECT_FALSE(n->active());
    b.get<HandSource>("s")->emit(Packet::make(1));
    EXPECT_TRUE(n->active());
    // Leftover packets are freed at cleanup (checked by the leak checker).
}

TEST(HostElements, PullDiscardAndUnqueueRun) {
    Master m(1);
    StringErrorHandler errh;
    Router* r = Router::create("s :: InfiniteSource(LIMIT 20, BURST 4) -> q :: Queue(100) -> u :: Unqueue(2) -> "
                               "c :: Counter -> q2 :: Queue -> d :: Discard;"
                               "Idle -> Queue -> d2 :: Discard;",
                               "el.click", {}, &errh, &m);
    ASSERT_TRUE(r && r->initialize(&errh) == 0) << errh.text();
    Timer stop([](Timer* t, void*) { t->router()->please_stop_driver(); }, nullptr);
    stop.initialize(r);
    stop.schedule_after_ms(50);
    m.run(r);
    EXPECT_EQ(HandlerCall::call_read(r, "c.count"), "20\n");
    EXPECT_EQ(HandlerCall::call_read(r, "d.count"), "20\n");
    EXPECT_EQ(HandlerCall::call_read(r, "u.count"), "20\n");
    EXPECT_EQ(HandlerCall::call_read(r, "d2.count"), "0\n");
    // Idle upstream: the pulling Discard's task went to sleep.
    EXPECT_EQ(HandlerCall::call_read(r, "d2.scheduled"), "false");
    EXPECT_EQ(HandlerCall::call_read(r, "s.count"), "20\n");
    delete r;
}

TEST(HostElements, InfiniteSourceData) {
    // A pull output: packets come straight from pull().
    Built e("s :: InfiniteSource(DATA \"abc\", LENGTH 7, LIMIT 2); s -> Unqueue -> k :: Collector;");
    ASSERT_TRUE(e.r) << e.errh.text();
    Element* src = e.get<Element>("s");
    EXPECT_TRUE(src->output_is_pull(0));
    Packet* a = src->pull(0);
    Packet* a2 = src->pull(0);
    ASSERT_TRUE(a && a2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a->data()), a->length()), "abcabca");
    EXPECT_EQ(src->pull(0), nullptr);   // LIMIT reached
    EXPECT_EQ(HandlerCall::call_write(e.r, "s.limit", "3"), 0);
    Packet* a3 = src->pull(0);
    EXPECT_TRUE(a3);
    a->kill();
    a2->kill();
    if (a3)
        a3->kill();
    StringErrorHandler err;
    EXPECT_LT(HandlerCall::call_write(e.r, "s.limit", "lots", &err), 0);
    EXPECT_EQ(HandlerCall::call_read(e.r, "s.limit"), "3");
}

}  // namespace
