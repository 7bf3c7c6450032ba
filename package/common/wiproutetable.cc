#include "common/wiproutetable.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/wlogger.hh"

namespace {

// Packets without a route reported so far, by every table of the process.
std::atomic<int> no_route_reports{0};
constexpr int max_no_route_reports = 5;

bool parse_gateway(const std::string& s, IPAddress& gw) {
    if (s == "-") {
        gw = IPAddress();
        return true;
    }
    return IPAddressArg().parse(s, gw);
}

// The message of a failed add_route/remove_route (those of other codes were
// given by the table).
int report(int code, const IPRoute& r, const IPRoute& old, ErrorHandler* errh) {
    switch (code) {
    case -EEXIST:
        errh->error("conflict with existing route %<%s%>", old.unparse().c_str());
        break;
    case -ENOENT:
        errh->error("route %<%s%> not found", r.unparse().c_str());
        break;
    case -ENOMEM:
        errh->error("no memory to store route %<%s%>", r.unparse().c_str());
        break;
    case -ENOSPC:
        errh->error("no room for route %<%s%>: all 255 (gateway, output) pairs are in use", r.unparse().c_str());
        break;
    default:
        break;
    }
    return code;
}

}  // namespace

std::string IPRoute::unparse() const {
    std::string s = unparse_prefix();
    if (!gw.empty())
        s += " " + gw.unparse();
    if (port >= 0)
        s += " " + std::to_string(port);
    return s;
}

void* WIPRouteTable::cast(const char* name) {
    if (name && strcmp(name, "WIPRouteTable") == 0)
        return this;
    return Element::cast(name);
}

WIPRouteTable::ParseResult WIPRouteTable::parse_route(const std::string& text, bool remove, int noutputs,
                                                      IPRoute& r) {
    std::vector<std::string> w = cp_spacevec(text);
    if (w.size() < (remove ? 1u : 2u) || w.size() > 3)
        return ROUTE_SYNTAX;
    IPAddress addr, mask, gw;
    if (!IPPrefixArg(true).parse(w[0], addr, mask) || mask.mask_to_prefix_len() < 0)
        return ROUTE_SYNTAX;
    const std::string* out = nullptr;
    if (w.size() == 3) {
        if (!parse_gateway(w[1], gw))
            return ROUTE_SYNTAX;
        out = &w[2];
    } else if (w.size() == 2) {
        // A remove may name the gateway without the output.
        if (!(remove && parse_gateway(w[1], gw)))
            out = &w[1];
    }
    int32_t port = -1;
    if (out) {
        if (!IntArg().parse(*out, port))
            return ROUTE_SYNTAX;
        if (port < 0 || port >= noutputs)
            return ROUTE_BAD_OUTPUT;
    }
    r = IPRoute(addr, mask, gw, port);
    return ROUTE_OK;
}

int WIPRouteTable::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::vector<IPRoute> routes;
    bool bad = false;
    for (size_t i = 0; i < conf.size(); ++i) {
        IPRoute r;
        switch (parse_route(conf[i], false, noutputs(), r)) {
        case ROUTE_OK:
            routes.push_back(r);
            break;
        case ROUTE_SYNTAX:
            bad = true;
            errh->error("argument %d should be %<ADDR/MASK [GATEWAY] OUTPUT%>", int(i + 1));
            break;
        case ROUTE_BAD_OUTPUT:
            bad = true;
            errh->error("argument %d bad OUTPUT", int(i + 1));
            break;
        }
    }
    if (bad)
        return -EINVAL;

    // A later route for a prefix replaces an earlier one.
    std::unordered_map<uint64_t, size_t> last;
    for (size_t i = 0; i < routes.size(); ++i)
        last[uint64_t(routes[i].addr.addr()) << 32 | routes[i].mask.addr()] = i;
    int replaced = int(routes.size() - last.size());
    if (replaced)
        errh->warning("%d %s replaced by later versions", replaced, replaced == 1 ? "route" : "routes");

    begin_edits();
    int code = 0;
    size_t added = 0;
    for (size_t i = 0; i < routes.size() && code >= 0; ++i) {
        if (last[uint64_t(routes[i].addr.addr()) << 32 | routes[i].mask.addr()] != i)
            continue;
        IPRoute old;
        code = add_route(routes[i], false, &old, errh);
        if (code < 0)
            report(code, routes[i], old, errh);
        else
            added = i + 1;
    }
    if (code < 0)  // a failed configuration leaves the table as it was: empty
        for (size_t i = 0; i < added; ++i)
            remove_route(routes[i], nullptr, ErrorHandler::silent_handler());
    end_edits();
    return code < 0 ? code : 0;
}

int WIPRouteTable::add_route(const IPRoute&, bool, IPRoute*, ErrorHandler* errh) {
    errh->error("cannot add routes to this routing table");
    return -EOPNOTSUPP;
}

int WIPRouteTable::remove_route(const IPRoute&, IPRoute*, ErrorHandler* errh) {
    errh->error("cannot delete routes from this routing table");
    return -EOPNOTSUPP;
}

std::string WIPRouteTable::dump_routes() { return std::string(); }

std::string WIPRouteTable::format_routes(const std::vector<IPRoute>& routes) {
    std::string s;
    for (const IPRoute& r : routes) {
        std::string prefix = r.unparse_prefix();
        s += prefix;
        s += prefix.size() <= 15 ? "\t\t" : "\t";
        s += r.gw.empty() ? std::string("-") : r.gw.unparse();
        s += '\t';
        s += std::to_string(r.port);
        s += '\n';
    }
    return s;
}

int WIPRouteTable::apply(const Edit& e, Edit* undo, ErrorHandler* errh) {
    IPRoute old;
    int code;
    switch (e.cmd) {
    case CMD_ADD:
    case CMD_SET:
        code = add_route(e.route, e.cmd == CMD_SET, &old, errh);
        if (code >= 0)
            *undo = old.port >= 0 ? Edit{CMD_SET, old} : Edit{CMD_REMOVE, e.route};
        break;
    default:
        code = remove_route(e.route, &old, errh);
        if (code >= 0)
            *undo = Edit{CMD_ADD, old};
        break;
    }
    return code < 0 ? report(code, e.route, old, errh) : 0;
}

namespace {

bool parse_edit_route(bool cmd_remove, const std::string& text, int noutputs, IPRoute& r, ErrorHandler* errh) {
    switch (WIPRouteTable::parse_route(text, cmd_remove, noutputs, r)) {
    case WIPRouteTable::ROUTE_OK:
        return true;
    case WIPRouteTable::ROUTE_SYNTAX:
        errh->error("expected %<ADDR/MASK [GATEWAY%s%>", cmd_remove ? " OUTPUT]" : "] OUTPUT");
        return false;
    default:
        errh->error("bad OUTPUT");
        return false;
    }
}

}  // namespace

int WIPRouteTable::run_command(Command cmd, const std::string& route_text, ErrorHandler* errh) {
    Edit e{cmd, IPRoute()};
    if (!parse_edit_route(cmd == CMD_REMOVE, route_text, noutputs(), e.route, errh))
        return -EINVAL;
    Edit undo;
    begin_edits();
    int code = apply(e, &undo, errh);
    end_edits();
    return code;
}

int WIPRouteTable::run_ctrl(const std::string& text, ErrorHandler* errh) {
    // Lines are parsed as they are applied, so the error returned is that of
    // the first line that fails, whether it does not parse or not apply.
    std::vector<Edit> undo;
    int code = 0;
    std::istringstream in(text);
    begin_edits();
    for (std::string line; code >= 0 && std::getline(in, line);) {
        std::istringstream ls(line);
        std::string word, rest;
        if (!(ls >> word))
            continue;
        std::getline(ls, rest);
        Edit e{CMD_ADD, IPRoute()}, u;
        if (word == "set")
            e.cmd = CMD_SET;
        else if (word == "remove")
            e.cmd = CMD_REMOVE;
        else if (word != "add")
            code = errh->error("bad command %<%s%>", word.c_str());
        if (code >= 0 && !parse_edit_route(e.cmd == CMD_REMOVE, rest, noutputs(), e.route, errh))
            code = -EINVAL;
        if (code >= 0 && (code = apply(e, &u, errh)) >= 0)
            undo.push_back(u);
    }
    if (code < 0)
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
            Edit ignored;
            apply(*it, &ignored, ErrorHandler::silent_handler());
        }
    end_edits();
    return code < 0 ? code : 0;
}

IPAddress WIPRouteTable::destination(const Packet* p) {
    IPAddress dst(dst_ip_anno(p));
    IPv4View ip;
    if (dst.empty() && ipv4_view(p, &ip))
        dst = IPAddress(ip.ip + 16);
    return dst;
}

void WIPRouteTable::no_route(Packet* p, IPAddress dst) {
    _no_route.fetch_add(1, std::memory_order_relaxed);
    if (no_route_reports.load(std::memory_order_relaxed) < max_no_route_reports &&
        no_route_reports.fetch_add(1, std::memory_order_relaxed) < max_no_route_reports)
        WLogger::info("%s no route for %s", name().c_str(), dst.unparse().c_str());
    p->kill();
}

void WIPRouteTable::push(int, Packet* p) {
    IPAddress dst = destination(p);
    IPAddress gw;
    int port = lookup_route(dst, gw);
    forward(p, dst, port, gw);
}

namespace {

int lookup_handler(int, std::string& data, Element* e, const Handler*, ErrorHandler* errh) {
    IPAddress a;
    if (!IPAddressArg().parse(cp_uncomment(data), a))
        return errh->error("expected IP address");
    IPAddress gw;
    int port = static_cast<WIPRouteTable*>(e)->lookup_route(a, gw);
    data = std::to_string(port);
    if (port >= 0 && !gw.empty())
        data += " " + gw.unparse();
    data += "\n";
    return 0;
}

}  // namespace

void WIPRouteTable::add_handlers() {
    add_write_handler("add", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          return run_command(CMD_ADD, s, errh);
                      }));
    add_write_handler("set", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          return run_command(CMD_SET, s, errh);
                      }));
    add_write_handler("remove", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          return run_command(CMD_REMOVE, s, errh);
                      }));
    add_write_handler("ctrl", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          return run_ctrl(s, errh);
                      }));
    add_read_handler("table", ReadHandlerFunction([this]() { return dump_routes(); }));
    set_handler("lookup", int(Handler::OP_READ) | int(Handler::h_read_param), lookup_handler);
    add_read_handler("no_route", ReadHandlerFunction([this]() { return std::to_string(no_route_count()) + "\n"; }));
}
