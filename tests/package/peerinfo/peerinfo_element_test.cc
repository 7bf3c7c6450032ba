// WPeerInfo pairs: RTT probes and the host-name exchange across a delaying link.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>

#include "peerinfo/peerinfo_wire.hh"
#include "peerinfo/wpeerinfo.hh"
#include "rsp/rsp_wire.hh"
#include "rsp_harness.hh"

using namespace rsptest;

namespace {

int next_wire() {
    static int n = 40;
    return ++n;
}

struct InfoListener : public PeerInfoListener {
    std::mutex m;
    std::vector<std::pair<std::string, std::string>> seen;  // peer ip, host name
    void peer_info_notify(whost_info& info) override {
        std::lock_guard<std::mutex> g(m);
        seen.emplace_back(info.peer_ip.unparse(), info.hostname);
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return seen.size();
    }
};

}  // namespace

// The RTT comes out within a few milliseconds of the emulated delay, host
// names cross once and reach the listeners once.
TEST(WPeerInfoPair, MeasuresRttAndExchangesHostNames) {
    int w = next_wire();
    auto va = vars_a(w, ", DELAY_MS 15"), vb = vars_b(w, ", DELAY_MS 15");
    va["WRTT"] = vb["WRTT"] = ", RTT_TIMER_INTERVAL 1, HOST_INFO_TIMER_INTERVAL 1";
    End a(va), b(vb);
    ASSERT_TRUE(a.ok() && b.ok());
    InfoListener la, lb;
    a.call([&] { a.find<WPeerInfo>("wrtt")->add_listener(&la); });
    b.call([&] { b.find<WPeerInfo>("wrtt")->add_listener(&lb); });
    b.announce_peer("10.0.0.1");
    a.announce_peer("10.0.0.2");

    ASSERT_TRUE(wait_for([&] { return a.read("wrtt.peerhostname") == "bravo" && b.read("wrtt.peerhostname") == "alpha"; },
                         3000));
    ASSERT_TRUE(wait_for([&] { return a.read("wrtt.wrtt") != "65535" && b.read("wrtt.wrtt") != "65535"; }, 4000));
    int rtt_a = std::atoi(a.read("wrtt.wrtt").c_str()), rtt_b = std::atoi(b.read("wrtt.wrtt").c_str());
    EXPECT_NEAR(rtt_a, 30, 8);
    EXPECT_NEAR(rtt_b, 30, 8);
    EXPECT_EQ(a.read("wrtt.missed_responses"), "0");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_EQ(la.count(), 1u);
    EXPECT_EQ(la.seen[0].first, "10.0.0.2");
    EXPECT_EQ(la.seen[0].second, "bravo");
    ASSERT_EQ(lb.count(), 1u);
    EXPECT_EQ(lb.seen[0].second, "alpha");
    a.call([&] { a.find<WPeerInfo>("wrtt")->remove_listener(&la); });
    b.call([&] { b.find<WPeerInfo>("wrtt")->remove_listener(&lb); });
}

// A silent peer counts missed responses; PATH_LINK 2 sends foreign path
// links to output 3 and does not exchange host names.
TEST(WPeerInfoPair, MissedResponsesAndPathLinks) {
    int w = next_wire();
    auto va = vars_a(w), vb = vars_b(w);
    va["WRTT"] = ", RTT_TIMER_INTERVAL 1, PATH_LINK 2";
    End a(va);
    ASSERT_TRUE(a.ok());
    a.announce_peer("10.0.0.2");  // nobody answers
    ASSERT_TRUE(wait_for([&] { return a.read("wrtt.missed_responses") == "2"; }, 4500));
    EXPECT_EQ(a.read("wrtt.wrtt"), "65535");

    // An RTT request of path link 1 from the peer leaves on output 3.
    ShimConfig c;
    std::vector<uint8_t> b(100);
    b.resize(peerinfo::build_rtt(b.data(), b.size(), c,
                                 {IPAddress("10.0.0.2").addr(), IPAddress("10.0.0.1").addr(), 1}, 1, WRTT_REQUEST, 5));
    a.call([&] {
        WritablePacket* p = Packet::make(0, b.data(), uint32_t(b.size()), 0);
        a.find<Element>("in")->push(0, p);
    });
    // (the sink counts what is not tunnel data as corrupt)
    EXPECT_TRUE(wait_for([&] { return a.find<TestSink>("other")->corrupt == 1; }, 1000));
    EXPECT_EQ(a.read("wrtt.peerhostname"), "");
}

// Random, truncated and bit-flipped peer-info packets are dropped or passed
// on; the exchange still works afterwards.
TEST(WPeerInfoPair, FuzzInput) {
    int w = next_wire();
    auto va = vars_a(w), vb = vars_b(w);
    va["WRTT"] = vb["WRTT"] = ", RTT_TIMER_INTERVAL 1, HOST_INFO_TIMER_INTERVAL 1";
    End a(va);
    ASSERT_TRUE(a.ok());
    a.announce_peer("10.0.0.2");
    ShimConfig c;
    peerinfo::Addr from{IPAddress("10.0.0.2").addr(), IPAddress("10.0.0.1").addr(), 1};
    std::vector<std::vector<uint8_t>> seeds;
    for (uint8_t t : {WRTT_REQUEST, WRTT_RESPONSE}) {
        std::vector<uint8_t> b(100);
        b.resize(peerinfo::build_rtt(b.data(), b.size(), c, from, 0, t, 7));
        seeds.push_back(b);
    }
    for (bool req : {true, false}) {
        std::vector<uint8_t> b(400);
        b.resize(peerinfo::build_host_info(b.data(), b.size(), c, from, req, "fuzzhost", 8));
        seeds.push_back(b);
    }
    std::mt19937 rng(77);
    for (int round = 0; round < 10; ++round)
        a.call([&] {
            Element* in = a.find<Element>("in");
            for (int i = 0; i < 500; ++i) {
                auto b = seeds[rng() % seeds.size()];
                if (rng() % 2)
                    b.resize(rng() % (b.size() + 1));
                for (int k = rng() % 4; k; --k)
                    if (!b.empty())
                        b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
                if (rng() % 4 == 0 && b.size() > 28) {
                    // Keep a valid checksum over damaged fields.
                    size_t hdr = 24;
                    if (b.size() >= hdr + 4 && (b[0] & 0x0F) == 5 && rsp::load16(&b[2]) <= b.size() &&
                        rsp::load16(&b[2]) >= hdr + 4)
                        peerinfo::set_checksum(b.data(), 20, rsp::load16(&b[2]), hdr);
                }
                WritablePacket* p = Packet::make(0, b.data(), uint32_t(b.size()), 0);
                in->push(0, p);
            }
        });
    // Let the answers to the fuzzed requests die on the unconnected wire.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The fuzz may have taught A a wrong name; the peer's own request corrects it.
    End b(vb);
    ASSERT_TRUE(b.ok());
    b.announce_peer("10.0.0.1");
    EXPECT_TRUE(wait_for([&] { return b.read("wrtt.peerhostname") == "alpha"; }, 3000));
    EXPECT_TRUE(wait_for([&] { return a.read("wrtt.peerhostname") == "bravo"; }, 3000))
        << a.read("wrtt.peerhostname");
}
