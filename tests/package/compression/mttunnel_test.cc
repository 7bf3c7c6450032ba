// WMTComp -> RSP -> WMTDeComp between two routers, each on several threads,
// joined by lossy links (the RSP test harness's elements): while the stream
// is open, every packet that a worker compressed into its stream arrives
// once, in order and intact; stateless packets may be lost.
#include <gtest/gtest.h>

#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "common/shim.hh"
#include "rsp/rsp.hh"
#include "rsp/rsp_wire.hh"
#include "rsp_harness.hh"

using namespace rsptest;

namespace {

// Records the IP id (= the packet's number) and stream bit of what the
// compressor hands to RSP.
class Tap : public Element {
  public:
    const char* class_name() const override { return "MtTunnelTap"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        const uint8_t* d = p->data();
        if (d[20 + 3] & WSHIM_STREAM) {
            WCompBase* c = static_cast<WCompBase*>(router()->find("comp")->cast("WCompBase"));
            SpinlockGuard cg(c->_lock);
            std::lock_guard<std::mutex> g(m);
            stream.push_back(rsp::load16(d + 4));
            // Compressed into a stream before RSP forced stateless compression.
            late += !c->streaming_in_force();
            starts += (d[20 + 1] & WSHIM_START_STREAM) != 0;
        }
        output(0).push(p);
    }
    std::mutex m;
    std::vector<uint32_t> stream;
    size_t late = 0, starts = 0;
};

const char* CONFIG = R"(
conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4, HOSTNAME $NAME);
peers :: RspTestNotifier;
src :: RspTestSource;
wrtt :: WPeerInfo(LOCAL_IP $LOCAL, NOTIFIER peers, PEER_OUTPUT_PORT 1);
rsp :: RSP(MODE $MODE, LOCAL_IP $LOCAL, WRTT wrtt, WCOMP comp, NOTIFIER peers, PEER_OUTPUT_PORT 1,
           SYN_DELAY_MS 10, DELAYED_ACK_MS 2, MAX_RX_COUNT $WINDOW);
src -> Queue(4000) -> comp :: WMTComp(THREADS $WORKERS, COMPRESSOR 4, LEVEL 3, METHOD streaming)
    -> tap :: MtTunnelTap -> [0]rsp;
out :: RspTestLink(WIRE $WIRE_OUT, LOSS $LOSS, DELAY_MS 2, SEED $SEED);
in :: RspTestIngress(WIRE $WIRE_IN);
rsp[0] -> [0]out;
rsp[2] -> [1]out;
wrtt[1] -> [2]out;
wrtt[2] -> [3]out;
in -> wrtt;
wrtt[0] -> [1]rsp;
wrtt[3] -> Discard;
rsp[1] -> dec :: WMTDeComp(RSP rsp, THREADS 4) -> sink :: RspTestSink;
dec[1] -> Discard;
)";

// One tunnel end: a router on a master of its own.
struct End {
    End(std::map<std::string, std::string> vars, int threads) {
        register_elements();
        static bool once = [] {
            click_add_element_type<Tap>("MtTunnelTap");
            return true;
        }();
        (void)once;
        local = vars["LOCAL"];
        peer = vars["PEER"];
        FileErrorHandler errh(stderr, "");
        master = new Master(threads);
        router = Router::create(CONFIG, "mttunnel.click", vars, &errh, master);
        if (!router || router->initialize(&errh) < 0) {
            delete router;
            router = nullptr;
            return;
        }
        thread = std::thread([this] { master->run(router); });
        while (!master->running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        master->call_on_thread0([&] { find<TestNotifier>("peers")->peer_discovered_notify(1, IPAddress(peer)); });
    }
    ~End() {
        if (router) {
            master->please_stop();
            thread.join();
            delete router;
        }
        delete master;
    }
    template <class T>
    T* find(const std::string& n) {
        return dynamic_cast<T*>(router->find(n));
    }
    int state() {
        int s = -1;
        master->call_on_thread0([&] {
            SpinlockGuard g(find<RSP>("rsp")->lock());
            s = find<RSP>("rsp")->state();
        });
        return s;
    }
    size_t tx_queue() {
        size_t n = 0;
        master->call_on_thread0([&] {
            SpinlockGuard g(find<RSP>("rsp")->lock());
            n = find<RSP>("rsp")->tx_queue_size();
        });
        return n;
    }
    uint64_t count(const std::string& h) {
        std::string v;
        master->call_on_thread0([&] {
            Element* e = nullptr;
            if (const Handler* x = router->find_handler(h, &e))
                v = x->call_read(e);
        });
        return std::strtoull(v.c_str(), nullptr, 10);
    }
    // Plain IP/UDP packets numbered by their IP id, with the payload the
    // harness's sink checks.
    void send(uint32_t first, uint32_t n, size_t size = 900) {
        IPAddress s(local), d(peer);
        master->call_on_thread0([&] {
            for (uint32_t id = first; id < first + n; ++id) {
                size_t len = 28 + size;
                WritablePacket* p = Packet::make(64, nullptr, uint32_t(len), 16);
                uint8_t* b = p->data();
                std::memset(b, 0, len);
                rsp::build_ipv4(b, uint16_t(len), uint16_t(id), 64, 17, s.addr(), d.addr());
                rsp::store16(b + 20, 4000);
                rsp::store16(b + 22, 5000);
                rsp::store16(b + 24, uint16_t(8 + size));
                rsp::store32(b + 28, id);
                for (size_t i = 36; i < len; ++i)
                    b[i] = uint8_t(id * 31 + i);
                p->set_network_header(b, 20);
                find<TestSource>("src")->send(p);
            }
        });
    }

    std::string local, peer;
    Master* master = nullptr;
    Router* router = nullptr;
    std::thread thread;
};

std::map<std::string, std::string> vars(bool a, int wire, int workers, const std::string& loss, int window) {
    std::map<std::string, std::string> v = {
        {"MODE", a ? "client" : "server"}, {"LOCAL", a ? "10.0.0.1" : "10.0.0.2"},
        {"PEER", a ? "10.0.0.2" : "10.0.0.1"}, {"NAME", a ? "alpha" : "bravo"},
        {"WIRE_OUT", std::to_string(a ? 2 * wire : 2 * wire + 1)},
        {"WIRE_IN", std::to_string(a ? 2 * wire + 1 : 2 * wire)},
        {"WORKERS", std::to_string(workers)}, {"LOSS", loss}, {"WINDOW", std::to_string(window)},
        {"SEED", std::to_string(wire * 7 + (a ? 1 : 2))}};
    return v;
}

// Two ends, A sending to B.
struct Tunnel {
    Tunnel(int wire, int workers, const std::string& loss, int window, int host_threads = 3)
        : a(vars(true, wire, workers, loss, window), host_threads),
          b(vars(false, wire, workers, loss, window), host_threads), window(window) {}

    bool open() {
        return a.router && b.router &&
               wait_for([&] { return a.state() == RSP::OPEN && b.state() == RSP::OPEN; }, 10000);
    }

    // Sends packets `first` to `first + n - 1` in bursts and checks the
    // stream's delivery; returns the stream packets that reached RSP after it
    // had forced stateless compression.
    size_t send_and_check(uint32_t first, uint32_t n) {
        Tap* tap = a.find<Tap>("tap");
        TestSink* sink = b.find<TestSink>("sink");
        uint64_t before = a.count("comp.compressed") + a.count("comp.uncompressed");
        for (uint32_t sent = 0; sent < n; sent += 200) {
            a.send(first + sent, std::min<uint32_t>(200, n - sent));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Everything left the compressor; the stream packets all arrive.
        EXPECT_TRUE(wait_for([&] { return a.count("comp.compressed") + a.count("comp.uncompressed") >= before + n; },
                             20000));
        std::vector<uint32_t> stream;
        size_t late;
        {
            std::lock_guard<std::mutex> g(tap->m);
            stream.swap(tap->stream);
            late = tap->late;
            tap->late = 0;
        }
        EXPECT_GT(stream.size(), window < 100 ? 0 : n / 2);
        wait_for([&] { return sink->count() >= stream.size() && a.tx_queue() == 0; }, 20000);
        std::set<uint32_t> stream_ids(stream.begin(), stream.end());
        std::vector<uint32_t> delivered_stream;
        for (const Delivered& d : sink->take())
            if (stream_ids.count(d.id & 0xFFFF))
                delivered_stream.push_back(d.id & 0xFFFF);
        EXPECT_EQ(delivered_stream, stream);
        EXPECT_EQ(sink->corrupt.load(), 0u);
        EXPECT_EQ(a.count("comp.holes"), 0u);
        EXPECT_EQ(a.state(), RSP::OPEN);
        EXPECT_EQ(b.state(), RSP::OPEN);
        return late;
    }

    End a, b;
    int window;
};

TEST(WMTCompTunnel, StreamDeliveredOnceInOrder) {
    int wire = 20;
    for (const char* loss : {"0", "1"})
        for (int workers = 1; workers <= 4; ++workers) {
            SCOPED_TRACE(std::to_string(workers) + " workers, loss " + loss + "%");
            Tunnel t(wire++, workers, loss, 2000);
            ASSERT_TRUE(t.open());
            t.send_and_check(0, 1600);
            EXPECT_EQ(t.b.count("dec.errors"), 0u);
        }
    // Everything on one host thread.
    Tunnel t(wire, 2, "1", 2000, 1);
    ASSERT_TRUE(t.open());
    t.send_and_check(0, 1000);
}

// RSP's window fills while the workers still hold packets of their streams:
// RSP forces stateless compression, and the stream packets already made
// still travel reliably, so the peer's decoders never miss one.
TEST(WMTCompTunnel, FullWindowKeepsStreamPackets) {
    Tunnel t(40, 3, "1", 24);
    ASSERT_TRUE(t.open());
    // Whether a worker's stream packet reaches RSP after the window forced
    // stateless compression depends on the threads' timing: more rounds go
    // until one did, up to five.
    size_t late = 0;
    for (uint32_t round = 0; round < 5 && late == 0; ++round)
        late += t.send_and_check(round * 2000, 2000);
    EXPECT_GT(late, 0u);
    EXPECT_GT(t.a.count("rsp.tx_queue_full_count"), 0u);
    EXPECT_EQ(t.b.count("dec.errors"), 0u);
}

// A stream packet that B cannot decode resets B's RSP (which sends its reset
// once it released its lock); both ends reconnect, A's workers start new
// streams and B's decoders follow them.
TEST(WMTCompTunnel, UndecodableStreamPacketRestartsTheStreams) {
    Tunnel t(41, 2, "0", 2000);
    ASSERT_TRUE(t.open());
    t.send_and_check(0, 400);
    EXPECT_EQ(t.a.find<Tap>("tap")->starts, 2u);
    int state_after = -1;
    t.b.master->call_on_thread0([&] {
        WritablePacket* p = Packet::make(64, nullptr, 20 + 4 + 8 + 40, 0);
        uint8_t* d = p->data();
        std::memset(d, 0x5a, p->length());
        rsp::build_ipv4(d, uint16_t(p->length()), 1, 64, 108, IPAddress("10.0.0.1").addr(),
                        IPAddress("10.0.0.2").addr());
        d[20] = WSHIM_MAGIC, d[21] = 1, d[22] = 17, d[23] = WSHIM_STREAM | WSHIM_ZSTD;
        p->set_network_header(d, 20);
        t.b.find<Element>("dec")->push(0, p);
        RSP* r = t.b.find<RSP>("rsp");
        SpinlockGuard g(r->lock());
        state_after = r->state();
    });
    EXPECT_EQ(t.b.count("dec.errors"), 1u);
    EXPECT_EQ(state_after, RSP::LISTEN);
    ASSERT_TRUE(t.open());
    t.send_and_check(400, 400);
    EXPECT_EQ(t.b.count("dec.errors"), 1u);
    EXPECT_EQ(t.a.find<Tap>("tap")->starts, 4u);  // both workers started again
}

}  // namespace
