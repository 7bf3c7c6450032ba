// IPClassifier/IPFilter expression language: matching, errors, fuzzing.
#include "ipfilterexpr.hh"

#include <gtest/gtest.h>

#include <random>

#include "pktbuild.hh"

using namespace ipfilter;
using pktbuild::ipv4;

namespace {

bool m(const std::string& expr, const std::vector<uint8_t>& pkt) {
    Expr e;
    ParseError err;
    EXPECT_TRUE(parse_expr(expr, e, &err)) << expr << ": " << err.message << " at " << err.pos;
    return e.match(pkt.data(), pkt.size());
}

ParseError bad(const std::string& expr) {
    Expr e;
    ParseError err;
    EXPECT_FALSE(parse_expr(expr, e, &err)) << expr;
    return err;
}

}  // namespace

TEST(IPFilterExpr, ProtocolsHostsNets) {
    auto tcp = ipv4(6, "10.0.0.1", "192.168.1.20", 1234, 80, 0x02);
    auto udp = ipv4(17, "10.0.0.2", "8.8.8.8", 5353, 53);
    auto icmp = ipv4(1, "10.0.0.3", "10.0.0.4", 8);
    EXPECT_TRUE(m("tcp", tcp));
    EXPECT_FALSE(m("tcp", udp));
    EXPECT_TRUE(m("ip proto udp", udp));
    EXPECT_TRUE(m("ip proto 17", udp));
    EXPECT_TRUE(m("proto icmp", icmp));
    EXPECT_TRUE(m("src host 10.0.0.1", tcp));
    EXPECT_FALSE(m("dst host 10.0.0.1", tcp));
    EXPECT_TRUE(m("host 192.168.1.20", tcp));
    EXPECT_TRUE(m("src and dst net 10.0.0.0/8", icmp));
    EXPECT_FALSE(m("src and dst net 10.0.0.0/8", tcp));
    EXPECT_TRUE(m("dst net 192.168.0.0 mask 255.255.0.0", tcp));
    EXPECT_TRUE(m("net 192.168.1.0/255.255.255.0", tcp));
    EXPECT_TRUE(m("src 10.0.0.1", tcp));
    EXPECT_TRUE(m("dst 192.168.0.0/16", tcp));
    EXPECT_TRUE(m("host != 1.2.3.4", tcp));
    EXPECT_FALSE(m("host != 10.0.0.1", tcp));
    EXPECT_TRUE(m("net 0.0.0.0/0", udp));
}

TEST(IPFilterExpr, PortsFlagsAndFields) {
    auto syn = ipv4(6, "10.0.0.1", "10.0.0.2", 40000, 443, 0x02);
    auto ack = ipv4(6, "10.0.0.1", "10.0.0.2", 40000, 443, 0x10);
    auto udp = ipv4(17, "10.0.0.2", "8.8.8.8", 5353, 53);
    auto icmp = ipv4(1, "10.0.0.3", "10.0.0.4", 8);
    EXPECT_TRUE(m("port 443", syn));
    EXPECT_TRUE(m("tcp dst port https", syn));
    EXPECT_FALSE(m("udp port 443", syn));
    EXPECT_TRUE(m("src port > 1023", syn));
    EXPECT_FALSE(m("dst port > 1023", syn));
    EXPECT_TRUE(m("port 50-60", udp));
    EXPECT_TRUE(m("udp port domain", udp));
    EXPECT_TRUE(m("port != 80", syn));
    EXPECT_FALSE(m("port 80", icmp));
    EXPECT_TRUE(m("tcp opt syn", syn));
    EXPECT_FALSE(m("tcp opt syn", ack));
    EXPECT_TRUE(m("tcp opt ack and not syn", ack));
    EXPECT_TRUE(m("syn", syn));
    EXPECT_TRUE(m("icmp type echo", icmp));
    EXPECT_FALSE(m("icmp type echo-reply", icmp));
    EXPECT_TRUE(m("ip ttl 64", syn));
    EXPECT_TRUE(m("ip ttl < 65 && ip vers 4 && ip hl 5", syn));
    EXPECT_TRUE(m("ip unfrag", syn));
    EXPECT_FALSE(m("ip frag", syn));
    // A non-first fragment has no ports.
    auto frag = syn;
    pktbuild::put16(frag, 6, 0x0010);
    EXPECT_FALSE(m("port 443", frag));
    EXPECT_TRUE(m("ip frag", frag));
    // Options move the transport header.
    auto opts = ipv4(6, "10.0.0.1", "10.0.0.2", 1, 2, 0x01, 6);
    EXPECT_TRUE(m("tcp src port 1 and dst port 2 and tcp opt fin", opts));
}

TEST(IPFilterExpr, OperatorsAndQualifierReuse) {
    auto a = ipv4(6, "10.0.0.1", "10.0.0.9", 1000, 22);
    auto b = ipv4(6, "10.0.0.2", "10.0.0.9", 1000, 22);
    auto c = ipv4(6, "10.0.0.3", "10.0.0.9", 1000, 22);
    EXPECT_TRUE(m("src host 10.0.0.1 or 10.0.0.2", b));
    EXPECT_FALSE(m("src host 10.0.0.1 or 10.0.0.2", c));
    EXPECT_TRUE(m("port 80 or 22", a));
    EXPECT_TRUE(m("tcp and (port 80 or port 22)", a));
    EXPECT_FALSE(m("not (tcp and port 22)", a));
    EXPECT_TRUE(m("! udp && (src host 10.0.0.3 || dst host 10.0.0.9)", c));
    EXPECT_TRUE(m("tcp port 22 src host 10.0.0.1", a));   // juxtaposition is "and"
    EXPECT_FALSE(m("tcp port 22 src host 10.0.0.1", b));
    EXPECT_TRUE(m("src or dst host 10.0.0.9", a));
    EXPECT_TRUE(m("true", a));
    EXPECT_FALSE(m("false", a));
    EXPECT_TRUE(m("-", a));
    // "and" binds tighter than "or".
    EXPECT_TRUE(m("udp and port 1 or tcp", a));
}

TEST(IPFilterExpr, TruncatedPacketsNeverMatchPositiveTests) {
    auto p = ipv4(6, "10.0.0.1", "10.0.0.2", 1234, 80, 0x02);
    Expr port, notport, host;
    ASSERT_TRUE(parse_expr("tcp port 80", port, nullptr));
    ASSERT_TRUE(parse_expr("tcp and not port 80", notport, nullptr));
    ASSERT_TRUE(parse_expr("dst host 10.0.0.2", host, nullptr));
    for (size_t len = 0; len < p.size(); ++len) {
        std::vector<uint8_t> t(p.begin(), p.begin() + len);   // exact-size buffer for ASan
        EXPECT_EQ(port.match(t.data(), t.size()), len >= 24) << len;
        EXPECT_EQ(host.match(t.data(), t.size()), len >= 20) << len;
        EXPECT_EQ(notport.match(t.data(), t.size()), len >= 10 && len < 24) << len;
    }
    // IHL below 5 is no transport header.
    auto badihl = p;
    badihl[0] = 0x44;
    EXPECT_FALSE(port.match(badihl.data(), badihl.size()));
}

TEST(IPFilterExpr, ErrorsNamePosition) {
    EXPECT_EQ(bad("tcp prt 80").pos, 4u);
    EXPECT_NE(bad("tcp prt 80").message.find("prt"), std::string::npos);
    EXPECT_EQ(bad("port 70000").pos, 5u);
    EXPECT_EQ(bad("host 10.0.0").pos, 5u);
    EXPECT_EQ(bad("(tcp").pos, 4u);
    EXPECT_EQ(bad("tcp)").pos, 3u);
    EXPECT_EQ(bad("").pos, 0u);
    EXPECT_EQ(bad("tcp and").pos, 7u);
    EXPECT_EQ(bad("net 10.0.0.0/33").pos, 4u);
    EXPECT_EQ(bad("icmp port 1").pos, 0u);
    EXPECT_EQ(bad("tcp opt foo").pos, 8u);
    EXPECT_EQ(bad("src host 1.2.3.4 $").pos, 17u);
    EXPECT_EQ(bad("80").pos, 0u);
    EXPECT_EQ(describe_error(2, "tcp prt 80", bad("tcp prt 80")),
              "pattern 2 'tcp prt 80', position 5: unknown word 'prt'");
    std::string deep(200, '(');
    EXPECT_NE(bad(deep + "tcp").message.find("deeply"), std::string::npos);
    std::string nots;
    for (int i = 0; i < 100; ++i) nots += "not ";
    EXPECT_NE(bad(nots + "tcp").message.find("deeply"), std::string::npos);
}

TEST(IPFilterExpr, FilterRules) {
    Expr e;
    int out;
    ParseError err;
    ASSERT_TRUE(parse_filter_rule("allow tcp port 80", out, e, &err));
    EXPECT_EQ(out, 0);
    ASSERT_TRUE(parse_filter_rule("deny udp", out, e, &err));
    EXPECT_EQ(out, -1);
    ASSERT_TRUE(parse_filter_rule("2 icmp", out, e, &err));
    EXPECT_EQ(out, 2);
    ASSERT_TRUE(parse_filter_rule("drop all", out, e, &err));
    EXPECT_EQ(out, -1);
    ASSERT_TRUE(parse_filter_rule("allow", out, e, &err));
    EXPECT_TRUE(e.always_true());
    EXPECT_FALSE(parse_filter_rule("permit tcp", out, e, &err));
    EXPECT_EQ(err.pos, 0u);
    EXPECT_FALSE(parse_filter_rule("allow tcp prt", out, e, &err));
    EXPECT_EQ(err.pos, 10u);
}

// Random token soup and random bytes: parsing never crashes, and whatever
// parses is evaluated on random, truncated packets.
TEST(IPFilterExpr, Fuzz) {
    static const char* words[] = {"ip", "tcp", "udp", "icmp", "src", "dst", "host", "net", "port", "proto",
                                  "opt", "syn", "ack", "fin", "rst", "and", "or", "not", "(", ")", "&&",
                                  "||", "!", "10.0.0.1", "10.0.0.0/8", "mask", "255.0.0.0", "80", "1-100",
                                  "<", ">=", "!=", "=", "type", "echo", "ttl", "frag", "unfrag", "-", "true",
                                  "65536", "0x50", "www", "dscp", "vers", "len", "id", "1.2.3", "/", "%"};
    std::mt19937 rng(12345);
    int parsed = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        std::string s;
        int n = rng() % 12;
        for (int k = 0; k < n; ++k) {
            if (rng() % 10 == 0) {
                s.push_back(static_cast<char>(rng() % 256));
            } else {
                s += words[rng() % (sizeof(words) / sizeof(words[0]))];
                if (rng() % 5) s.push_back(' ');
            }
        }
        Expr e;
        ParseError err;
        if (!parse_expr(s, e, &err)) {
            EXPECT_LE(err.pos, s.size()) << s;
            EXPECT_FALSE(err.message.empty()) << s;
            continue;
        }
        ++parsed;
        for (int k = 0; k < 4; ++k) {
            std::vector<uint8_t> pkt(rng() % 64);
            for (auto& b : pkt) b = static_cast<uint8_t>(rng());
            if (rng() % 2 && pkt.size() >= 20) pkt[0] = 0x45;
            e.match(pkt.data(), pkt.size());
        }
    }
    EXPECT_GT(parsed, 500);
}
