// Route text, through WRadixIPLookup (four outputs): the input's first
// chunk is a configuration (split into arguments as the language splits
// them), the rest a ctrl text of add, set and remove lines. A configuration
// that fails leaves the table empty; a ctrl text that fails leaves it as it
// was. The `table` text must read back as the same routes, and lookups of
// addresses near every route and of addresses from the input must agree
// with a longest-prefix match over those routes.
#include <host/confparse.hh>

#include "common/wradixiplookup.hh"
#include "fuzz.hh"

namespace {

constexpr int kOutputs = 4;

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "route: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// The routes of a `table` text; each line must parse as a route.
std::vector<IPRoute> read_table(const std::string& table) {
    std::vector<IPRoute> routes;
    size_t start = 0;
    while (start < table.size()) {
        size_t nl = table.find('\n', start);
        std::string line = table.substr(start, nl - start);
        IPRoute r;
        if (WIPRouteTable::parse_route(line, false, kOutputs, r) != WIPRouteTable::ROUTE_OK)
            fail("a table line does not read back", line);
        routes.push_back(r);
        start = nl == std::string::npos ? table.size() : nl + 1;
    }
    return routes;
}

// The longest-prefix match of `dst` over `routes`: its output, or -1.
int naive_lookup(const std::vector<IPRoute>& routes, IPAddress dst, IPAddress* gw) {
    int best = -1, port = -1;
    for (const IPRoute& r : routes)
        if ((dst & r.mask) == r.addr && r.prefix_len() > best) {
            best = r.prefix_len();
            port = r.port;
            *gw = r.gw;
        }
    return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(
        "s :: FuzzSink; Idle -> rt :: WRadixIPLookup -> s; rt[1] -> s; rt[2] -> s; rt[3] -> s;");
    static WRadixIPLookup* rt = static_cast<WRadixIPLookup*>(r.find("rt"));

    fuzz::Input in(data, size);
    const std::string conf_text = in.chunk();
    const std::string ctrl = in.rest();
    std::string before, after;
    r.call([&] {
        rt->flush();
        std::vector<std::string> conf = cp_argvec(conf_text);
        if (rt->configure(conf, ErrorHandler::silent_handler()) < 0 && !rt->dump_routes().empty())
            fail("a failed configuration left routes", conf_text);
        before = rt->dump_routes();
        if (rt->run_ctrl(ctrl, ErrorHandler::silent_handler()) < 0 && rt->dump_routes() != before)
            fail("a failed ctrl text changed the table", ctrl);
        after = rt->dump_routes();
    });

    std::vector<IPRoute> routes = read_table(after);
    if (routes.size() != rt->route_count())
        fail("the table does not list every route", after);
    std::vector<IPAddress> probes;
    for (const IPRoute& x : routes) {
        uint32_t a = x.addr.hostorder(), m = x.mask.hostorder();
        for (uint32_t v : {a, a | ~m, a - 1, (a | ~m) + 1})
            probes.push_back(IPAddress(htonl(v)));
        if (probes.size() >= 256)
            break;
    }
    for (size_t i = 0; i + 4 <= conf_text.size() && probes.size() < 320; i += 4)
        probes.push_back(IPAddress(reinterpret_cast<const unsigned char*>(conf_text.data()) + i));
    for (IPAddress dst : probes) {
        IPAddress gw, want_gw;
        int port = rt->lookup_route(dst, gw);
        int want = naive_lookup(routes, dst, &want_gw);
        if (port != want || (want >= 0 && gw != want_gw))
            fail("a lookup disagrees with the longest-prefix match", dst.unparse() + "\n" + after);
    }
    return 0;
}
