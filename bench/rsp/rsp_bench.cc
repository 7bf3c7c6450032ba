// An RSP pair in one router on one thread, joined by links with a 1 ms delay:
// packets per second and Gbit/s of 1400-byte payloads at 0% and 1% loss,
// with the stream reliable and in order (checked at the far end).
#include <host/errorhandler.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "rsp/rsp_wire.hh"
#include "rsp_harness.hh"

using namespace rsptest;

namespace {

const char* CONFIG = R"(
conf :: WConf(MAX_PEERS 1, LOG_LEVEL 4);
pa :: RspTestNotifier; pb :: RspTestNotifier;
srcA :: RspTestSource; compA :: RspTestComp; srcB :: RspTestSource; compB :: RspTestComp;
wrttA :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER pa, PEER_OUTPUT_PORT 1, RTT_TIMER_INTERVAL 60);
wrttB :: WPeerInfo(LOCAL_IP 10.0.0.2, NOTIFIER pb, PEER_OUTPUT_PORT 1, RTT_TIMER_INTERVAL 60);
rspA :: RSP(MODE client, LOCAL_IP 10.0.0.1, WRTT wrttA, WCOMP compA, NOTIFIER pa, PEER_OUTPUT_PORT 1,
            SYN_DELAY_MS 1, DUPLICATE_ACK_FAST_RETRANSMIT 3, MIN_RETRANSMIT_DELAY_MS 20);
rspB :: RSP(MODE server, LOCAL_IP 10.0.0.2, WRTT wrttB, WCOMP compB, NOTIFIER pb, PEER_OUTPUT_PORT 1,
            DUPLICATE_ACK_FAST_RETRANSMIT 3, MIN_RETRANSMIT_DELAY_MS 20);
decA :: RspTestDecomp(RSP rspA); decB :: RspTestDecomp(RSP rspB);
sinkA :: RspTestSink; sinkB :: RspTestSink; otherA :: RspTestSink; otherB :: RspTestSink;
ab :: RspTestLink(LOSS $LOSS, DELAY_MS 1, SEED 5);
ba :: RspTestLink(LOSS $LOSS, DELAY_MS 1, SEED 6);
srcA -> compA -> [0]rspA; rspA[0] -> [0]ab; rspA[2] -> [1]ab; wrttA[1] -> [2]ab; wrttA[2] -> [3]ab;
srcB -> compB -> [0]rspB; rspB[0] -> [0]ba; rspB[2] -> [1]ba; wrttB[1] -> [2]ba; wrttB[2] -> [3]ba;
ab -> wrttB; wrttB[0] -> [1]rspB; wrttB[3] -> otherB; rspB[1] -> decB -> sinkB;
ba -> wrttA; wrttA[0] -> [1]rspA; wrttA[3] -> otherA; rspA[1] -> decA -> sinkA;
)";

struct Result {
    bool ok = false;
    double seconds = 0;
    uint64_t delivered = 0;
    uint64_t retransmits = 0;
    uint64_t fast = 0;
    int32_t wrtt = 0;
};

Result run(const std::string& loss, uint32_t n, size_t payload) {
    Result res;
    FileErrorHandler errh(stderr, "");
    Master m(1);
    Router* r = Router::create(CONFIG, "bench.click", {{"LOSS", loss}}, &errh, &m);
    if (!r || r->initialize(&errh) < 0) {
        delete r;
        return res;
    }
    std::thread t([&] { m.run(r); });
    while (!m.running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto find = [&](const char* name) { return r->find(name); };
    RSP* a = dynamic_cast<RSP*>(find("rspA"));
    RSP* b = dynamic_cast<RSP*>(find("rspB"));
    TestSink* sink = dynamic_cast<TestSink*>(find("sinkB"));
    TestSource* src = dynamic_cast<TestSource*>(find("srcA"));
    m.call_on_thread0([&] {
        dynamic_cast<TestNotifier*>(find("pa"))->peer_discovered_notify(1, IPAddress("10.0.0.2"));
        dynamic_cast<TestNotifier*>(find("pb"))->peer_discovered_notify(1, IPAddress("10.0.0.1"));
    });
    auto open = [&] {
        bool o = false;
        m.call_on_thread0([&] { o = a->state() == RSP::OPEN && b->state() == RSP::OPEN; });
        return o;
    };
    bool opened = wait_for(open, 10000);
    // Pre-built packets, cloned per send so that the timed loop measures RSP.
    const size_t len = 20 + 4 + 8 + payload;
    std::vector<std::vector<uint8_t>> tmpl(256, std::vector<uint8_t>(len));
    for (size_t k = 0; k < tmpl.size(); ++k) {
        uint8_t* d = tmpl[k].data();
        rsp::build_ipv4(d, uint16_t(len), 1, 64, 108, IPAddress("10.0.0.1").addr(), IPAddress("10.0.0.2").addr());
        d[20] = WSHIM_MAGIC;
        d[22] = 17;
        rsp::store16(d + 28, uint16_t(8 + payload));
    }
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::seconds(60);
    uint32_t sent = 0;
    uint64_t got = 0;
    while (opened && got < n && std::chrono::steady_clock::now() < deadline) {
        // Keep at most 1000 packets in flight: the window stays open and the
        // compressor streams throughout.
        uint32_t room = sent - uint32_t(got) < 1000 ? 1000 - (sent - uint32_t(got)) : 0;
        uint32_t batch = std::min<uint32_t>({room, 256, n - sent});
        if (batch) {
            m.call_on_thread0([&] {
                for (uint32_t k = 0; k < batch; ++k) {
                    uint32_t id = sent + k;
                    auto& tp = tmpl[id & 255];
                    WritablePacket* p = Packet::make(64, nullptr, uint32_t(len), 16);
                    std::memcpy(p->data(), tp.data(), len);
                    uint8_t* d = p->data();
                    rsp::store32(d + 32, id);
                    for (size_t i = 40; i < len; ++i)
                        d[i] = uint8_t(id * 31 + i);
                    p->set_network_header(d, 20);
                    src->send(p);
                }
            });
            sent += batch;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        got = sink->count();
    }
    auto end = std::chrono::steady_clock::now();
    res.seconds = std::chrono::duration<double>(end - start).count();
    auto v = sink->take();
    res.delivered = v.size();
    res.ok = opened && v.size() == n && sink->corrupt == 0;
    for (uint32_t i = 0; res.ok && i < n; ++i)
        res.ok = v[i].id == i;
    m.call_on_thread0([&] {
        a->lock_acquire();
        res.retransmits = a->counters().tx_retransmit;
        res.fast = a->counters().tx_fast_retransmit;
        res.wrtt = a->rtt_info().weighted_rtt;
        a->lock_release();
    });
    m.please_stop();
    t.join();
    delete r;
    return res;
}

}  // namespace

int main(int argc, char** argv) {
    register_elements();
    uint32_t n = argc > 1 ? uint32_t(std::stoul(argv[1])) : 100000;
    const size_t payload = 1400;
    std::printf("RSP pair, one thread, %u packets of %zu bytes payload, 1 ms link delay\n", n, payload);
    for (const char* loss : {"0", "1"}) {
        Result r = run(loss, n, payload);
        double pps = r.seconds > 0 ? r.delivered / r.seconds : 0;
        std::printf("loss %s%%: %s delivered %llu in %.3f s: %.0f packets/s, %.3f Gbit/s payload; "
                    "retransmits: %llu by timer, %llu fast; weighted rtt %d ms\n",
                    loss, r.ok ? "OK" : "FAILED", (unsigned long long)r.delivered, r.seconds, pps,
                    pps * payload * 8 / 1e9, (unsigned long long)r.retransmits, (unsigned long long)r.fast, r.wrtt);
    }
    return 0;
}
