// WRadixIPLookup through its configuration, handlers and packet path, and
// against a plain longest-prefix match over random routes and edits.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <random>

#include "common/annotations.hh"
#include "common/wradixiplookup.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

const char* const four_outputs =
    "Idle -> rt; rt[0] -> s :: QuiloTestSink; rt[1] -> [1]s; rt[2] -> [2]s; rt[3] -> [3]s;";

struct Table {
    TestRouter r;
    WRadixIPLookup* rt = nullptr;
    explicit Table(const std::string& routes = "") {
        EXPECT_TRUE(r.build("rt :: WRadixIPLookup(" + routes + "); " + four_outputs)) << r.errors();
        rt = r.get<WRadixIPLookup>("rt");
    }
    // Handler rt.NAME: a write ("" on success) or a read with a parameter;
    // the error text on failure.
    std::string call(const std::string& name, const std::string& value, bool read = false) {
        StringErrorHandler errh;
        Element* e;
        const Handler* h = r.router()->find_handler("rt." + name, &e, &errh);
        std::string out = read ? h->call_read(e, value, &errh) : h->call_write(value, e, &errh) < 0 ? "!" : "";
        return errh.nerrors() ? errh.text() : out;
    }
    std::string write(const std::string& name, const std::string& value) { return call(name, value); }
    std::string lookup(const std::string& addr) { return call("lookup", addr, true); }
    std::string table() { return r.read("rt.table"); }
};

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

}  // namespace

TEST(WRadixIPLookup, ConfigurationParsesRoutesAndReportsErrors) {
    Table t("10.1.2.3/8 0, 192.168.100.0/24 10.0.0.1 1, 10.0.0.0/255.255.0.0 2, 10.9.9.9 3, 10.0.0.0/8 1");
    // Addresses are masked; the later 10.0.0.0/8 replaced the first; a bare
    // address is a /32; a prefix of 16 characters takes one tab.
    EXPECT_EQ(t.table(),
              "192.168.100.0/24\t10.0.0.1\t1\n10.0.0.0/16\t\t-\t2\n10.9.9.9/32\t\t-\t3\n10.0.0.0/8\t\t-\t1\n");
    EXPECT_TRUE(contains(t.r.errors(), "1 route replaced by later versions")) << t.r.errors();

    TestRouter bad;
    EXPECT_FALSE(bad.build("rt :: WRadixIPLookup(10.0.0.0/8 0, 10.0.0.0/8, 10.0.0.0/8 4, 10.0.0.0/255.0.255.0 1, "
                           "300.0.0.0/8 0); " +
                           std::string(four_outputs)));
    EXPECT_TRUE(contains(bad.errors(), "argument 2 should be 'ADDR/MASK [GATEWAY] OUTPUT'")) << bad.errors();
    EXPECT_TRUE(contains(bad.errors(), "argument 3 bad OUTPUT"));
    EXPECT_TRUE(contains(bad.errors(), "argument 4 should be"));  // a mask with holes has no trie level
    EXPECT_TRUE(contains(bad.errors(), "argument 5 should be"));
}

TEST(WRadixIPLookup, HandlersAndTheirMessages) {
    Table t("10.0.0.0/12 1");
    EXPECT_EQ(t.write("add", "10.0.0.0/12 2"), "conflict with existing route '10.0.0.0/12 1'\n");
    EXPECT_EQ(t.write("add", "10.0.0.0/12"), "expected 'ADDR/MASK [GATEWAY] OUTPUT'\n");
    EXPECT_EQ(t.write("add", "10.0.0.0/12 9"), "bad OUTPUT\n");
    EXPECT_EQ(t.write("remove", "10.0.0.0/12 1.2.3.4 5 6"), "expected 'ADDR/MASK [GATEWAY OUTPUT]'\n");
    EXPECT_EQ(t.write("remove", "10.1.0.0/16"), "route '10.1.0.0/16' not found\n");
    EXPECT_EQ(t.write("remove", "10.0.0.0/12 2"), "route '10.0.0.0/12 2' not found\n");  // output must match
    EXPECT_EQ(t.write("remove", "10.0.0.0/12 10.0.0.1"), "route '10.0.0.0/12 10.0.0.1' not found\n");
    EXPECT_EQ(t.lookup("nonsense"), "expected IP address\n");
    EXPECT_EQ(t.lookup("11.0.0.1"), "-1\n");

    // A /12 and a /24 inside it; then the /24 goes and the /12 answers again.
    EXPECT_EQ(t.write("add", "10.1.2.0/24 10.9.9.1 2"), "");
    EXPECT_EQ(t.lookup("10.1.2.77"), "2 10.9.9.1\n");
    EXPECT_EQ(t.lookup("10.15.255.255"), "1\n");
    EXPECT_EQ(t.lookup("10.16.0.0"), "-1\n");
    EXPECT_EQ(t.write("set", "10.1.2.0/24 3"), "");
    EXPECT_EQ(t.lookup("10.1.2.77"), "3\n");
    EXPECT_EQ(t.write("remove", "10.1.2.0/24 - 3"), "");
    EXPECT_EQ(t.lookup("10.1.2.77"), "1\n");

    // The default route, alone, catches every address.
    EXPECT_EQ(t.write("remove", "10.0.0.0/12"), "");
    EXPECT_EQ(t.write("add", "0.0.0.0/0 192.168.0.1 0"), "");
    for (const char* a : {"0.0.0.0", "10.1.2.3", "255.255.255.255"})
        EXPECT_EQ(t.lookup(a), "0 192.168.0.1\n") << a;
    EXPECT_EQ(t.table(), "0.0.0.0/0\t\t192.168.0.1\t0\n");
    // The table's lines read back as routes.
    EXPECT_EQ(t.write("remove", "0.0.0.0/0\t\t192.168.0.1\t0"), "");
    EXPECT_EQ(t.table(), "");
}

TEST(WRadixIPLookup, CtrlAppliesAllOrNothing) {
    Table t("10.0.0.0/8 0, 10.1.0.0/16 1");
    std::string before = t.table();
    // The third line fails: the first two are undone, the first error returned.
    EXPECT_EQ(t.write("ctrl", "remove 10.1.0.0/16\nset 10.0.0.0/8 10.0.0.254 2\nadd 10.0.0.0/8 3\nadd 11.0.0.0/8 1"),
              "conflict with existing route '10.0.0.0/8 10.0.0.254 2'\n");
    EXPECT_EQ(t.table(), before);
    EXPECT_EQ(t.lookup("10.1.1.1"), "1\n");
    EXPECT_EQ(t.rt->pairs_in_use(), 2);
    EXPECT_EQ(t.write("ctrl", "add 12.0.0.0/8 1\nfrobnicate 13.0.0.0/8 1"), "bad command 'frobnicate'\n");
    EXPECT_EQ(t.write("ctrl", "add 12.0.0.0/8 1\nadd 13.0.0.0/8 7"), "bad OUTPUT\n");
    EXPECT_EQ(t.write("ctrl", "add 10.0.0.0/8 1\nadd 13.0.0.0/8 7"), "conflict with existing route '10.0.0.0/8 0'\n");
    EXPECT_EQ(t.table(), before);

    EXPECT_EQ(t.write("ctrl", "\nremove 10.1.0.0/16 1\n  set 10.0.0.0/8 2\nadd 11.0.0.0/8 10.0.0.1 3\n"), "");
    EXPECT_EQ(t.table(), "10.0.0.0/8\t\t-\t2\n11.0.0.0/8\t\t10.0.0.1\t3\n");
}

TEST(WRadixIPLookup, PairsAreBoundedReusedAndFlushed) {
    Table t;
    auto gw = [](int i) { return "10.255." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
    std::string text;
    for (int i = 0; i < 255; ++i)
        text += "add 20." + std::to_string(i) + ".0.0/16 " + gw(i) + " 1\n";
    EXPECT_EQ(t.write("ctrl", text), "");
    EXPECT_EQ(t.r.read("rt.pairs"), "255\n");
    // A 256th pair is refused, in a handler and in a configuration.
    EXPECT_EQ(t.write("add", "30.0.0.0/8 10.254.0.1 1"),
              "no room for route '30.0.0.0/8 10.254.0.1 1': all 255 (gateway, output) pairs are in use\n");
    EXPECT_EQ(t.write("add", "30.0.0.0/8 " + gw(7) + " 1"), "");  // an existing pair is fine
    // A route that is its pair's only user may change its pair.
    EXPECT_EQ(t.write("set", "20.3.0.0/16 10.254.0.1 2"), "");
    EXPECT_EQ(t.lookup("20.3.1.1"), "2 10.254.0.1\n");
    // Removing the last user of a pair frees it for another.
    EXPECT_EQ(t.write("remove", "20.4.0.0/16"), "");
    EXPECT_EQ(t.write("add", "31.0.0.0/8 10.254.0.2 3"), "");
    EXPECT_EQ(t.lookup("31.1.1.1"), "3 10.254.0.2\n");
    EXPECT_EQ(t.lookup("20.5.1.1"), "1 " + gw(5) + "\n");
    // Edits over a long uptime do not use pairs up: with one pair free,
    // routes with ever new gateways come and go.
    EXPECT_EQ(t.write("remove", "20.10.0.0/16"), "");
    for (int i = 0; i < 600; ++i) {
        std::string route = "40.0.0.0/8 10.200." + std::to_string(i / 250) + "." + std::to_string(i % 250) + " 0";
        ASSERT_EQ(t.write("add", route), "") << route;
        ASSERT_EQ(t.write("remove", route), "") << route;
    }

    EXPECT_EQ(t.write("flush", ""), "");
    EXPECT_EQ(t.table(), "");
    EXPECT_EQ(t.r.read("rt.pairs"), "0\n");
    EXPECT_EQ(t.rt->trie().nodes_in_use(), 0u);
    EXPECT_EQ(t.write("ctrl", text), "");  // all 255 fit again

    std::string conf;
    for (int i = 0; i < 256; ++i)
        conf += (i ? ", 20." : "20.") + std::to_string(i) + ".0.0/16 " + gw(i) + " 1";
    TestRouter over;
    EXPECT_FALSE(over.build("rt :: WRadixIPLookup(" + conf + "); " + four_outputs));
    EXPECT_TRUE(contains(over.errors(), "all 255 (gateway, output) pairs are in use")) << over.errors();
}

TEST(WRadixIPLookup, PacketPath) {
    Table t("10.0.0.0/8 1, 10.1.2.0/24 10.9.9.1 2");
    auto* sink = t.r.get<Sink>("s");
    auto send = [&](uint32_t anno, uint32_t header_dst) {
        Frame f;
        f.dst = header_dst;
        Packet* p = make_packet(f);
        p->set_network_header(p->data() + 14, 20);
        set_dst_ip_anno(p, htonl(anno));
        t.rt->push(0, p);
    };
    send(0x0a010203, 0);           // 10.1.2.3 by annotation: gateway route
    send(0x0a050505, 0);           // 10.5.5.5: no gateway
    send(0, 0x0a010209);           // no annotation: the header's 10.1.2.9
    send(0x0b000001, 0x0a000001);  // 11.0.0.1 by annotation: no route
    ASSERT_EQ(sink->packets.size(), 3u);
    EXPECT_EQ(sink->ports[0], 2);
    EXPECT_EQ(ntohl(dst_ip_anno(sink->packets[0])), 0x0a090901u);
    EXPECT_EQ(sink->ports[1], 1);
    EXPECT_EQ(ntohl(dst_ip_anno(sink->packets[1])), 0x0a050505u);
    EXPECT_EQ(sink->ports[2], 2);
    EXPECT_EQ(t.r.read("rt.no_route"), "1\n");
}

// Random routes, edits and lookups against one map per prefix length.
TEST(WRadixIPLookup, MatchesAPlainLongestPrefixMatch) {
    Table t;
    std::mt19937 rng(19);
    std::map<uint64_t, IPRoute> ref;  // (len, masked address) -> route
    auto key = [](const IPRoute& r) { return uint64_t(r.prefix_len()) << 32 | r.addr.hostorder(); };
    // Addresses are a few base addresses with a random tail of random
    // length, so that prefixes nest at every level of the trie.
    uint32_t bases[8];
    for (uint32_t& b : bases)
        b = rng();
    auto address = [&]() {
        uint32_t tail = uint32_t((uint64_t(1) << (rng() % 33)) - 1);
        return (bases[rng() % 8] & ~tail) | (rng() & tail);
    };
    auto random_route = [&]() {
        static const int lens[] = {0, 4, 8, 12, 15, 16, 17, 19, 20, 21, 23, 24, 24, 24, 25, 28, 29, 31, 32};
        int len = lens[rng() % (sizeof lens / sizeof lens[0])];
        uint32_t gw = rng() % 3 ? 0 : htonl(0xc0a80000 | (rng() % 40));
        return IPRoute(IPAddress(htonl(address())), IPAddress::make_prefix(len), IPAddress(gw), int(rng() % 4));
    };
    auto expect = [&](uint32_t a) {
        for (int len = 32; len >= 0; --len) {
            uint32_t m = len ? ~uint32_t(0) << (32 - len) : 0;
            auto it = ref.find(uint64_t(len) << 32 | (a & m));
            if (it != ref.end())
                return it->second;
        }
        return IPRoute();
    };
    for (int step = 0; step < 40000; ++step) {
        IPRoute r = random_route();
        int what = int(rng() % 10);
        if (what < 5) {
            IPRoute old;
            int code = t.rt->add_route(r, what == 4, &old, ErrorHandler::silent_handler());
            bool had = ref.count(key(r));
            ASSERT_EQ(code, had && what != 4 ? -EEXIST : 0) << r.unparse();
            if (code == 0)
                ref[key(r)] = r;
        } else if (what < 7 && !ref.empty()) {
            // Remove a stored route, named by its prefix alone or in full.
            auto it = std::next(ref.begin(), long(rng() % ref.size()));
            IPRoute name = it->second;
            if (rng() % 2)
                name = IPRoute(name.addr, name.mask, IPAddress(), -1);
            ASSERT_EQ(t.rt->remove_route(name, nullptr, ErrorHandler::silent_handler()), 0) << name.unparse();
            ref.erase(it);
        } else
            ASSERT_EQ(t.rt->remove_route(r, nullptr, ErrorHandler::silent_handler()),
                      ref.count(key(r)) && r.names(ref[key(r)]) ? 0 : -ENOENT);
        if (what >= 7 && ref.count(key(r)) && r.names(ref[key(r)]))
            ref.erase(key(r));
        for (int k = 0; k < 8; ++k) {
            uint32_t a = address();
            IPRoute want = expect(a);
            IPAddress gw;
            int port = t.rt->lookup_route(IPAddress(htonl(a)), gw);
            ASSERT_EQ(port, want.port) << IPAddress(htonl(a)).unparse() << " step " << step;
            ASSERT_EQ(gw, want.gw) << IPAddress(htonl(a)).unparse() << " step " << step;
        }
        if (step % 10000 == 9999) {
            ASSERT_EQ(t.rt->route_count(), ref.size());
        }
    }
    EXPECT_GT(ref.size(), 1000u);
}

// Random and truncated route texts: parsed or refused, never a crash.
TEST(WRadixIPLookup, RouteParserTakesAnyText) {
    std::mt19937 rng(7);
    const std::string alphabet = "0123456789./ -x\t", good = "10.1.2.0/24 10.9.9.1 3";
    for (int i = 0; i < 20000; ++i) {
        std::string s = good.substr(0, rng() % (good.size() + 1));
        for (size_t n = i % 2 && !s.empty() ? rng() % 8 : 0; n; --n)  // and corrupted
            s[rng() % s.size()] = alphabet[rng() % alphabet.size()];
        IPRoute r;
        bool ok = WIPRouteTable::parse_route(s, i % 3 == 0, 4, r) == WIPRouteTable::ROUTE_OK;
        EXPECT_TRUE(!ok || (r.prefix_len() >= 0 && r.port < 4 && (r.addr & r.mask) == r.addr)) << s;
    }
}
