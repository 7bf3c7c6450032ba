// The configuration language. Text that parses cleanly must come back from
// its flat form (the router's "flatconfig") as the same elements, with the
// same arguments, and the same connections; then the router is built, which configures every element it
// declares through Args, and thrown away without being initialized (no file,
// device or socket is opened).
#include <host/confparse.hh>

#include "fuzz.hh"

namespace {

bool same(const RouterConfig& a, const RouterConfig& b) {
    if (a.elements.size() != b.elements.size() || a.connections.size() != b.connections.size())
        return false;
    for (size_t i = 0; i < a.elements.size(); ++i)
        if (a.elements[i].name != b.elements[i].name || a.elements[i].class_name != b.elements[i].class_name ||
            cp_argvec(a.elements[i].config) != cp_argvec(b.elements[i].config))
            return false;
    for (size_t i = 0; i < a.connections.size(); ++i) {
        const ConfigConnection &x = a.connections[i], &y = b.connections[i];
        if (x.from != y.from || x.from_port != y.from_port || x.to != y.to || x.to_port != y.to_port)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Master* master = [] {
        fuzz::load_classes();
        return new Master(1);
    }();
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto is_class = [](const std::string& s) { return click_element_type_exists(s); };

    RouterConfig conf;
    SilentErrorHandler errh;
    if (parse_router_config(text, "fuzz.click", {}, is_class, conf, &errh) == 0) {
        const std::string flat = unparse_router_config(conf);
        RouterConfig again;
        SilentErrorHandler errh2;
        if (parse_router_config(flat, "flat.click", {}, is_class, again, &errh2) != 0 || !same(conf, again)) {
            std::fprintf(stderr, "flat form does not parse back:\n%s\n", flat.c_str());
            std::abort();
        }
    }

    SilentErrorHandler berrh;
    delete Router::create(text, "fuzz.click", {}, &berrh, master);
    return 0;
}
