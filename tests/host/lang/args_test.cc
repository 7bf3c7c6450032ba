#include <gtest/gtest.h>

#include <host/args.hh>
#include <host/confparse.hh>

#include <map>
#include <random>

namespace {

struct FakeTimestamp {
    int64_t ns = -1;
    static FakeTimestamp make_nsec(int64_t n) {
        FakeTimestamp t;
        t.ns = n;
        return t;
    }
};

std::vector<std::string> argv(const std::string& s) {
    return cp_argvec(s);
}

// Parses one value with parser P and returns the error text ("" on success).
template <typename P, typename T> std::string try_parse(const P& p, const std::string& s, T& x) {
    StringErrorHandler errh;
    int r = Args(std::vector<std::string>{"V " + s}, &errh).read("V", p, x).complete();
    EXPECT_EQ(r == 0, errh.text().empty());
    return errh.text();
}

template <typename P, typename T1, typename T2> std::string try_parse(const P& p, const std::string& s, T1& x, T2& y) {
    StringErrorHandler errh;
    int r = Args(std::vector<std::string>{"V " + s}, &errh).read("V", p, x, y).complete();
    EXPECT_EQ(r == 0, errh.text().empty());
    return errh.text();
}

}  // namespace

TEST(Args, KeywordsPositionalsAndMandatory) {
    StringErrorHandler errh;
    int limit = -1, burst = 7;
    bool active = false, stop = true;
    std::string data = "unset";
    auto conf = argv("100, \"hello, world\", ACTIVE true, BURST 3");
    int r = Args(conf, nullptr, &errh)
                .read_mp("LIMIT", limit)
                .read_p("DATA", data)
                .read("BURST", burst)
                .read_or_set("ACTIVE", active, false)
                .read_or_set("STOP", stop, false)
                .complete();
    EXPECT_EQ(r, 0) << errh.text();
    EXPECT_EQ(limit, 100);
    EXPECT_EQ(data, "hello, world");
    EXPECT_EQ(burst, 3);
    EXPECT_TRUE(active);
    EXPECT_FALSE(stop);

    // Keywords may name positional parameters; the last repetition wins; empty positionals are absent.
    limit = -1;
    data = "unset";
    r = Args(argv(", DATA x, LIMIT 1, LIMIT 2"), nullptr, &errh).read_mp("LIMIT", limit).read_p("DATA", data).complete();
    EXPECT_EQ(r, 0) << errh.text();
    EXPECT_EQ(limit, 2);
    EXPECT_EQ(data, "x");

    bool found = true;
    Args a(argv("X 1"), &errh);
    a.read("Y", limit).read_status(found);
    EXPECT_FALSE(found);
    a.read("X", limit).read_status(found);
    EXPECT_TRUE(found);
    EXPECT_EQ(a.complete(), 0);
}

TEST(Args, ErrorsAreReportedAndNothingIsAssigned) {
    StringErrorHandler errh;
    int max_peers = 5, level = 9;
    uint8_t small = 1;
    int r = Args(argv("MAX_PEERS many, SMALL 300, FOO 1, extra, LEVEL 3"), nullptr, &errh)
                .read_m("MAX_PEERS", max_peers)
                .read("SMALL", small)
                .read("LEVEL", level)
                .read_m("MISSING", level)
                .complete();
    EXPECT_EQ(r, -EINVAL);
    EXPECT_EQ(errh.text(),
              "MAX_PEERS: expected integer\n"
              "SMALL: out of range\n"
              "missing mandatory MISSING argument\n"
              "unknown keyword 'FOO'\n"
              "too many arguments\n");
    // LEVEL parsed fine but nothing is assigned when anything failed.
    EXPECT_EQ(level, 9);
    EXPECT_EQ(max_peers, 5);
    EXPECT_EQ(small, 1);

    errh.clear();
    int x = 0;
    EXPECT_EQ(Args(argv("X 5"), &errh).read("X", BoundedIntArg(0, 4), x).complete(), -EINVAL);
    EXPECT_EQ(errh.text(), "X: out of range, must be between 0 and 4\n");
    // A null handler still fails, silently.
    EXPECT_EQ(Args(argv("X y"), nullptr).read("X", x).complete(), -EINVAL);
}

TEST(Args, ConsumeAndBind) {
    StringErrorHandler errh;
    std::vector<std::string> conf = argv("UDP_ROUTE 10.0.0.0/8 1.2.3.4, MAX 3, 7, OTHER x");
    int max = 0, pos = 0;
    Args args(nullptr, &errh);
    args.bind(conf);
    EXPECT_EQ(args.read("MAX", max).consume(), 0);
    EXPECT_EQ(max, 3);
    EXPECT_EQ(conf, (std::vector<std::string>{"UDP_ROUTE 10.0.0.0/8 1.2.3.4", "7", "OTHER x"}));
    std::vector<std::string> routes;
    std::string other;
    int r = Args(conf, nullptr, &errh).read_all("UDP_ROUTE", AnyArg(), routes).read_p("POS", pos).read("OTHER", other).complete();
    EXPECT_EQ(r, 0) << errh.text();
    EXPECT_EQ(routes, std::vector<std::string>{"10.0.0.0/8 1.2.3.4"});
    EXPECT_EQ(pos, 7);
    EXPECT_EQ(other, "x");
    std::vector<int> many = {99};
    EXPECT_EQ(Args(argv("N 1, N 2, N 3"), &errh).read_all("N", many).complete(), 0);
    EXPECT_EQ(many, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Args(argv(""), &errh).read_all("N", many).complete(), 0);
    EXPECT_EQ(many, (std::vector<int>{1, 2, 3}));
}

TEST(Args, Integers) {
    int8_t i8;
    uint8_t u8;
    int16_t i16;
    uint16_t u16;
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
    EXPECT_EQ(try_parse(IntArg(), "-128", i8), "");
    EXPECT_EQ(i8, -128);
    EXPECT_EQ(try_parse(IntArg(), "-129", i8), "V: out of range\n");
    EXPECT_EQ(try_parse(IntArg(), "255", u8), "");
    EXPECT_EQ(try_parse(IntArg(), "256", u8), "V: out of range\n");
    EXPECT_EQ(try_parse(IntArg(), "-1", u8), "V: expected unsigned integer\n");
    EXPECT_EQ(try_parse(IntArg(), "32767", i16), "");
    EXPECT_EQ(try_parse(IntArg(), "0xFFFF", u16), "");
    EXPECT_EQ(u16, 65535);
    EXPECT_EQ(try_parse(IntArg(), "-2147483648", i32), "");
    EXPECT_EQ(i32, INT32_MIN);
    EXPECT_EQ(try_parse(IntArg(), "4294967295", u32), "");
    EXPECT_EQ(try_parse(IntArg(), "4294967296", u32), "V: out of range\n");
    EXPECT_EQ(try_parse(IntArg(), "-9223372036854775808", i64), "");
    EXPECT_EQ(i64, INT64_MIN);
    EXPECT_EQ(try_parse(IntArg(), "9223372036854775808", i64), "V: out of range\n");
    EXPECT_EQ(try_parse(IntArg(), "18446744073709551615", u64), "");
    EXPECT_EQ(u64, UINT64_MAX);
    EXPECT_EQ(try_parse(IntArg(), "18446744073709551616", u64), "V: out of range\n");
    EXPECT_EQ(try_parse(IntArg(), "99999999999999999999999", i64), "V: out of range\n");
    EXPECT_EQ(try_parse(IntArg(), "1_000", i32), "");
    EXPECT_EQ(i32, 1000);
    for (const char* bad : {"", "+", "-", "0x", "12a", "1.5", "1 2", "0xfg", "_1", "1_"})
        EXPECT_EQ(try_parse(IntArg(), bad, i32), "V: expected integer\n") << bad;
}

TEST(Args, ScalarParsers) {
    bool b;
    EXPECT_EQ(try_parse(BoolArg(), "yes", b), "");
    EXPECT_TRUE(b);
    EXPECT_EQ(try_parse(BoolArg(), "FALSE", b), "");
    EXPECT_FALSE(b);
    EXPECT_EQ(try_parse(BoolArg(), "maybe", b), "V: expected boolean\n");
    double d;
    EXPECT_EQ(try_parse(DoubleArg(), "1.5e3", d), "");
    EXPECT_EQ(d, 1500.0);
    EXPECT_EQ(try_parse(DoubleArg(), "nan", d), "V: expected real number\n");
    EXPECT_EQ(try_parse(DoubleArg(), "1e999", d), "V: out of range\n");
    EXPECT_EQ(try_parse(DoubleArg(), "1.5x", d), "V: expected real number\n");

    uint32_t secs, ms;
    EXPECT_EQ(try_parse(SecondsArg(), "90", secs), "");
    EXPECT_EQ(secs, 90u);
    EXPECT_EQ(try_parse(SecondsArg(), "2min", secs), "");
    EXPECT_EQ(secs, 120u);
    EXPECT_EQ(try_parse(SecondsArg(3), "1.5", ms), "");
    EXPECT_EQ(ms, 1500u);
    EXPECT_EQ(try_parse(MillisecondsArg(), "250", ms), "");
    EXPECT_EQ(ms, 250u);
    EXPECT_EQ(try_parse(MillisecondsArg(), "2s", ms), "");
    EXPECT_EQ(ms, 2000u);
    EXPECT_EQ(try_parse(MillisecondsArg(), "1500us", ms), "");
    EXPECT_EQ(ms, 2u);  // rounded to nearest
    EXPECT_EQ(try_parse(SecondsArg(), "5 fortnights", secs), "V: expected time in seconds\n");
    EXPECT_EQ(try_parse(SecondsArg(), "-1", secs), "V: expected time in seconds\n");
    EXPECT_EQ(try_parse(SecondsArg(), "5000000000", secs), "V: out of range\n");
    EXPECT_EQ(try_parse(SecondsArg(), "99999999999999999999999999", secs), "V: out of range\n");
    FakeTimestamp ts;
    EXPECT_EQ(try_parse(SecondsArg(), "100ms", ts), "");
    EXPECT_EQ(ts.ns, 100000000);
    EXPECT_EQ(try_parse(SecondsArg(), "0.000000001", ts), "");
    EXPECT_EQ(ts.ns, 1);
    double dsec;
    EXPECT_EQ(try_parse(SecondsArg(), "250ms", dsec), "");
    EXPECT_DOUBLE_EQ(dsec, 0.25);

    std::string s;
    EXPECT_EQ(try_parse(WordArg(), "\"quoted word\"", s), "");
    EXPECT_EQ(s, "quoted word");
    EXPECT_EQ(try_parse(WordArg(), "two words", s), "V: expected word\n");
    EXPECT_EQ(try_parse(StringArg(), "\"a\\nb\" c", s), "");
    EXPECT_EQ(s, "a\nb c");
    EXPECT_EQ(try_parse(StringArg(), "\"open", s), "V: unterminated string\n");
    EXPECT_EQ(try_parse(AnyArg(), "\"raw\" text", s), "");
    EXPECT_EQ(s, "\"raw\" text");
}

TEST(Args, NetworkParsers) {
    IPAddress a, m;
    EXPECT_EQ(try_parse(IPAddressArg(), "10.1.2.3", a), "");
    EXPECT_EQ(a.unparse(), "10.1.2.3");
    for (const char* bad : {"10.1.2", "10.1.2.256", "1.2.3.4.5", "a.b.c.d", "1..2.3", "01234.1.1.1", "1.2.3.4x", ""})
        EXPECT_EQ(try_parse(IPAddressArg(), bad, a), "V: expected IP address\n") << bad;
    EXPECT_EQ(try_parse(IPPrefixArg(), "10.0.0.1/8", a, m), "");
    EXPECT_EQ(a.unparse(), "10.0.0.1");
    EXPECT_EQ(m.unparse(), "255.0.0.0");
    EXPECT_EQ(try_parse(IPPrefixArg(), "192.168.1.0 255.255.255.0", a, m), "");
    EXPECT_EQ(m.mask_to_prefix_len(), 24);
    EXPECT_EQ(try_parse(IPPrefixArg(), "0.0.0.0/0", a, m), "");
    EXPECT_EQ(m.addr(), 0u);
    EXPECT_EQ(try_parse(IPPrefixArg(), "1.2.3.4/255.0.255.0", a, m), "V: expected IP address prefix\n");
    EXPECT_EQ(try_parse(IPPrefixArg(), "1.2.3.4/33", a, m), "V: expected IP address prefix\n");
    EXPECT_EQ(try_parse(IPPrefixArg(), "1.2.3.4", a, m), "V: expected IP address prefix\n");
    EXPECT_EQ(try_parse(IPPrefixArg(true), "1.2.3.4", a, m), "");
    EXPECT_EQ(m.mask_to_prefix_len(), 32);

    EtherAddress e;
    EXPECT_EQ(try_parse(EtherAddressArg(), "00:1a:2B:3c:4d:5e", e), "");
    EXPECT_EQ(e.unparse(), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(e.unparse_dash(), "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(try_parse(EtherAddressArg(), "00-1A-2B-3C-4D-5E", e), "");
    EXPECT_EQ(try_parse(EtherAddressArg(), "0:1:2:3:4:5", e), "");
    for (const char* bad : {"00:11:22:33:44", "00:11:22:33:44:55:66", "00:11-22:33:44:55", "001:1:2:3:4:5", "gg:1:2:3:4:5"})
        EXPECT_EQ(try_parse(EtherAddressArg(), bad, e), "V: expected Ethernet address\n") << bad;

    uint16_t port;
    EXPECT_EQ(try_parse(IPPortArg(), "4050", port), "");
    EXPECT_EQ(port, 4050);
    EXPECT_EQ(try_parse(IPPortArg(), "https", port), "");
    EXPECT_EQ(port, 443);
    EXPECT_EQ(try_parse(IPPortArg(), "65536", port), "V: out of range\n");
    EXPECT_EQ(try_parse(IPPortArg(), "nope", port), "V: expected port number\n");
    int proto;
    uint8_t proto8;
    EXPECT_EQ(try_parse(IPProtocolArg(), "tcp", proto), "");
    EXPECT_EQ(proto, 6);
    EXPECT_EQ(try_parse(IPProtocolArg(), "UDP", proto8), "");
    EXPECT_EQ(proto8, 17);
    EXPECT_EQ(try_parse(IPProtocolArg(), "108", proto8), "");
    EXPECT_EQ(proto8, 108);
    EXPECT_EQ(try_parse(IPProtocolArg(), "256", proto), "V: out of range\n");
    EXPECT_EQ(try_parse(IPProtocolArg(), "carrier-pigeon", proto), "V: expected IP protocol\n");

    int off;
    EXPECT_EQ(try_parse(AnnoArg(2), "94", off), "");
    EXPECT_EQ(off, 94);
    EXPECT_NE(try_parse(AnnoArg(2), "95", off), "");
    EXPECT_EQ(try_parse(AnnoArg(8), "88", off), "");
    EXPECT_NE(try_parse(AnnoArg(8), "89", off), "");
    EXPECT_EQ(try_parse(AnnoArg(1), "PAINT", off), "");
    EXPECT_EQ(off, 16);
    EXPECT_NE(try_parse(AnnoArg(4), "PAINT", off), "");
    EXPECT_NE(try_parse(AnnoArg(1), "-1", off), "");

    // The default parsers for addresses.
    std::string text;
    Args ok(argv("A 1.2.3.4, E 00:00:00:00:00:01, S \"x y\""), nullptr);
    EXPECT_EQ(ok.read("A", a).read("E", e).read("S", text).complete(), 0);
    EXPECT_EQ(a.unparse(), "1.2.3.4");
    EXPECT_EQ(e.data()[5], 1);
    EXPECT_EQ(text, "x y");
    EXPECT_TRUE(parse_arg(IPPortArg(), "22", port));
    EXPECT_EQ(port, 22);
    EXPECT_FALSE(parse_arg<int>("x", off));
}

namespace {

// A parser of the kind the runtime writes for element references: it looks
// names up through the context and reports with the keyword prefix.
struct Registry {
    std::map<std::string, int> ids;
};

struct LookupArg {
    bool parse(const std::string& str, int& result, Args& args) const {
        const Registry* r = static_cast<const Registry*>(args.context());
        auto it = r->ids.find(str);
        if (it == r->ids.end()) {
            args.error("no element named %<%s%>", str.c_str());
            return false;
        }
        result = it->second;
        return true;
    }
};

}  // namespace

TEST(Args, CustomParsersSeeTheContext) {
    Registry reg;
    reg.ids["rsp0"] = 7;
    StringErrorHandler errh;
    int id = 0;
    EXPECT_EQ(Args(argv("RSP rsp0"), &reg, &errh).read_m("RSP", LookupArg(), id).complete(), 0);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(Args(argv("RSP nope"), &reg, &errh).read_m("RSP", LookupArg(), id).complete(), -EINVAL);
    EXPECT_EQ(errh.text(), "RSP: no element named 'nope'\n");
}

TEST(Args, ParsingOutsideConfigure) {
    int x = 3;
    EXPECT_TRUE(IntArg().parse("42", x));
    EXPECT_EQ(x, 42);
    EXPECT_FALSE(IntArg().parse("4x2", x));
    EXPECT_EQ(x, 42);
    uint8_t small = 0;
    EXPECT_FALSE(cp_integer("300", &small));
    EXPECT_TRUE(cp_integer("0x10", &small));
    EXPECT_EQ(small, 16);
    bool b = false;
    EXPECT_TRUE(cp_bool("on", &b));
    EXPECT_TRUE(b);
    IPAddress a, m;
    EXPECT_TRUE(cp_ip_prefix("10.0.0.0/8", &a, &m));
    EXPECT_EQ(m.mask_to_prefix_len(), 8);
    EXPECT_TRUE(IPAddressArg().parse("1.2.3.4", a));
    uint32_t ms = 0;
    EXPECT_TRUE(cp_seconds_as_milli("0.25", &ms));
    EXPECT_EQ(ms, 250u);
    std::string w;
    EXPECT_TRUE(cp_word("\"a b\"", &w));
    EXPECT_EQ(w, "a b");
    EXPECT_FALSE(cp_word("a b", &w));
}

TEST(Args, FuzzNeverCrashes) {
    std::mt19937 rng(4242);
    const char* words[] = {"LIMIT", "X", "FOO", " ", ",", "\"", "'", "1", "-", "0x", "99999999999999999999", ".",
                           "/", "s", "ms", ":", "tcp", "1.2.3.4", "00:11:22:33:44:55", "(", ")", "\\", "true"};
    for (int iter = 0; iter < 3000; ++iter) {
        std::string text;
        int n = rng() % 14;
        for (int i = 0; i < n; ++i)
            text += (rng() % 12 == 0) ? std::string(1, static_cast<char>(rng() % 256))
                                      : std::string(words[rng() % (sizeof words / sizeof *words)]);
        for (size_t cut = 0; cut <= text.size(); cut += 1 + text.size() / 3) {
            SilentErrorHandler errh;
            int64_t i64 = 0;
            uint8_t u8 = 0;
            bool b = false;
            double d = 0;
            uint32_t t = 0;
            IPAddress a, m;
            EtherAddress e;
            std::string s;
            int proto = 0, anno = 0;
            uint16_t port = 0;
            std::vector<std::string> conf = cp_argvec(text.substr(0, cut));
            int r = Args(conf, nullptr, &errh)
                        .read_p("LIMIT", i64)
                        .read("X", u8)
                        .read("B", b)
                        .read("D", d)
                        .read("T", SecondsArg(3), t)
                        .read("P", IPPrefixArg(true), a, m)
                        .read("E", e)
                        .read("S", WordArg(), s)
                        .read("PROTO", IPProtocolArg(), proto)
                        .read("ANNO", AnnoArg(4), anno)
                        .read("PORT", IPPortArg(), port)
                        .complete();
            ASSERT_TRUE(r == 0 || r == -EINVAL);
            ASSERT_EQ(r == 0, errh.nerrors() == 0) << text;
            for (const auto& arg : conf) {
                (void) parse_arg(IPAddressArg(), arg, a);
                (void) parse_arg(EtherAddressArg(), arg, e);
                (void) parse_arg(MillisecondsArg(), arg, t);
                (void) parse_arg(StringArg(), arg, s);
            }
        }
    }
}
