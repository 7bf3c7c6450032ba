// DPIClassifier, WDPISwitch and WNetflowSwitch: configuration errors, rule
// matching (port lists of both conjunctions, DSCP, detected protocols),
// truncated packets, switch outputs and netflow copies.
#include <gtest/gtest.h>

#include <random>

#include "../common/testrouter.hh"
#include "classifiers/dpiclassifier.hh"
#include "classifiers/wdpiswitch.hh"
#include "common/annotations.hh"

using namespace quilo_test;

namespace {

const std::string ANY = "src 0.0.0.0/0 and dst 0.0.0.0/0 and ";

// A router with element `decl` fed from Idle and `nout` outputs to a sink.
std::unique_ptr<TestRouter> router_with(const std::string& decl, int nout, bool* ok) {
    std::unique_ptr<TestRouter> tr(new TestRouter(1));
    std::string text = "WConf(MAX_PEERS 1, LOG_LEVEL 4); out :: QuiloTestSink; Idle -> e :: " + decl + ";";
    for (int i = 0; i < nout; ++i)
        text += " e[" + std::to_string(i) + "] -> [" + std::to_string(i) + "]out;";
    *ok = tr->build(text);
    return tr;
}

std::string config_error(const std::string& decl, int nout) {
    bool ok;
    auto tr = router_with(decl, nout, &ok);
    return ok ? std::string("<built>") : tr->errors();
}

Packet* frame_packet(const Frame& f, uint8_t tos = 0, uint16_t app = 0, uint16_t master = 0) {
    Frame g = f;
    g.payload = std::min<size_t>(f.payload, 9000);  // a bounded size keeps GCC's overflow warnings quiet
    std::vector<uint8_t> b = g.bytes();
    b[15] = tos;
    Packet* p = make_packet(b);
    p->set_network_header(p->data() + 14, 20);
    set_dpi_proto_anno(p, app);
    set_dpi_master_proto_anno(p, master);
    return p;
}

}  // namespace

TEST(DPIClassifier, ConfigurationErrors) {
    struct Case {
        std::string args;
        int nout;
        const char* msg;
    } cases[] = {
        {"", 1, "need at least one rule."},
        {ANY + "tcp, -", 3, "needs 2 output ports, only has 3."},
        {"-, " + ANY + "tcp", 2, "catch all rule not in last position."},
        {"src 0.0.0.0/0 and dst 0.0.0.0/0 tcp", 1, "invalid pattern config"},
        {"src 1.2.3/40 and dst 0.0.0.0/0 and tcp", 1, "invalic src value"},
        {"src 0.0.0.0/0 and dst x and tcp", 1, "invalic dst value"},
        {ANY + "tcp bogus", 1, "invalic pattern"},
        {ANY + "tcp port 80 or 81 and 82", 1, "either OR or AND, not both"},
        {ANY + "tcp port >= 0", 1, "invalid port value"},
        {ANY + "tcp port <= 65535", 1, "invalid port value"},
        {ANY + "tcp port 80 or", 1, "invalid port value"},
        {ANY + "dpi 7 and 91", 1, "dpi protocol list only supports OR"},
        {ANY + "dpi", 1, "at least one dpi protocol"},
        {ANY + "dscp 46 and 10", 1, "dscp list only supports OR"},
        {ANY + "dscp 64", 1, "dscp value out of range: 64"},
        {ANY + "dscp x", 1, "invalid dscp value"},
        // Nothing to match: no protocol and neither a dpi nor a dscp list.
        {ANY + "src", 1, "names no protocol"},
        {ANY + "dst port 80", 1, "names no protocol"},
    };
    for (const Case& c : cases)
        EXPECT_NE(config_error("DPIClassifier(" + c.args + ")", c.nout).find(c.msg), std::string::npos)
            << c.args << "\n" << config_error("DPIClassifier(" + c.args + ")", c.nout);
}

TEST(DPIClassifier, RulesMatchInOrder) {
    bool ok;
    auto tr = router_with("DPIClassifier(" + ANY + "dpi 91 or 188 or 7, " + ANY + "dst tcp port 80 or 443, " + ANY +
                              "dscp 46, " + ANY + "udp port > 1000 and < 2000, " + ANY + "tcp port >= 1024, " +
                              "src 10.0.0.0/8 and dst 192.168.0.0/16 and icmp, -)",
                          7, &ok);
    ASSERT_TRUE(ok) << tr->errors();
    auto* c = tr->get<DPIClassifier>("e");
    EXPECT_EQ(c->patterns()[0].unparse(), "src 0.0.0.0/0 and dst 0.0.0.0/0 and dpi 7 or 91 or 188");
    EXPECT_EQ(c->patterns()[3].unparse(), "src 0.0.0.0/0 and dst 0.0.0.0/0 and udp port > 1000 and < 2000");
    EXPECT_EQ(c->patterns()[4].unparse(), "src 0.0.0.0/0 and dst 0.0.0.0/0 and tcp port > 1023");

    auto cls = [&](Frame f, uint8_t tos = 0, uint16_t app = 0, uint16_t master = 0) {
        Packet* p = frame_packet(f, tos, app, master);
        int r = c->classify(p);
        p->kill();
        return r;
    };
    Frame tcp;  // 10.0.0.1:40000 -> 192.168.0.1:80
    Frame udp = tcp;
    udp.proto = 17;
    Frame icmp = tcp;
    icmp.proto = 1;
    EXPECT_EQ(cls(tcp, 0, 0, 91), 0);  // the master protocol alone matches
    EXPECT_EQ(cls(tcp, 0, 188, 0), 0);
    EXPECT_EQ(cls(tcp, 0, 5, 0), 1);   // not listed: on to the port rule
    EXPECT_EQ(cls(tcp.reversed()), 4);  // port 80 is the source now; 40000 >= 1024
    for (uint8_t tos : {0xB8, 0xB9, 0xBB})
        EXPECT_EQ(cls(udp, tos), 2) << int(tos);
    EXPECT_NE(cls(udp, 0xBC), 2);
    // AND keeps its meaning: one port within (1000, 2000).
    udp.sport = 1500, udp.dport = 9000;
    EXPECT_EQ(cls(udp), 3);
    udp.sport = 900, udp.dport = 2500;  // each bound holds for some port, none for both
    EXPECT_EQ(cls(udp), 6);
    udp.sport = 2000, udp.dport = 1000;
    EXPECT_EQ(cls(udp), 6);
    EXPECT_EQ(cls(icmp), 5);
    EXPECT_EQ(cls(icmp.reversed()), 6);

    // A TCP header cut short: port rules cannot match, nothing is read past the end.
    tcp.dport = 9, tcp.sport = 9;
    std::vector<uint8_t> b = tcp.bytes();
    b.resize(14 + 20 + 2);
    b[14 + 3] = 22;  // IP total length = bytes present
    Packet* p = make_packet(b);
    p->set_network_header(p->data() + 14, 20);
    EXPECT_EQ(c->classify(p), 6);
    p->kill();
}

TEST(DPIClassifier, OrListsAreNormalised) {
    std::vector<DPIClassifier::PortPattern> ports;
    using PP = DPIClassifier::PortPattern;
    for (auto [port, op] : std::vector<std::pair<int, PP::Op>>{
             {10, PP::EQ}, {5, PP::LT}, {20, PP::LT}, {30, PP::EQ}, {100, PP::GT}, {50, PP::GT}, {60, PP::EQ}, {20, PP::EQ}})
        ports.push_back({uint16_t(port), uint8_t(op), -1, -1});
    DPIClassifier::normalize_ports(ports);
    std::string s;
    for (auto& e : ports)
        s += std::string(e.op == PP::LT ? "<" : e.op == PP::GT ? ">" : "") + std::to_string(e.port) + " ";
    EXPECT_EQ(s, "<20 20 30 >50 ");

    // Tree search over the normalised list agrees with trying every entry.
    bool ok;
    auto tr = router_with("DPIClassifier(" + ANY + "udp port 10 or < 5 or < 20 or 30 or 20 or > 100 or > 50 or 60, -)", 2, &ok);
    ASSERT_TRUE(ok) << tr->errors();
    auto* c = tr->get<DPIClassifier>("e");
    Frame f;
    f.proto = 17;
    for (int port = 0; port < 70; ++port) {
        f.sport = f.dport = uint16_t(port);
        Packet* p = frame_packet(f);
        bool want = port < 20 || port == 20 || port == 30 || port > 50;
        EXPECT_EQ(c->classify(p), want ? 0 : 1) << port;
        p->kill();
    }
}

TEST(DPIClassifier, RandomAndTruncatedPacketsAreSafe) {
    bool ok;
    auto tr = router_with("DPIClassifier(" + ANY + "tcp port 80 or > 60000, " + ANY + "udp port < 100 and > 10, " +
                              ANY + "dscp 10, -)",
                          4, &ok);
    ASSERT_TRUE(ok) << tr->errors();
    auto* c = tr->get<DPIClassifier>("e");
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        Frame f;
        f.proto = (i & 1) ? 6 : 17;
        std::vector<uint8_t> b = f.bytes();
        for (auto& x : b)
            if (rng() % 4 == 0)
                x = uint8_t(rng());
        b.resize(rng() % (b.size() + 1));
        Packet* p = make_packet(b);
        if (b.size() >= 14)
            p->set_network_header(p->data() + 14, 20);
        int r = c->classify(p);
        EXPECT_TRUE(r >= 0 && r <= 3);
        p->kill();
    }
}

TEST(WDPISwitch, OutputsAddressesAndErrors) {
    EXPECT_NE(config_error("WDPISwitch(PROT 7 PORT 0, PROT 91 PORT 2)", 3).find("requires 4 output ports"),
              std::string::npos);
    EXPECT_NE(config_error("WDPISwitch()", 2).find("requires 1 output port if no arguments"), std::string::npos);
    EXPECT_NE(config_error("WDPISwitch(PROT 7 PORT -1)", 1).find("invalid PORT value: -1"), std::string::npos);
    EXPECT_NE(config_error("WDPISwitch(PROT 70000 PORT 0)", 2).find("invalid PROT value: 70000"), std::string::npos);
    EXPECT_NE(config_error("WDPISwitch(PROT x PORT 0)", 2).find("invalid PROT value: x"), std::string::npos);
    EXPECT_NE(config_error("WDPISwitch(PROT 7 PORT 0 ADDR 1.2.3.4/99)", 2).find("invalic ADDR value"), std::string::npos);
    EXPECT_NE(config_error("WDPISwitch(PROT 7 PORT 0 FOO 1)", 2).find("invalid configuration argument: FOO"),
              std::string::npos);
    EXPECT_NE(config_error("WDPISwitch(PROT 7)", 2).find("invalid number of arguments"), std::string::npos);

    bool ok;
    auto tr = router_with("WDPISwitch(PROT 7 PORT 0 ADDR 10.0.0.0/8, PROT 91 PORT 2, PROT 7 PORT 2)", 4, &ok);
    ASSERT_TRUE(ok) << tr->errors();
    auto* s = tr->get<WDPISwitch>("e");
    Frame f;  // 10.0.0.1 -> 192.168.0.1
    Frame lan = f;
    lan.src = 0xc0a80102;
    auto out = [&](const Frame& fr, uint16_t app, uint16_t master) {
        Packet* p = frame_packet(fr, 0, app, master);
        int r = s->choose(p);
        p->kill();
        return r;
    };
    EXPECT_EQ(out(f, 7, 0), 0);
    EXPECT_EQ(out(f.reversed(), 0, 7), 0);  // destination in the prefix; master protocol
    EXPECT_EQ(out(lan, 7, 0), 2);           // between two 192.168 hosts: the next pattern
    EXPECT_EQ(out(lan, 91, 0), 2);
    EXPECT_EQ(out(lan, 5, 0), 3);  // unmatched
    EXPECT_EQ(out(lan, 0, 0), 3);  // undetected
}

TEST(WNetflowSwitch, CopiesHaveTheReceivedLength) {
    bool ok;
    auto tr = router_with("WNetflowSwitch", 4, &ok);
    ASSERT_TRUE(ok) << tr->errors();
    Element* e = tr->find("e");
    auto* out = tr->get<Sink>("out");
    Frame f;
    f.payload = 1200 - 54;
    auto push = [&](uint8_t dir, uint16_t rx) {
        out->clear();
        Packet* p = frame_packet(f);
        set_direction_anno(p, dir);
        set_rx_len_anno(p, rx);
        e->push(0, p);
    };
    push(LANRX | WANTX, 1400);
    ASSERT_EQ(out->packets.size(), 2u);
    EXPECT_EQ(out->ports[0], 0);
    EXPECT_EQ(out->packets[0]->length(), 1400u);
    EXPECT_EQ(out->packets[0]->data()[1399], 0);  // padding is zero
    EXPECT_EQ(out->ports[1], 1);
    EXPECT_EQ(out->packets[1]->length(), 1200u);
    push(WANRX | LANTX, 1000);
    ASSERT_EQ(out->packets.size(), 2u);
    EXPECT_EQ(out->ports[0], 2);
    EXPECT_EQ(out->packets[0]->length(), 1000u);
    EXPECT_EQ(out->ports[1], 3);
    EXPECT_EQ(out->packets[1]->length(), 1200u);
    push(LANTX, 0);  // transmitted only: no copy
    ASSERT_EQ(out->packets.size(), 1u);
    EXPECT_EQ(out->ports[0], 3);
    push(WANRX, 1200);  // no transmit bit: dropped
    EXPECT_TRUE(out->packets.empty());
    EXPECT_EQ(tr->read("e.no_tx"), "1");
}
