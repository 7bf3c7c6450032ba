#include "classifiers/dpiclassifier.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/ipaddress.hh>

#include <algorithm>
#include <cstring>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"

namespace {

// Balanced search tree over a sorted array: the (lower) middle element is
// the root, the halves its subtrees. Returns the root's index, -1 if empty.
template <typename T>
int build_tree(std::vector<T>& v, int lo, int hi) {
    if (lo > hi)
        return -1;
    int mid = lo + (hi - lo) / 2;
    v[size_t(mid)].left = build_tree(v, lo, mid - 1);
    v[size_t(mid)].right = build_tree(v, mid + 1, hi);
    return mid;
}

bool port_holds(const DPIClassifier::PortPattern& e, uint16_t v) {
    switch (e.op) {
    case DPIClassifier::PortPattern::GT:
        return v > e.port;
    case DPIClassifier::PortPattern::LT:
        return v < e.port;
    default:
        return v == e.port;
    }
}

bool port_tree_search(const std::vector<DPIClassifier::PortPattern>& t, int n, uint16_t v) {
    while (n >= 0) {
        const DPIClassifier::PortPattern& e = t[size_t(n)];
        if (port_holds(e, v))
            return true;
        // A less-than node is the leftmost of the tree: everything else lies right.
        n = e.op == DPIClassifier::PortPattern::LT ? e.right : v < e.port ? e.left : e.right;
    }
    return false;
}

bool dpi_tree_search(const std::vector<DPIClassifier::DPIProtocolPattern>& t, int n, uint16_t id) {
    while (n >= 0) {
        const DPIClassifier::DPIProtocolPattern& e = t[size_t(n)];
        if (id == e.protocol)
            return true;
        n = id < e.protocol ? e.left : e.right;
    }
    return false;
}

// The words of a list after its keyword: entries separated by "or" or
// "and". Returns false when separators and entries do not alternate.
// *has_or / *has_and tell which separators were used.
bool split_list(const std::vector<std::string>& w, size_t from, std::vector<std::vector<std::string>>* entries,
                bool* has_or, bool* has_and) {
    *has_or = *has_and = false;
    std::vector<std::string> cur;
    for (size_t i = from; i < w.size(); ++i) {
        if (w[i] == "or" || w[i] == "and") {
            (w[i] == "or" ? *has_or : *has_and) = true;
            if (cur.empty())
                return false;
            entries->push_back(std::move(cur));
            cur.clear();
        } else {
            cur.push_back(w[i]);
        }
    }
    if (cur.empty())
        return entries->empty() && !*has_or && !*has_and;
    entries->push_back(std::move(cur));
    return true;
}

std::string prefix_text(uint32_t addr, uint32_t mask) {
    IPAddress m(mask);
    int len = m.mask_to_prefix_len();
    return IPAddress(addr).unparse() + "/" + (len >= 0 ? std::to_string(len) : m.unparse());
}

// The fields of a packet that rules look at.
struct Fields {
    uint32_t saddr, daddr;  // network order
    uint32_t proto;
    uint8_t tos;
    bool has_ports;
    uint16_t sport, dport;  // host order
    uint16_t app, master;
};

bool fields_of(const Packet* p, Fields* f) {
    IPv4View v;
    if (!ipv4_view(p, &v))
        return false;
    std::memcpy(&f->saddr, v.ip + 12, 4);
    std::memcpy(&f->daddr, v.ip + 16, 4);
    f->proto = v.proto();
    f->tos = v.ip[1];
    // Ports only from a complete header of a first fragment (the IPv4 view
    // has bounded the total length by the bytes present).
    size_t need = f->proto == IPPROTO_TCP ? 20 : f->proto == IPPROTO_UDP ? 8 : 0;
    f->has_ports = need && v.first_fragment() && v.payload_len() >= need;
    f->sport = f->has_ports ? uint16_t(v.payload()[0] << 8 | v.payload()[1]) : 0;
    f->dport = f->has_ports ? uint16_t(v.payload()[2] << 8 | v.payload()[3]) : 0;
    f->app = dpi_proto_anno(p);
    f->master = dpi_master_proto_anno(p);
    return true;
}

bool all_hold(const std::vector<DPIClassifier::PortPattern>& ports, uint16_t v) {
    for (const auto& e : ports)
        if (!port_holds(e, v))
            return false;
    return true;
}

// The rest of a rule, once its addresses and protocol matched (see Screen).
bool matches_rest(const DPIClassifier::Pattern& pt, const Fields& f) {
    using P = DPIClassifier::Pattern;
    if (pt.dpi_root >= 0)
        return dpi_tree_search(pt.dpi_list, pt.dpi_root, f.app) || dpi_tree_search(pt.dpi_list, pt.dpi_root, f.master);
    if (!pt.dscp_list.empty())
        return std::find(pt.dscp_list.begin(), pt.dscp_list.end(), uint8_t(f.tos & 0xFC)) != pt.dscp_list.end();
    if (pt.ports.empty())
        return true;
    if (!f.has_ports)
        return false;
    bool all = pt.conj == P::AND;
    switch (pt.port_side) {
    case P::SRC:
        return all ? all_hold(pt.ports, f.sport) : port_tree_search(pt.ports, pt.port_root, f.sport);
    case P::DST:
        return all ? all_hold(pt.ports, f.dport) : port_tree_search(pt.ports, pt.port_root, f.dport);
    case P::EITHER:
        // AND: every entry holds for the same port, so a range means one
        // port within it.
        if (all)
            return all_hold(pt.ports, f.sport) || all_hold(pt.ports, f.dport);
        return port_tree_search(pt.ports, pt.port_root, f.dport) || port_tree_search(pt.ports, pt.port_root, f.sport);
    default:
        return false;
    }
}

}  // namespace

// Of the less-than entries only the largest bound stays, of the greater-than
// entries the smallest; equal entries are sorted, and those the two bounds
// already cover are dropped. Result: [less-than], equal..., [greater-than].
// Only for OR lists: in an AND list every entry narrows the match.
void DPIClassifier::normalize_ports(std::vector<PortPattern>& ports) {
    const PortPattern* lt = nullptr;
    const PortPattern* gt = nullptr;
    std::vector<PortPattern> eq;
    for (const PortPattern& e : ports) {
        if (e.op == PortPattern::LT && (!lt || e.port > lt->port))
            lt = &e;
        else if (e.op == PortPattern::GT && (!gt || e.port < gt->port))
            gt = &e;
        else if (e.op == PortPattern::EQ)
            eq.push_back(e);
    }
    std::sort(eq.begin(), eq.end(), [](const PortPattern& a, const PortPattern& b) { return a.port < b.port; });
    eq.erase(std::unique(eq.begin(), eq.end(), [](const PortPattern& a, const PortPattern& b) { return a.port == b.port; }),
             eq.end());
    std::vector<PortPattern> out;
    if (lt)
        out.push_back(*lt);
    for (const PortPattern& e : eq)
        if (!(lt && e.port < lt->port) && !(gt && e.port > gt->port))
            out.push_back(e);
    if (gt)
        out.push_back(*gt);
    for (PortPattern& e : out)
        e.left = e.right = -1;
    ports.swap(out);
}

bool DPIClassifier::parse_rule(const std::string& rule, const std::string& name, Pattern* out, ErrorHandler* errh) {
    const char* n = name.c_str();
    const char* r = rule.c_str();
    std::vector<std::string> w = cp_spacevec(rule);
    if (w.size() < 7 || w[0] != "src" || w[2] != "and" || w[3] != "dst" || w[5] != "and") {
        errh->error("%s invalid pattern config: %s", n, r);
        return false;
    }
    Pattern pt;
    IPAddress a, m;
    if (!cp_ip_prefix(w[1], &a, &m, true)) {
        errh->error("%s invalic src value: %s", n, r);
        return false;
    }
    pt.src_addr = a.addr() & m.addr();
    pt.src_mask = m.addr();
    if (!cp_ip_prefix(w[4], &a, &m, true)) {
        errh->error("%s invalic dst value: %s", n, r);
        return false;
    }
    pt.dst_addr = a.addr() & m.addr();
    pt.dst_mask = m.addr();

    size_t i = 6;
    for (; i < w.size(); ++i) {
        const std::string& x = w[i];
        if (x == "src")
            pt.port_side = Pattern::SRC;
        else if (x == "dst")
            pt.port_side = Pattern::DST;
        else if (x == "tcp")
            pt.ip_p = IPPROTO_TCP;
        else if (x == "udp")
            pt.ip_p = IPPROTO_UDP;
        else if (x == "icmp")
            pt.ip_p = IPPROTO_ICMP;
        else if (x == "dpi" || x == "port" || x == "dscp")
            break;
        else {
            errh->error("%s invalic pattern: %s", n, r);
            return false;
        }
    }

    if (i < w.size()) {
        const std::string kw = w[i];
        std::vector<std::vector<std::string>> entries;
        bool has_or, has_and;
        bool shaped = split_list(w, i + 1, &entries, &has_or, &has_and);
        if (kw == "dpi") {
            if (has_and) {
                errh->error("%s dpi protocol list only supports OR: %s", n, r);
                return false;
            }
            for (const auto& e : entries) {
                uint16_t id;
                if (e.size() != 1 || !IPPortArg(IPPROTO_TCP).parse(e[0], id)) {
                    errh->error("%s invalid dpi protocol value: %s", n, r);
                    return false;
                }
                pt.dpi_list.push_back({id, -1, -1});
            }
            if (!shaped) {
                errh->error("%s invalid dpi protocol value: %s", n, r);
                return false;
            }
            if (pt.dpi_list.empty()) {
                errh->error("%s you need to specify at least one dpi protocol: %s", n, r);
                return false;
            }
            std::sort(pt.dpi_list.begin(), pt.dpi_list.end(),
                      [](const DPIProtocolPattern& x, const DPIProtocolPattern& y) { return x.protocol < y.protocol; });
            pt.dpi_root = build_tree(pt.dpi_list, 0, int(pt.dpi_list.size()) - 1);
        } else if (kw == "dscp") {
            if (has_and) {
                errh->error("%s dscp list only supports OR: %s", n, r);
                return false;
            }
            for (const auto& e : entries) {
                uint32_t v;
                if (e.size() != 1 || !IntArg().parse(e[0], v)) {
                    errh->error("%s invalid dscp value: %s", n, r);
                    return false;
                }
                if (v > 63) {
                    errh->error("%s dscp value out of range: %u", n, v);
                    return false;
                }
                pt.dscp_list.push_back(uint8_t(v << 2));
            }
            if (!shaped) {
                errh->error("%s invalid dscp value: %s", n, r);
                return false;
            }
            if (pt.dscp_list.empty()) {
                errh->error("%s you need to specify at least one dscp value: %s", n, r);
                return false;
            }
        } else {  // port
            if (has_or && has_and) {
                errh->error("%s port list supports either OR or AND, not both: %s", n, r);
                return false;
            }
            pt.conj = has_and ? Pattern::AND : Pattern::OR;
            for (const auto& e : entries) {
                PortPattern pp;
                std::string op = e.size() == 2 ? e[0] : "";
                uint16_t port;
                bool ok = (e.size() == 1 || (e.size() == 2 && (op == ">" || op == "<" || op == ">=" || op == "<="))) &&
                          IPPortArg(IPPROTO_TCP).parse(e.back(), port);
                // ">= 0" and "<= 65535" hold for every port and have no strict form.
                if (!ok || (op == ">=" && port == 0) || (op == "<=" && port == 65535)) {
                    errh->error("%s invalid port value: %s", n, r);
                    return false;
                }
                pp.op = op.empty() ? PortPattern::EQ : op[0] == '>' ? PortPattern::GT : PortPattern::LT;
                pp.port = op == ">=" ? uint16_t(port - 1) : op == "<=" ? uint16_t(port + 1) : port;
                pt.ports.push_back(pp);
            }
            if (!shaped || pt.ports.empty()) {
                errh->error("%s invalid port value: %s", n, r);
                return false;
            }
            if (pt.conj == Pattern::OR) {
                normalize_ports(pt.ports);
                pt.port_root = build_tree(pt.ports, 0, int(pt.ports.size()) - 1);
            }
        }
    }

    if (!pt.ip_p && pt.dpi_list.empty() && pt.dscp_list.empty()) {
        errh->error("%s rule names no protocol (tcp, udp, icmp) and has no dpi or dscp list: %s", n, r);
        return false;
    }
    *out = std::move(pt);
    return true;
}

std::string DPIClassifier::Pattern::unparse() const {
    std::string s = "src " + prefix_text(src_addr, src_mask) + " and dst " + prefix_text(dst_addr, dst_mask);
    if (!dpi_list.empty()) {
        s += " and dpi";
        for (size_t i = 0; i < dpi_list.size(); ++i)
            s += (i ? " or " : " ") + std::to_string(dpi_list[i].protocol);
        return s;
    }
    if (dscp_list.empty()) {
        s += port_side == SRC ? " and src" : port_side == DST ? " and dst" : " and";
        s += ip_p == IPPROTO_TCP ? " tcp" : ip_p == IPPROTO_UDP ? " udp" : ip_p == IPPROTO_ICMP ? " icmp" : " unknown protocol";
        if (!ports.empty()) {
            s += " port";
            for (size_t i = 0; i < ports.size(); ++i) {
                if (i)
                    s += conj == AND ? " and" : " or";
                s += ports[i].op == PortPattern::GT ? " >" : ports[i].op == PortPattern::LT ? " <" : "";
                s += " " + std::to_string(ports[i].port);
            }
        }
    } else {
        s += " and dscp";
        for (size_t i = 0; i < dscp_list.size(); ++i)
            s += (i ? " or " : " ") + std::to_string(dscp_list[i] >> 2);
    }
    return s;
}

int DPIClassifier::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    const char* n = name().c_str();
    if (conf.empty())
        return errh->error("%s need at least one rule.", n);
    if (int(conf.size()) != noutputs())
        return errh->error("%s needs %i output ports, only has %i.", n, int(conf.size()), noutputs());
    std::vector<Pattern> patterns;
    int catch_all = -1;
    for (size_t i = 0; i < conf.size(); ++i) {
        if (catch_all >= 0)
            return errh->error("%s catch all rule not in last position.", n);
        if (cp_unspacevec(cp_spacevec(conf[i])) == "-") {
            catch_all = int(i);
            continue;
        }
        Pattern pt;
        if (!parse_rule(conf[i], name(), &pt, errh))
            return -1;
        patterns.push_back(std::move(pt));
    }
    _screens.clear();
    for (const Pattern& pt : patterns)
        _screens.push_back({pt.src_addr, pt.src_mask, pt.dst_addr, pt.dst_mask, pt.ip_p, uint8_t(pt.ip_p ? 0xFF : 0),
                            pt.dpi_list.empty() && pt.dscp_list.empty() && pt.ports.empty()});
    _patterns = std::move(patterns);
    _catch_all = catch_all;
    for (size_t i = 0; i < _patterns.size(); ++i)
        WLogger::info("%s Pattern: [%i] %s", n, int(i), _patterns[i].unparse().c_str());
    return 0;
}

int DPIClassifier::classify(const Packet* p) const {
    Fields f;
    if (fields_of(p, &f)) {
        // Most rules fail on their addresses or protocol: one test for all
        // three, without a branch each.
        for (size_t i = 0; i < _screens.size(); ++i) {
            const Screen& c = _screens[i];
            uint32_t miss = ((f.saddr & c.src_mask) ^ c.src_addr) | ((f.daddr & c.dst_mask) ^ c.dst_addr) |
                            ((f.proto ^ c.ip_p) & c.ip_p_mask);
            if (!miss && (c.plain || matches_rest(_patterns[i], f)))
                return int(i);
        }
    }
    return _catch_all;
}

void DPIClassifier::push(int, Packet* p) {
    int out = classify(p);
    if (out < 0) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    output(out).push(p);
}

void DPIClassifier::add_handlers() {
    add_read_handler("rules", ReadHandlerFunction([this] {
        std::string s;
        for (const Pattern& pt : _patterns)
            s += pt.unparse() + "\n";
        if (_catch_all >= 0)
            s += "-\n";
        return s;
    }));
    add_read_handler("dropped", ReadHandlerFunction([this] { return std::to_string(_dropped.load()); }));
}

QUILO_REGISTER_ELEMENT(DPIClassifier);
