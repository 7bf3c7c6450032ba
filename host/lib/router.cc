#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <set>

#include "internal.hh"

using namespace quilo_host;

static std::string quote(const std::string& s) { return "'" + s + "'"; }

const char* Router::version() { return "quilo-router 1.0"; }

Router::Router(Master* m, const std::string& text) : _master(m ? m : Master::current()), _config_text(text) {}

Router* Router::create(const std::string& text, const std::string& filename,
                       const std::map<std::string, std::string>& defines, ErrorHandler* errh, Master* master,
                       Router* hotswap_of) {
    if (!errh)
        errh = ErrorHandler::default_handler();
    int before = errh->nerrors();
    auto is_class = [](const std::string& s) { return click_element_type_exists(s); };

    // Packages first: their classes must be known when the text is parsed.
    RouterConfig pre;
    SilentErrorHandler silent;
    parse_router_config(text, filename, defines, is_class, pre, &silent);
    for (auto& req : pre.requirements) {
        LandmarkErrorHandler lerrh(errh, req.landmark);
        if (req.type == "package" || req.type.empty()) {
            if (req.type.empty() && click_has_provision(req.value.c_str()))
                continue;
            click_require_package(req.value, &lerrh);
        } else
            lerrh.error("unknown requirement type %<%s%>", req.type.c_str());
    }

    RouterConfig conf;
    parse_router_config(text, filename, defines, is_class, conf, errh);
    Router* r = new Router(master, text);
    r->_defines = defines;
    r->_filename = filename;
    r->_hotswap_router = hotswap_of;
    for (auto& req : conf.requirements)
        r->_requirements.push_back(req.type.empty() ? req.value : req.type + " " + req.value);
    // The parser has already reported unknown classes.
    SilentErrorHandler quiet_unknown;
    int rb = r->build(conf, errh, &quiet_unknown);
    if (errh->nerrors() != before || rb < 0) {
        delete r;
        return nullptr;
    }
    return r;
}

Router* Router::create(const RouterConfig& conf, const std::string& text, ErrorHandler* errh, Master* master,
                       Router* hotswap_of) {
    if (!errh)
        errh = ErrorHandler::default_handler();
    Router* r = new Router(master, text);
    r->_hotswap_router = hotswap_of;
    if (r->build(conf, errh, errh) < 0) {
        delete r;
        return nullptr;
    }
    return r;
}

Router::~Router() {
    cleanup_elements();
    // Deleting elements destroys their tasks and timers, which unregister.
    for (Element* e : _elements)
        delete e;
    _elements.clear();
    // Tasks and timers that outlive the router (not members of its
    // elements) are detached.
    for (Task* t : _tasks)
        t->_router = nullptr;
    for (Timer* t : _timers)
        t->_router = nullptr;
}

void Router::cleanup_elements() {
    if (_cleaned)
        return;
    _cleaned = true;
    for (int i = nelements() - 1; i >= 0; --i)
        if (_elements[i])
            _elements[i]->cleanup(Element::CleanupStage(_element_stage[i]));
    _state = ROUTER_DEAD;
}

int Router::nthreads() const { return _master ? _master->nthreads() : 1; }

// Building: elements, ports, processing.

int Router::build(const RouterConfig& conf, ErrorHandler* errh, ErrorHandler* unknown_errh) {
    int before = errh->nerrors();
    size_t n = conf.elements.size();
    bool failed_unknown = false;
    _elements.assign(n, nullptr);
    _element_stage.assign(n, Element::CLEANUP_NO_ROUTER);
    for (size_t i = 0; i < n; ++i) {
        const ConfigElement& ce = conf.elements[i];
        Element* e = click_create_element(ce.class_name);
        if (!e) {
            unknown_errh->lerror(ce.landmark, "unknown element class %<%s%>", ce.class_name.c_str());
            if (unknown_errh != errh)
                failed_unknown = true;
            continue;
        }
        e->_name = ce.name;
        e->_landmark = ce.landmark;
        e->_router = this;
        e->_eindex = int(i);
        e->_conf = cp_argvec(ce.config);
        _elements[i] = e;
        _by_name[ce.name] = e;
    }
    // Port and processing errors are reported even when some classes were
    // unknown (those elements are left out), so one run shows everything.
    int port_errors = errh->nerrors();
    check_ports(conf, errh);
    if (errh->nerrors() == port_errors)
        resolve_processing(conf, errh);
    _handlers.assign(n + 1, {});
    _state = ROUTER_PRECONFIGURE;
    return errh->nerrors() == before && !failed_unknown ? 0 : -EINVAL;
}

int Router::check_ports(const RouterConfig& conf, ErrorHandler* errh) {
    int before = errh->nerrors();
    size_t n = _elements.size();
    std::vector<int> used_in(n, 0), used_out(n, 0);
    std::vector<PortRange> rin(n), rout(n);
    std::vector<char> ok(n, 0);
    for (size_t i = 0; i < n; ++i) {
        Element* e = _elements[i];
        if (!e)
            continue;
        bool eq;
        if (!parse_port_count(e->port_count(), rin[i], rout[i], eq)) {
            errh->lerror(e->landmark(), "%<%s%> has bad port count %<%s%>", e->declaration().c_str(),
                         e->port_count());
            continue;
        }
        ok[i] = 1;
        if (eq)
            rout[i].hi = -2;   // resolved below
    }
    for (auto& c : conf.connections) {
        if (c.from < 0 || c.to < 0 || size_t(c.from) >= n || size_t(c.to) >= n || c.from_port < 0 || c.to_port < 0)
            continue;
        used_out[c.from] = std::max(used_out[c.from], c.from_port + 1);
        used_in[c.to] = std::max(used_in[c.to], c.to_port + 1);
    }
    std::vector<int> nin(n, 0), nout(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (!ok[i])
            continue;
        nin[i] = std::max(used_in[i], rin[i].lo);
        if (rin[i].hi >= 0 && nin[i] > rin[i].hi)
            nin[i] = std::max(rin[i].hi, rin[i].lo);
        if (rout[i].hi == -2)
            rout[i].lo = rout[i].hi = nin[i];
        nout[i] = std::max(used_out[i], rout[i].lo);
        if (rout[i].hi >= 0 && nout[i] > rout[i].hi)
            nout[i] = std::max(rout[i].hi, rout[i].lo);
    }
    // Connections to ports that do not exist.
    std::vector<char> bad(conf.connections.size(), 0);
    for (size_t k = 0; k < conf.connections.size(); ++k) {
        auto& c = conf.connections[k];
        if (c.from < 0 || c.to < 0 || size_t(c.from) >= n || size_t(c.to) >= n || !_elements[c.from] ||
            !_elements[c.to] || c.from_port < 0 || c.to_port < 0) {
            bad[k] = 1;
            continue;
        }
        if (ok[c.from] && c.from_port >= nout[c.from]) {
            errh->lerror(c.landmark, "%<%s%> has no output %d", _elements[c.from]->declaration().c_str(), c.from_port);
            bad[k] = 1;
        }
        if (ok[c.to] && c.to_port >= nin[c.to]) {
            errh->lerror(c.landmark, "%<%s%> has no input %d", _elements[c.to]->declaration().c_str(), c.to_port);
            bad[k] = 1;
        }
        if (!ok[c.from] || !ok[c.to])
            bad[k] = 1;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!ok[i])
            continue;
        Element* e = _elements[i];
        e->_inputs.assign(nin[i], Element::Port());
        e->_outputs.assign(nout[i], Element::Port());
        e->_input_push.assign(nin[i], 1);
        e->_output_push.assign(nout[i], 1);
    }
    for (size_t k = 0; k < conf.connections.size(); ++k)
        if (!bad[k]) {
            auto& c = conf.connections[k];
            _connections.push_back({_elements[c.from], c.from_port, _elements[c.to], c.to_port, c.landmark});
        }
    return errh->nerrors() == before ? 0 : -EINVAL;
}

namespace {
struct UnionFind {
    std::vector<int> p;
    explicit UnionFind(int n) : p(n) { std::iota(p.begin(), p.end(), 0); }
    int find(int x) {
        while (p[x] != x)
            x = p[x] = p[p[x]];
        return x;
    }
    void unite(int a, int b) { p[find(a)] = find(b); }
};
}  // namespace

int Router::resolve_processing(const RouterConfig& conf, ErrorHandler* errh) {
    (void) conf;
    int before = errh->nerrors();
    size_t n = _elements.size();
    // Number every port: inputs then outputs of each element.
    std::vector<int> in_base(n), out_base(n);
    int total = 0;
    for (size_t i = 0; i < n; ++i) {
        in_base[i] = total;
        total += _elements[i] ? _elements[i]->ninputs() : 0;
        out_base[i] = total;
        total += _elements[i] ? _elements[i]->noutputs() : 0;
    }
    std::vector<char> code(total);
    for (size_t i = 0; i < n; ++i) {
        Element* e = _elements[i];
        if (!e)   // unknown class, already reported
            continue;
        for (int p = 0; p < e->ninputs(); ++p)
            code[in_base[i] + p] = processing_code(e->processing(), false, p);
        for (int p = 0; p < e->noutputs(); ++p)
            code[out_base[i] + p] = processing_code(e->processing(), true, p);
    }
    UnionFind uf(total);
    for (size_t i = 0; i < n; ++i) {
        Element* e = _elements[i];
        if (!e)   // unknown class, already reported
            continue;
        for (int a = 0; a < e->ninputs(); ++a)
            for (int b = 0; b < e->noutputs(); ++b)
                if (code[in_base[i] + a] == 'a' && code[out_base[i] + b] == 'a' && e->port_flow(false, a, b))
                    uf.unite(in_base[i] + a, out_base[i] + b);
    }
    std::vector<char> conflict_conn(_connections.size(), 0);
    for (size_t k = 0; k < _connections.size(); ++k) {
        auto& c = _connections[k];
        int o = out_base[c.from->eindex()] + c.from_port, in = in_base[c.to->eindex()] + c.to_port;
        if (code[o] != 'a' && code[in] != 'a' && code[o] != code[in]) {
            conflict_conn[k] = 1;
            continue;
        }
        uf.unite(o, in);
    }
    // Fixed codes per component.
    std::vector<char> comp(total, 0);   // 0 none, 'h', 'l', 'x' conflict
    for (int p = 0; p < total; ++p)
        if (code[p] != 'a') {
            char& c = comp[uf.find(p)];
            if (c == 0)
                c = code[p];
            else if (c != code[p])
                c = 'x';
        }
    std::set<int> reported;
    for (size_t i = 0; i < n; ++i) {
        Element* e = _elements[i];
        if (!e)   // unknown class, already reported
            continue;
        for (int pass = 0; pass < 2; ++pass) {
            bool out = pass == 1;
            int base = out ? out_base[i] : in_base[i];
            for (int p = 0; p < e->nports(out); ++p) {
                char c = code[base + p];
                if (c == 'a') {
                    char r = comp[uf.find(base + p)];
                    if (r == 'x') {
                        if (reported.insert(uf.find(base + p)).second)
                            errh->lerror(e->landmark(), "agnostic %<%s%> in mixed push/pull context",
                                         e->declaration().c_str());
                        r = 'h';
                    }
                    c = r == 'l' ? 'l' : 'h';
                }
                (out ? e->_output_push : e->_input_push)[p] = c == 'h';
            }
        }
    }
    // Push/pull mismatches, reuse, and unused ports.
    std::vector<int> uses(total, 0);
    for (size_t k = 0; k < _connections.size(); ++k) {
        auto& c = _connections[k];
        bool opush = c.from->output_is_push(c.from_port), ipush = c.to->input_is_push(c.to_port);
        int o = out_base[c.from->eindex()] + c.from_port, in = in_base[c.to->eindex()] + c.to_port;
        uses[o]++;
        uses[in]++;
        if (opush != ipush) {
            errh->lerror(c.landmark, "%<%s%> %s output %d connected to %<%s%> %s input %d",
                         c.from->declaration().c_str(), opush ? "push" : "pull", c.from_port,
                        c.to->declaration().c_str(), ipush ? "push" : "pull", c.to_port);
            continue;
        }
        if (opush) {
            if (uses[o] > 1)
                errh->lerror(c.landmark, "illegal reuse of %<%s%> push output %d", c.from->declaration().c_str(), c.from_port);
            else
                c.from->_outputs[c.from_port] = Element::Port(c.from, c.to, c.to_port);
        } else {
            if (uses[in] > 1)
                errh->lerror(c.landmark, "illegal reuse of %<%s%> pull input %d", c.to->declaration().c_str(), c.to_port);
            else
                c.to->_inputs[c.to_port] = Element::Port(c.to, c.from, c.from_port);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        Element* e = _elements[i];
        if (!e)   // unknown class, already reported
            continue;
        for (int p = 0; p < e->ninputs(); ++p)
            if (!uses[in_base[i] + p])
                errh->lerror(e->landmark(), "%<%s%> input %d not connected", e->declaration().c_str(), p);
        for (int p = 0; p < e->noutputs(); ++p)
            if (!uses[out_base[i] + p])
                errh->lerror(e->landmark(), "%<%s%> output %d not connected", e->declaration().c_str(), p);
    }
    return errh->nerrors() == before ? 0 : -EINVAL;
}

// Life cycle.

int Router::initialize(ErrorHandler* errh) {
    if (!errh)
        errh = ErrorHandler::default_handler();
    if (_state != ROUTER_PRECONFIGURE)
        return errh->error("router already initialized");
    size_t n = _elements.size();
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::vector<int> phase(n);
    for (size_t i = 0; i < n; ++i)
        phase[i] = _elements[i]->configure_phase();
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return phase[a] < phase[b]; });

    bool failed = false;
    for (int i : order) {
        Element* e = _elements[i];
        ContextErrorHandler cerrh(errh, "While configuring " + quote(e->declaration()) + ":", "  ", e->landmark());
        std::vector<std::string> conf = e->_conf;
        int before = cerrh.nerrors();
        int r = e->configure(conf, &cerrh);
        if (r < 0 || cerrh.nerrors() != before) {
            failed = true;
            _element_stage[i] = Element::CLEANUP_CONFIGURE_FAILED;
            if (cerrh.nerrors() == before)
                cerrh.error("configuration failed");
        } else
            _element_stage[i] = Element::CLEANUP_CONFIGURED;
    }
    if (failed)
        return -EINVAL;
    _state = ROUTER_PREINITIALIZE;

    add_router_handlers();
    for (Element* e : _elements) {
        add_element_handlers(e);
        e->add_handlers();
    }

    for (size_t i = 0; i < n; ++i) {
        Element* e = _elements[i];
        ContextErrorHandler cerrh(errh, "While initializing " + quote(e->declaration()) + ":", "  ", e->landmark());
        int before = cerrh.nerrors();
        int r = e->initialize(&cerrh);
        if (r < 0 || cerrh.nerrors() != before) {
            _element_stage[i] = Element::CLEANUP_INITIALIZE_FAILED;
            if (cerrh.nerrors() == before)
                cerrh.error("initialization failed");
            return -EINVAL;
        }
        _element_stage[i] = Element::CLEANUP_INITIALIZED;
    }
    for (size_t i = 0; i < n; ++i)
        _element_stage[i] = Element::CLEANUP_ROUTER_INITIALIZED;
    _state = ROUTER_LIVE;
    return 0;
}

void Router::please_stop_driver() {
    if (_master)
        _master->please_stop();
}

// Lookup.

Element* Router::find(const std::string& name, ErrorHandler* errh) const {
    auto it = _by_name.find(name);
    if (it != _by_name.end())
        return it->second;
    if (errh)
        errh->error("no element named %<%s%>", name.c_str());
    return nullptr;
}

// Inside compound elements a name is looked up from the context's own
// compound outwards: for context "a/b/x", "a/b/NAME", then "a/NAME", then
// "NAME".
Element* Router::find(const std::string& name, const Element* context, ErrorHandler* errh) const {
    if (context) {
        std::string prefix = context->name();
        for (size_t slash; (slash = prefix.rfind('/')) != std::string::npos;) {
            prefix.resize(slash);
            auto it = _by_name.find(prefix + "/" + name);
            if (it != _by_name.end())
                return it->second;
        }
    }
    return find(name, errh);
}

bool Router::has_compound(const std::string& name) const {
    auto it = _by_name.lower_bound(name + "/");
    return it != _by_name.end() && it->first.compare(0, name.size() + 1, name + "/") == 0;
}

int Router::schedule_tickets(const Element* owner) const {
    if (_schedule_params.empty() || !owner)
        return 0;
    const std::string& name = owner->name();
    double product = 1;
    bool found = false;
    for (size_t end = name.find('/');; end = name.find('/', end + 1)) {
        auto it = _schedule_params.find(name.substr(0, end));
        if (it != _schedule_params.end()) {
            product *= it->second;
            found = true;
        }
        if (end == std::string::npos)
            break;
    }
    if (!found)
        return 0;
    double t = product * Task::DEFAULT_TICKETS + 0.5;
    return t < 1 ? 1 : t > Task::MAX_TICKETS ? Task::MAX_TICKETS : int(t);
}

// Texts.

std::string Router::flat_configuration() const {
    std::string s;
    for (Element* e : _elements) {
        s += e->name() + " :: " + e->class_name();
        std::string c = e->configuration();
        if (!c.empty())
            s += "(" + c + ")";
        s += ";\n";
    }
    for (auto& c : _connections)
        s += c.from->name() + " [" + std::to_string(c.from_port) + "] -> [" + std::to_string(c.to_port) + "] " +
             c.to->name() + ";\n";
    return s;
}

std::string Router::element_ports_string(const Element* e) const {
    std::string s;
    auto side = [&](bool out) {
        int np = e->nports(out);
        s += std::to_string(np) + (out ? (np == 1 ? " output\n" : " outputs\n") : (np == 1 ? " input\n" : " inputs\n"));
        for (int p = 0; p < np; ++p) {
            s += e->port_is_push(out, p) ? "push" : "pull";
            s += "\t-\t";
            bool first = true;
            for (auto& c : _connections) {
                if (out && c.from == e && c.from_port == p) {
                    s += (first ? "" : ", ") + c.to->name() + " [" + std::to_string(c.to_port) + "]";
                    first = false;
                } else if (!out && c.to == e && c.to_port == p) {
                    s += (first ? "" : ", ") + std::string("[") + std::to_string(c.from_port) + "] " + c.from->name();
                    first = false;
                }
            }
            s += "\n";
        }
    };
    side(false);
    side(true);
    return s;
}

// Notifier signals.

int Router::new_notifier_signal(const char*, NotifierSignal& signal) {
    int word = _notifier_bits / 32, bit = _notifier_bits % 32;
    if (bit == 0)
        _notifier_words.emplace_back(0u);
    ++_notifier_bits;
    signal = NotifierSignal(&_notifier_words[word], 1u << bit);
    signal.set_active(true);
    return 0;
}

// Task, timer and selection registry.

void Router::register_task(Task* t) { _tasks.push_back(t); }
void Router::unregister_task(Task* t) {
    auto it = std::find(_tasks.begin(), _tasks.end(), t);
    if (it != _tasks.end())
        _tasks.erase(it);
}
void Router::register_timer(Timer* t) { _timers.push_back(t); }
void Router::unregister_timer(Timer* t) {
    auto it = std::find(_timers.begin(), _timers.end(), t);
    if (it != _timers.end())
        _timers.erase(it);
}

int Router::add_select(Element* e, int fd, int mask) {
    if (fd < 0 || !(mask & (Element::SELECT_READ | Element::SELECT_WRITE)))
        return -EINVAL;
    bool found = false;
    for (auto& s : _selects)
        if (s.fd == fd && s.e == e) {
            s.mask |= mask;
            found = true;
        }
    if (!found)
        _selects.push_back({fd, mask, e});
    if (running())
        return _master->thread(std::min(e->home_thread_id(), nthreads() - 1))
            ->add_select(fd, mask, e, nullptr);
    return 0;
}

int Router::remove_select(Element* e, int fd, int mask) {
    for (size_t i = 0; i < _selects.size(); ++i)
        if (_selects[i].fd == fd && _selects[i].e == e) {
            _selects[i].mask &= ~mask;
            if (!_selects[i].mask)
                _selects.erase(_selects.begin() + i);
            break;
        }
    if (running())
        return _master->thread(std::min(e->home_thread_id(), nthreads() - 1))->remove_select(fd, mask, e);
    return 0;
}
