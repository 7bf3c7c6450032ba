// WIPPrint's lines where the tcpdump comparison (capture_test.cc) cannot
// reach: malformed and oddly cut packets, the prefix parts, dumps, the
// interval gate, configuration errors, and random packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "common/annotations.hh"
#include "diag.hh"
#include "diag/wipprint.hh"

using diag_test::ipv4;
using diag_test::packet;
using diag_test::tcp;
using quilo_test::TestRouter;

namespace {

// The line WIPPrint(ARGS) prints for `p` (which it consumes).
std::string line(const std::string& args, Packet* p) {
    TestRouter r;
    EXPECT_TRUE(r.build("Idle -> w :: WIPPrint(" + args + ") -> Discard;")) << r.errors();
    std::string out;
    if (auto* w = r.get<WIPPrint>("w"))
        w->unparse(p, out);
    p->kill();
    return out;
}

std::vector<uint8_t> cut(std::vector<uint8_t> b, size_t n) {
    b.resize(n);
    return b;
}

}  // namespace

TEST(WIPPrint, TruncatedAndMalformedPacketsPrintTheirShortForms) {
    const std::string q = "TIMESTAMP false";
    std::vector<uint8_t> syn = ipv4(6, tcp(40000, 80, 1000, 0, 0x02));
    EXPECT_EQ(line(q, packet(syn)), "10.0.0.1.40000 > 10.0.0.2.80: S 1000:1001(1,40,40) win 8192");
    EXPECT_EQ(line("LABEL x, " + q, packet(cut(syn, 19))), "x: truncated-ip");
    // 14 bytes: flags, sequence and acknowledgement, but no window.
    std::vector<uint8_t> ack = ipv4(6, tcp(40000, 80, 7, 9, 0x11, 5));
    EXPECT_EQ(line(q, packet(cut(ack, 34))), "10.0.0.1.40000 > 10.0.0.2.80: F 7:13(6,34,45) ack 9 truncated-tcp");

    // The total length bounds what is read even when more bytes follow, and a
    // data offset beyond the segment makes the header unusable.
    std::vector<uint8_t> shortlen = ack;
    shortlen[3] = 30;
    EXPECT_EQ(line(q, packet(shortlen)), "10.0.0.1.40000 > 10.0.0.2.80: truncated-tcp");
    std::vector<uint8_t> bigoff = ipv4(6, tcp(40000, 80, 7, 9, 0x10, 4));
    bigoff[32] = 0xF0;  // 60-byte header in a 24-byte segment
    EXPECT_EQ(line(q, packet(bigoff)), "10.0.0.1.40000 > 10.0.0.2.80: truncated-tcp");
    syn[0] = 0x44;
    EXPECT_EQ(line(q, packet(syn)), "10.0.0.1 > 10.0.0.2: bad-hlen 16");

    EXPECT_EQ(line(q, packet(ipv4(17, {0, 53, 0, 54, 0, 12, 0, 0, 1, 2, 3, 4}, 0x2000))),
              "10.0.0.1.53 > 10.0.0.2.54: udp 12 (frag 4660:12@0+)");
    EXPECT_EQ(line(q, packet(ipv4(1, {3, 4, 0, 0, 0, 0, 0x05, 0xdc}))),
              "10.0.0.1 > 10.0.0.2: icmp unreachable needfrag (mtu 1500)");
    EXPECT_EQ(line(q, packet(ipv4(1, {11, 0, 0, 0}))), "10.0.0.1 > 10.0.0.2: icmp type 11 code 0");
    EXPECT_EQ(line(q, packet(ipv4(47, {}))), "10.0.0.1 > 10.0.0.2: ip-proto-47");
}

TEST(WIPPrint, PrefixPartsAndDumps) {
    Packet* p = packet(ipv4(17, {0, 1, 0, 2, 0, 8, 0, 0}));
    set_aggregate_anno(p, 7);
    p->set_anno_u8(anno::PAINT.offset, 3);
    EXPECT_EQ(line("l, AGGREGATE true, PAINT true, ID true, TTL true, TOS true, LENGTH true", p),
              "l: 1.000000001: #7.3: id 4660 ttl 64 tos 0 length 28 10.0.0.1.1 > 10.0.0.2.2: udp 8");
    p = packet(ipv4(17, {0, 1, 0, 2, 0, 8, 0, 0}));
    p->set_anno_u8(anno::PAINT.offset, 3);
    EXPECT_EQ(line("TIMESTAMP false, PAINT true", p), "paint 3: 10.0.0.1.1 > 10.0.0.2.2: udp 8");

    // Hex: a blank every 4 bytes, a new line every 24; the dump starts at the
    // packet's first byte, here 2 bytes in front of the IP header.
    std::vector<uint8_t> b = {0xAA, 0xBB};
    std::vector<uint8_t> ip = ipv4(6, tcp(1, 2, 3, 4, 0x18, 6, 24));
    b.insert(b.end(), ip.begin(), ip.end());
    std::string l = line("TIMESTAMP false, CONTENTS HEX", packet(b, 2));
    EXPECT_EQ(l.substr(l.find('\n')),
              "\n  aabb4500 00321234 00004006 00000a00 00010a00 00020001"
              "\n  00020000 00030000 00046018 20000000 00000000 00006162"
              "\n  63646566");
    // PAYLOAD skips the TCP header by its data offset; MAXLENGTH cuts.
    l = line("TIMESTAMP false, PAYLOAD ascii, MAXLENGTH 4", packet(b, 2));
    EXPECT_EQ(l.substr(l.find('\n')), "\n  abcd");
    std::vector<uint8_t> big = ipv4(253, std::vector<uint8_t>(40, 'y'));
    // ASCII: a blank every 8 bytes, a new line every 48, "." for the unprintable.
    l = line("TIMESTAMP false, CONTENTS ASCII, NBYTES -1", packet(big));
    EXPECT_EQ(l.substr(l.find('\n')), "\n  E..<.4.. @....... ....yyyy yyyyyyyy yyyyyyyy yyyyyyyy\n  yyyyyyyy yyyy");
}

TEST(WIPPrint, ConfigurationErrors) {
    for (auto [args, msg] : std::vector<std::pair<std::string, std::string>>{
             {"PAYLOAD hex, CONTENTS hex", "specify at most one of PAYLOAD and CONTENTS"},
             {"CONTENTS bits", "bad contents value 'bits'; should be 'NONE', 'HEX', or 'ASCII'"},
             {"PAYLOAD none", "bad payload value 'none'; should be 'false', 'hex', or 'ascii'"},
             {"OUTFILE /nonexistent/dir/x", "/nonexistent/dir/x: No such file or directory"},
             {"CHANNEL other", "only the default channel"}}) {
        TestRouter r;
        EXPECT_FALSE(r.build("Idle -> WIPPrint(" + args + ") -> Discard;")) << args;
        EXPECT_NE(r.errors().find(msg), std::string::npos) << r.errors();
    }
}

TEST(WIPPrint, IntervalAndActiveGateTheLines) {
    diag_test::TempDir dir;
    TestRouter r;
    ASSERT_TRUE(r.build("Idle -> w :: WIPPrint(OUTFILE " + (dir / "out") + ", INTERVAL 5) -> Discard;")) << r.errors();
    auto* w = r.get<WIPPrint>("w");
    auto burst = [&](int n) {
        for (int i = 0; i < n; ++i)
            w->push(0, packet(ipv4(47, {})));
    };
    burst(3);
    w->run_timer(nullptr);  // a new interval: one more line
    burst(3);
    Element* e = nullptr;
    const Handler* h = r.router()->find_handler("w.active", &e, ErrorHandler::silent_handler());
    ASSERT_TRUE(h);
    EXPECT_LT(h->call_write("maybe", e, ErrorHandler::silent_handler()), 0);
    EXPECT_EQ(h->call_write("false", e), 0);
    w->run_timer(nullptr);
    burst(2);  // switched off: the open interval does not print
    EXPECT_EQ(r.read("w.active"), "false");
    w->cleanup(Element::CLEANUP_MANUAL);
    std::string out = diag_test::slurp(dir / "out");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

TEST(WIPPrint, RandomPacketsNeverReadOutsideTheirData) {
    TestRouter r;
    ASSERT_TRUE(r.build("Idle -> w :: WIPPrint(PAYLOAD hex, MAXLENGTH -1) -> Discard; "
                        "Idle -> w2 :: WIPPrint(CONTENTS ascii, ID true, LENGTH true) -> Discard;"))
        << r.errors();
    auto* w = r.get<WIPPrint>("w");
    auto* w2 = r.get<WIPPrint>("w2");
    std::mt19937 rng(11);
    std::string out;
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> b(rng() % 80);
        for (auto& x : b)
            x = uint8_t(rng());
        if (b.size() > 9 && rng() % 2)
            b[9] = uint8_t(std::vector<int>{1, 6, 17}[rng() % 3]);
        Packet* p = packet(b, b.empty() ? -1 : int(rng() % b.size()));
        out.clear();
        w->unparse(p, out);
        w2->unparse(p, out);
        p->kill();
    }
}
