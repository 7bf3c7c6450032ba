// WPeerInfo pairs: RTT probes and the host-name exchange across a delaying link.
#include <gtest/gtest.h>

#include <host/errorhandler.hh>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>

#include "peerinfo/peerinfo_wire.hh"
#include "peerinfo/wpeerinfo.hh"
#include "rsp/rsp_wire.hh"
#include "rsp_harness.hh"
#include "sessions/flowtable.hh"
#include "sessions/peersfile.hh"

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
    // The link delays each way by 15 ms, so no probe comes back in under
    // 30 ms (29: millisecond clock rounding); a loaded machine may answer
    // late, but never by anything near the 1 s probe interval. Of two
    // readings a second apart the lower one is kept.
    auto rtt = [](End& e) { return std::atoi(e.read("wrtt.wrtt").c_str()); };
    int rtt_a = rtt(a), rtt_b = rtt(b);
    EXPECT_EQ(a.read("wrtt.missed_responses"), "0");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    rtt_a = std::min(rtt_a, rtt(a));
    rtt_b = std::min(rtt_b, rtt(b));
    for (int v : {rtt_a, rtt_b}) {
        EXPECT_GE(v, 29);
        EXPECT_LE(v, 150);
    }
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

// Host names crossing between two ends reach each end's FlowTable (which
// announces the peer from its peers file) and are written to that file:
// names with separators, quotes, backslashes and bytes beyond ASCII come
// back intact, and a name longer than 255 bytes arrives cut to 255.
TEST(WPeerInfoPair, HostNamesReachFlowTableAndPeersFile) {
    std::string dir = (std::filesystem::temp_directory_path() / "quilo-names-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    struct Cleanup {
        std::string d;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(d, ec);
        }
    } cleanup{dir};
    std::string file_a = dir + "/peers-a", file_b = dir + "/peers-b";
    std::ofstream(file_a) << "10.0.0.2, 1\n";
    std::ofstream(file_b) << "10.0.0.1, 1, stale-name\n";
    auto flow_table = [](const std::string& path) {
        return "sm :: SessionManager; Idle -> [0]sm[0] -> Discard; Idle -> [1]sm[1] -> Discard;"
               "peers :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH \"" + path + "\");";
    };
    // As written in the configuration, and as the peer should learn it.
    const std::string name_a_conf = "\"al pha, \\\"one\\\" \\\\ \xc3\xa9t\xc3\xa9 #1\"";
    const std::string name_a = "al pha, \"one\" \\ \xc3\xa9t\xc3\xa9 #1";
    std::string name_b;
    for (int i = 0; name_b.size() < 300; ++i)
        name_b += "bravo" + std::to_string(i) + "-";
    name_b.resize(300);

    int w = next_wire();
    auto va = vars_a(w), vb = vars_b(w);
    va["WRTT"] = vb["WRTT"] = ", RTT_TIMER_INTERVAL 1, HOST_INFO_TIMER_INTERVAL 1";
    va["PEERS"] = flow_table(file_a);
    vb["PEERS"] = flow_table(file_b);
    va["NAME"] = name_a_conf;
    vb["NAME"] = name_b;
    End a(va), b(vb);
    ASSERT_TRUE(a.ok() && b.ok());

    auto table_name = [](End& e) {
        std::string n = "?";
        e.call([&] {
            auto peers = e.find<FlowTable>("peers")->peers();
            if (peers.size() == 1)
                n = peers[0].hostname;
        });
        return n;
    };
    auto file_name = [](const std::string& path) {
        std::vector<PeerInfo> back;
        FileErrorHandler errh(stderr, "");
        if (peersfile::read(path, &back, &errh) < 0 || back.size() != 1)
            return std::string("?");
        return back[0].hostname;
    };
    const std::string want_b = name_b.substr(0, 255);
    EXPECT_TRUE(wait_for([&] { return table_name(a) == want_b && table_name(b) == name_a; }, 4000))
        << table_name(a) << " | " << table_name(b);
    EXPECT_TRUE(wait_for([&] { return file_name(file_a) == want_b && file_name(file_b) == name_a; }, 2000))
        << file_name(file_a) << " | " << file_name(file_b);
    EXPECT_EQ(a.read("wrtt.peerhostname"), want_b);
    // The peers keep their ports; the file holds one line per peer.
    std::vector<PeerInfo> back;
    FileErrorHandler errh(stderr, "");
    ASSERT_EQ(peersfile::read(file_b, &back, &errh), 0);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].peer, IPAddress("10.0.0.1"));
    EXPECT_EQ(back[0].port, 1);
}

// A hot reconfiguration keeps the measured RTT and the peer's name: the
// handlers answer at once, and the peer is not told the name again.
TEST(WPeerInfoPair, HotSwapKeepsRttAndPeerName) {
    int w = next_wire();
    auto va = vars_a(w, ", DELAY_MS 5"), vb = vars_b(w, ", DELAY_MS 5");
    va["WRTT"] = vb["WRTT"] = ", RTT_TIMER_INTERVAL 1, HOST_INFO_TIMER_INTERVAL 30";
    End a(va), b(vb);
    ASSERT_TRUE(a.ok() && b.ok());
    InfoListener lb;
    b.call([&] { b.find<WPeerInfo>("wrtt")->add_listener(&lb); });
    b.announce_peer("10.0.0.1");
    a.announce_peer("10.0.0.2");
    ASSERT_TRUE(wait_for([&] { return a.read("wrtt.peerhostname") == "bravo" && a.read("wrtt.wrtt") != "65535"; },
                         4000));
    ASSERT_TRUE(wait_for([&] { return lb.count() == 1; }, 2000));
    std::string rtt = a.read("wrtt.wrtt");
    ASSERT_TRUE(a.hotswap().ok);
    EXPECT_EQ(a.read("wrtt.peerhostname"), "bravo");
    EXPECT_EQ(a.read("wrtt.wrtt"), rtt);
    // Probing goes on from the taken peer (the harness notifier is new and silent).
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    EXPECT_EQ(a.read("wrtt.missed_responses"), "0");
    EXPECT_NE(a.read("wrtt.wrtt"), "65535");
    EXPECT_EQ(lb.count(), 1u);
    // A new local name is announced at once.
    ASSERT_TRUE(a.hotswap({{"NAME", "alpha2"}}).ok);
    EXPECT_TRUE(wait_for([&] { return b.read("wrtt.peerhostname") == "alpha2"; }, 2000));
    b.call([&] { b.find<WPeerInfo>("wrtt")->remove_listener(&lb); });
}
