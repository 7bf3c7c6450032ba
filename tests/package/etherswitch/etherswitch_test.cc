// WEtherSwitch and XEtherSwitch: learning, timeouts, port isolation, the
// port-forwarding rules and their edits, short and random frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include <host/etheraddress.hh>

#include "etherswitch/wetherswitch.hh"
#include "etherswitch/xetherswitch.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

constexpr int64_t sec = 1000000000;
const uint8_t broadcast = 0xff;

std::string mac_text(uint8_t n) { return EtherAddress(std::vector<uint8_t>{2, 0, 0, 0, 0, n}.data()).unparse(); }

struct Switch {
    TestRouter r;
    LearningSwitch* sw = nullptr;
    Sink* s = nullptr;
    Switch(const std::string& cls, int ports, const std::string& args = "") {
        std::string conf = "sw :: " + cls + "(" + args + "); s :: QuiloTestSink;";
        for (int i = 0; i < ports; ++i)
            conf += "Idle -> [" + std::to_string(i) + "]sw[" + std::to_string(i) + "] -> [" + std::to_string(i) + "]s;";
        EXPECT_TRUE(r.build(conf)) << r.errors();
        sw = r.get<LearningSwitch>("sw");
        s = r.get<Sink>("s");
    }
    // Pushes a frame src -> dst (last address byte; 0xff: broadcast) into
    // port `in` at time `ts`; returns the ports it left by, in order.
    std::vector<int> send(int in, uint8_t src, uint8_t dst, int64_t ts = sec, Packet** sent = nullptr) {
        std::vector<uint8_t> b(60, 0);
        uint8_t d[6] = {2, 0, 0, 0, 0, dst}, sa[6] = {2, 0, 0, 0, 0, src};
        if (dst == broadcast)
            std::fill(d, d + 6, 0xff);
        std::copy(d, d + 6, b.begin());
        std::copy(sa, sa + 6, b.begin() + 6);
        Packet* p = make_packet(b, ts);
        if (sent)
            *sent = p;
        s->clear();
        sw->push(in, p);
        return s->ports;
    }
    std::string write(const std::string& handler, const std::string& value) {
        StringErrorHandler errh;
        Element* e;
        const Handler* h = r.router()->find_handler("sw." + handler, &e, &errh);
        return h->call_write(value, e, &errh) < 0 ? errh.text() : std::string();
    }
};

using Ports = std::vector<int>;

}  // namespace

TEST(WEtherSwitch, KeepsItsFirstTwoPortsApart) {
    Switch t("WEtherSwitch", 3);
    EXPECT_EQ(t.send(1, 1, 9), Ports({2}));  // flooding from port 1 reaches port 2 only
    EXPECT_EQ(t.send(0, 0, 1), Ports());     // to an address learned on port 1: dropped
    EXPECT_EQ(t.sw->drops(), 1u);
    EXPECT_EQ(t.send(0, 0, broadcast), Ports({2}));
    Packet* p;
    EXPECT_EQ(t.send(2, 2, 9, sec, &p), Ports({1, 0}));  // from the highest port down
    EXPECT_EQ(t.s->packets[1], p);                      // the last gets the frame, the others clones
    EXPECT_EQ(t.send(2, 2, 0), Ports({0}));
    EXPECT_EQ(t.send(0, 0, 2), Ports({2}));
    EXPECT_EQ(t.send(2, 2, 2), Ports());  // back where it came from
    std::string table = t.r.read("sw.table");
    for (auto line : {mac_text(0) + " 0\n", mac_text(1) + " 1\n", mac_text(2) + " 2\n"})
        EXPECT_NE(table.find(line), std::string::npos) << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);

    // Two ports: a frame flooded from either has nowhere to go and is freed.
    Switch two("WEtherSwitch", 2);
    EXPECT_EQ(two.send(0, 0, 9), Ports());
    EXPECT_EQ(two.send(1, 1, broadcast), Ports());
    EXPECT_EQ(two.sw->drops(), 2u);
}

TEST(LearningSwitch, TimeoutsShortFramesAndTheTimeoutHandler) {
    Switch t("WEtherSwitch", 3, "TIMEOUT 10");
    t.send(2, 7, 9, 1 * sec);
    EXPECT_EQ(t.send(0, 0, 7, 5 * sec), Ports({2}));
    EXPECT_EQ(t.send(0, 0, 7, 10 * sec), Ports({2}));  // learned at 1 s: still valid
    // 10 s after it was last seen the entry is stale: removed, the frame flooded.
    EXPECT_EQ(t.send(1, 1, 7, 11 * sec), Ports({2}));
    EXPECT_EQ(t.r.read("sw.table").find(mac_text(7)), std::string::npos);
    EXPECT_EQ(t.send(2, 7, 9, 0), Ports({1, 0}));  // no timestamp: learned now
    EXPECT_EQ(t.send(0, 0, 7, 0), Ports({2}));

    // TIMEOUT 0: nothing learned, a frame to a known address still flooded.
    EXPECT_EQ(t.write("timeout", "0"), "");
    EXPECT_EQ(t.send(2, 2, 0, 12 * sec), Ports({1, 0}));
    EXPECT_EQ(t.write("timeout", "abc"), "expected timeout (integer)\n");
    EXPECT_EQ(t.r.read("sw.timeout"), "0\n");
    EXPECT_EQ(t.write("timeout", "2min"), "");
    EXPECT_EQ(t.r.read("sw.timeout"), "120\n");
    EXPECT_EQ(t.write("timeout", "99999999999999999999999"), "");
    EXPECT_EQ(t.r.read("sw.timeout"), "2147483647\n");

    t.s->clear();
    for (uint32_t len = 0; len < 14; ++len) {
        std::vector<uint8_t> b(len, 0xff);
        t.sw->push(0, make_packet(b, sec, false));
    }
    EXPECT_EQ(t.s->packets.size(), 0u);
    EXPECT_EQ(t.r.read("sw.short_frames"), "14\n");

    TestRouter bad;
    EXPECT_FALSE(bad.build("sw :: XEtherSwitch(TIMEOUT abc); Idle -> [0]sw[0] -> Discard; Idle -> [1]sw[1] -> Discard;"));
    EXPECT_NE(bad.errors().find("bad timeout"), std::string::npos) << bad.errors();
}

TEST(LearningSwitch, TableIsBounded) {
    Switch t("WEtherSwitch", 3, "TIMEOUT 5");
    t.s->keep(false);
    auto learn = [&](uint32_t n, int64_t ts) {
        std::vector<uint8_t> b(60, 0xff);
        b[6] = 2;
        std::memcpy(&b[8], &n, 4);
        t.sw->push(2, make_packet(b, ts));
    };
    for (uint32_t i = 0; i < EtherTable::max_entries + 100; ++i)
        learn(i, sec);
    EXPECT_EQ(t.sw->table_size(), EtherTable::max_entries);
    learn(0xfffffff0, 2 * sec);  // full of live entries: not learned
    EXPECT_EQ(t.sw->table_size(), EtherTable::max_entries);
    learn(0xfffffff1, 7 * sec);  // the stale ones are swept out first
    EXPECT_EQ(t.sw->table_size(), 1u);
}

TEST(XEtherSwitch, PortForwardingRules) {
    Switch t("XEtherSwitch", 4);
    const std::string all = "0 -> 1 2 3\n1 -> 0 2 3\n2 -> 0 1 3\n3 -> 0 1 2\n";
    EXPECT_EQ(t.r.read("sw.port_forwarding"), all);
    Packet* p;
    EXPECT_EQ(t.send(0, 0, 9, sec, &p), Ports({1, 2, 3}));  // from port 0 up
    EXPECT_EQ(t.s->packets[2], p);
    t.send(2, 2, 9);

    EXPECT_EQ(t.write("remove_port_forwarding", "SOURCE 0 OUTPORT 2"), "");
    EXPECT_EQ(t.send(0, 0, 9), Ports({1, 3}));
    EXPECT_EQ(t.send(0, 0, broadcast), Ports({1, 3}));
    EXPECT_EQ(t.send(0, 0, 2), Ports());  // learned on port 2: not allowed
    EXPECT_EQ(t.send(2, 2, 0), Ports({0}));
    EXPECT_EQ(t.write("reset_port_forwarding", ""), "");
    EXPECT_EQ(t.send(0, 0, 2), Ports({2}));

    // Every clause parses or none applies.
    for (const char* bad : {"SOURCE 7 OUTPORT 1", "SOURCE 1 OUTPORT 3, SOURCE 7 OUTPORT 1", "SOURCE 1",
                            "SOURCE 1 OUTPORT", "SOURCE 1 OUTPORT 4", "SOURCE 1 OUTPORT 2 3", "source 1 OUTPORT 2",
                            "SOURCE -1 OUTPORT 2", "SOURCE 1 OUTPORT 2,, SOURCE 2 OUTPORT 1", ""}) {
        EXPECT_EQ(t.write("remove_port_forwarding", bad), "invalid port forwarding\n") << bad;
        EXPECT_EQ(t.r.read("sw.port_forwarding"), all) << bad;
    }
    EXPECT_EQ(t.write("remove_port_forwarding", "SOURCE 3 OUTPORT 0 OUTPORT 1, SOURCE 3 OUTPORT 2, SOURCE 1 OUTPORT 1"),
              "");
    EXPECT_EQ(t.r.read("sw.port_forwarding"), "0 -> 1 2 3\n1 -> 0 2 3\n2 -> 0 1 3\n3 -> none\n");
    EXPECT_EQ(t.send(3, 3, 9), Ports());  // a rule allowing nothing: the frame is freed
    EXPECT_EQ(t.sw->drops(), 2u);
}

// Random frames into both switches while their rules change: every frame is
// forwarded, dropped or counted short, never read out of bounds.
TEST(LearningSwitch, RandomFramesAndRuleTexts) {
    Switch w("WEtherSwitch", 3, "TIMEOUT 2"), x("XEtherSwitch", 5, "TIMEOUT 2");
    w.s->keep(false);
    x.s->keep(false);
    std::mt19937 rng(3);
    const char* words[] = {"SOURCE", "OUTPORT", "0", "1", "4", "5", ",", "-1", "x"};
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> b(rng() % 40);
        for (auto& c : b)
            c = uint8_t(rng() % 4 == 0 ? rng() : rng() % 3);  // few distinct addresses
        Switch& t = i % 2 ? w : x;
        t.sw->push(int(rng() % (i % 2 ? 3 : 5)), make_packet(b, int64_t(i) * sec / 1000, false));
        if (i % 50 == 0) {
            std::string text;
            for (int n = int(rng() % 8); n; --n)
                text += std::string(words[rng() % 9]) + " ";
            static_cast<XEtherSwitch*>(x.sw)->remove_port_forwarding(text);
            if (i % 1000 == 0)
                static_cast<XEtherSwitch*>(x.sw)->reset_port_forwarding();
        }
    }
    EXPECT_GT(w.s->count + x.s->count, 0u);
    EXPECT_GT(w.sw->short_frames() + x.sw->short_frames(), 0u);
}
