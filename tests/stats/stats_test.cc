#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "catalog.hh"
#include "ctlproto.hh"
#include "history.hh"
#include "server.hh"

using namespace qstats;

namespace {

const std::string kStream =
    "Click::ControlSocket/1.3\r\n"
    "200 Read handler 'c.count' OK\r\nDATA 3\r\n120"
    "511-No element named 'x'\r\n511 and more\r\n"
    "200 Read handler 'q.list' OK\r\nDATA 0\r\n"
    "200 Read handler 'rsp1.state' OK\r\nDATA 24\r\ntx_queue: 7\nrx_queue: 2\n";

// Every reply the parser yields for `in` fed in pieces of `piece` bytes.
std::vector<Reply> parse(const std::string& in, size_t piece, bool* failed) {
    ReplyParser p;
    std::string buf;
    std::vector<Reply> out;
    *failed = false;
    for (size_t off = 0; off < in.size() && !*failed; off += piece) {
        buf.append(in, off, piece);
        Reply r;
        std::string err;
        for (;;) {
            auto res = p.next(buf, &r, &err);
            if (res == ReplyParser::Result::Reply) {
                out.push_back(r);
            } else {
                *failed = res == ReplyParser::Result::Error;
                EXPECT_LE(buf.size(), ReplyParser::kMaxLine + ReplyParser::kMaxData + 1);
                break;
            }
        }
    }
    return out;
}

}  // namespace

TEST(ReplyParser, RepliesWholeOrInPiecesAndCutsWaitForMore) {
    for (size_t piece : {kStream.size(), size_t(1), size_t(7)}) {
        bool failed;
        auto r = parse(kStream, piece, &failed);
        ASSERT_FALSE(failed);
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0].code, 200);
        EXPECT_EQ(r[0].data, "120");
        EXPECT_EQ(r[1].code, 511);
        EXPECT_FALSE(r[1].has_data);
        EXPECT_EQ(r[2].data, "");
        EXPECT_TRUE(r[2].has_data);
        EXPECT_EQ(r[3].data, "tx_queue: 7\nrx_queue: 2\n");
    }
    // A reply cut anywhere is never an error and never a wrong reply.
    for (size_t cut = 0; cut < kStream.size(); ++cut) {
        bool failed;
        auto r = parse(kStream.substr(0, cut), 5, &failed);
        EXPECT_FALSE(failed) << cut;
        EXPECT_LE(r.size(), 4u);
    }
}

TEST(ReplyParser, RejectsHostileInput) {
    const std::string banner = "Click::ControlSocket/1.3\n";
    for (const std::string& bad :
         {std::string("HTTP/1.1 200 OK\r\n"), banner + "20x nope\n", banner + "200 OK\nDATA -1\n",
          banner + "200 OK\nDATA 99999999999999999999\n", banner + "200 OK\nDATA 4194305\n",
          banner + "200 OK\nVALUE 3\n", banner + std::string(ReplyParser::kMaxLine + 10, 'x'),
          std::string(ReplyParser::kMaxLine + 10, 'C')}) {
        bool failed;
        parse(bad, 3, &failed);
        EXPECT_TRUE(failed) << printable(bad);
    }
    // Random bytes after a banner, and random bytes inside a valid stream:
    // bounded, no crash (ASan watches).
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::string s = i % 2 ? banner : kStream;
        size_t at = rng() % s.size();
        std::string noise(rng() % 64, '\0');
        for (char& c : noise)
            c = char(rng() % 4 ? "0123456789 \nDATA-"[rng() % 17] : char(rng()));
        s.insert(at, noise);
        bool failed;
        parse(s, 1 + rng() % 9, &failed);
    }
}

TEST(Catalog, DiscoversByHandlersSkipsAbsentAndSumsTraffic) {
    auto info = [](std::string n, std::string cls, std::set<std::string> reads, std::string config = "") {
        return ElementInfo{std::move(n), std::move(cls), std::move(config), std::move(reads)};
    };
    std::vector<ElementInfo> els = {
        info("lan_tx1", "Counter", {"count", "byte_count", "rate"}),
        info("wan_tx1", "Counter", {"count", "byte_count"}),
        info("wan_tx1_own", "Counter", {"count", "byte_count"}),
        info("rspX", "RSP", {"connection_state", "tx_retransmit_count", "state"}, "MODE client, PEER_OUTPUT_PORT 2"),
        // A class quilo-stats has never heard of, with drop counters.
        info("aqm", "WNewQueueManager", {"drops", "drops_latency", "drops_loss", "config"}),
        info("lone", "Idle", {"config"}),
    };
    Catalog c;
    c.build(els);
    std::map<std::string, std::string> values = {
        {"lan_tx1.count", "10"},       {"lan_tx1.byte_count", "15000"},  {"wan_tx1.count", "4"},
        {"wan_tx1.byte_count", "900"}, {"wan_tx1_own.count", "2\n"},     {"wan_tx1_own.byte_count", "100"},
        {"rspX.connection_state", "OPEN\n"}, {"rspX.tx_retransmit_count", "3"},
        {"rspX.state", "tx_queue: 5\nrx_queue: 1\n"}, {"aqm.drops", "nan"},
        {"aqm.drops_latency", "1e999"}, {"aqm.drops_loss", "6"}};
    for (const std::string& r : c.reads())
        EXPECT_TRUE(values.count(r)) << "reads " << r;
    std::vector<Reply> replies;
    for (const std::string& r : c.reads()) {
        Reply rep;
        rep.code = r == "rspX.tx_retransmit_count" ? 510 : 200;  // went away in between
        rep.has_data = rep.code == 200;
        rep.data = values[r];
        replies.push_back(rep);
    }
    std::map<std::string, double> got;
    for (const Sample& s : c.extract(replies))
        got[series_key(*s.family, s.labels)] = s.value;
    EXPECT_EQ(got["quilo_lan_bytes_total{peer=\"1\",direction=\"tx\",}"], 15000);
    EXPECT_EQ(got["quilo_wan_bytes_total{peer=\"1\",direction=\"tx\",}"], 1000);
    EXPECT_EQ(got["quilo_wan_packets_total{peer=\"1\",direction=\"tx\",}"], 6);
    EXPECT_EQ(got["quilo_tunnel_up{peer=\"2\",element=\"rspX\",}"], 1);
    EXPECT_EQ(got["quilo_rsp_tx_queue_packets{peer=\"2\",element=\"rspX\",}"], 5);
    EXPECT_EQ(got["quilo_drops_by_reason_total{element=\"aqm\",class=\"WNewQueueManager\",reason=\"loss\",}"], 6);
    // Unreadable, non-finite or failed values are left out, not zeroed.
    for (const auto& [k, v] : got) {
        EXPECT_EQ(k.find("retransmits"), std::string::npos) << k;
        EXPECT_TRUE(std::isfinite(v)) << k;
    }
    EXPECT_FALSE(got.count("quilo_drops_total{element=\"aqm\",class=\"WNewQueueManager\",}"));

    std::string side, dir, peer;
    EXPECT_TRUE(traffic_counter("wan_rx12_x", &side, &dir, &peer));
    EXPECT_EQ(peer, "12");
    for (const char* n : {"wan_rx", "lan_tx1_", "lan_tx1x", "wan_up1", "lan_tx123456"})
        EXPECT_FALSE(traffic_counter(n, &side, &dir, &peer)) << n;
    EXPECT_EQ(peer_of("dd3", ""), "3");
    EXPECT_EQ(peer_of("x", "A 1, PEER_OUTPUT_PORT 4"), "4");
    EXPECT_EQ(peer_of("a/b1", ""), "");
    // Elements of a numbered compound branch belong to the branch's peer.
    EXPECT_EQ(peer_of("peer2/dd", ""), "2");
    EXPECT_EQ(peer_of("peer2/Counter@3", ""), "");
    EXPECT_TRUE(traffic_counter("peer3/wan_tx_own", &side, &dir, &peer));
    EXPECT_EQ(side + dir + peer, "wantx3");
    for (const char* n : {"x/lan_tx", "peer3/lan_tx_", "peer3/lan_up"})
        EXPECT_FALSE(traffic_counter(n, &side, &dir, &peer)) << n;
}

TEST(History, HourAtOneSecondThenCoarserWithGapsAsNaN) {
    History h;
    const int64_t t0 = 1'000'000'020;  // 20 s into a minute
    for (int64_t t = t0; t < t0 + 2 * 3600; ++t)
        if (t % 100 != 0)  // a second missing every 100
            h.put(t, double(t - t0), true);
    const int64_t last = t0 + 2 * 3600 - 1;
    EXPECT_EQ(h.fine().at(last), double(last - t0));
    EXPECT_TRUE(std::isnan(h.fine().at(last - 3600)));  // beyond the hour
    EXPECT_TRUE(std::isnan(h.fine().at(t0 + 7100 - (t0 + 7100) % 100)));
    auto r = h.fine().range(last - 9, last + 2);
    ASSERT_EQ(r.size(), 12u);
    EXPECT_TRUE(std::isnan(r[11]));
    // A counter keeps a minute's last value, from two hours back.
    const Tier& m = h.tier_for(2 * 3600);
    EXPECT_EQ(m.step(), 60);
    int64_t minute_end = (t0 / 60 + 10) * 60 + 59;
    EXPECT_EQ(m.at(minute_end - 30), double(minute_end - t0));
    EXPECT_EQ(&h.tier_for(30 * 24 * 3600), &h.tier_for(7 * 24 * 3600));

    History g;  // a gauge: the mean
    for (int64_t t = 600; t < 660; ++t)
        g.put(t, t % 2 ? 10 : 20, false);
    EXPECT_DOUBLE_EQ(g.tier_for(7200).at(630), 15);
    // Time going backwards by more than the history does not disturb it.
    g.put(5, 1, false);
    EXPECT_DOUBLE_EQ(g.tier_for(7200).at(630), 15);
}

TEST(Server, NumbersAndBadHistoryRequests) {
    EXPECT_EQ(format_number(1e15), "1000000000000000");
    EXPECT_EQ(format_number(0.25), "0.25");
    EXPECT_EQ(format_number(NAN), "NaN");
    Appliances none;
    std::string out, err;
    EXPECT_FALSE(history_json(none, "", {"quilo_nonsense"}, 60, 1000, &out, &err));
    EXPECT_FALSE(history_json(none, "zz", {}, 60, 1000, &out, &err));
    ASSERT_TRUE(history_json(none, "", {}, 60, 1000, &out, &err));
    EXPECT_EQ(out, "{\"now\":1000,\"step\":1,\"start\":941,\"end\":1000,\"appliances\":[]}");
}
