// WIPRouteTable: base of the IP routing elements. It parses routes, offers
// the route-editing handlers and forwards each packet by its destination
// address annotation; a concrete table supplies storage and lookup
// (WRadixIPLookup). Not registered itself.
//
//   rt :: WRadixIPLookup(ROUTE, ...)
//
// ROUTE   "ADDR/MASK [GATEWAY] OUTPUT": the prefix (written a.b.c.d/len,
//         a.b.c.d/m.a.s.k, or a bare address for a /32; bits beyond the
//         mask are cleared), an optional gateway, the output port. A later
//         route for the same prefix replaces an earlier one, with a warning.
//
// Ports: one push input; any number of outputs. Packets are routed by their
// destination address annotation (network byte order); a packet without one
// (zero) by the destination of its IPv4 network header. A packet whose
// destination no route holds is killed (the first five such packets of the
// process are logged at Info level, "NAME no route for ADDR"); otherwise a
// route's gateway, when it has one, replaces the annotation, and the packet
// leaves on the route's output.
//
// Handlers:
//   add       (write) one route; a route for the same prefix is a conflict
//   set       (write) adds a route or replaces the one for its prefix
//   remove    (write) "ADDR/MASK [GATEWAY] [OUTPUT]": removes the route for
//             the prefix; the gateway and output, when given, must match
//   ctrl      (write) lines of "add ROUTE", "set ROUTE" or "remove ROUTE",
//             applied in order and all or nothing: when a line fails, those
//             applied are undone and the first error is returned
//   table     (read) one line per route: prefix, a tab (two when the prefix
//             is 15 characters or shorter), the gateway or "-", a tab, the
//             output
//   lookup    (read with an address parameter) the output port, then a
//             space and the gateway when there is one; -1 for no route
//   no_route  (read) packets killed for want of a route
// A gateway written "-" means none, so lines of `table` read back as routes.
#pragma once

#include <host/element.hh>
#include <host/ipaddress.hh>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/annotations.hh"

// One route. `port` is -1 when absent (a remove that names no output);
// `extra` is free for the table's own bookkeeping.
struct IPRoute {
    IPAddress addr;  // masked by `mask`
    IPAddress mask;
    IPAddress gw;  // 0: none
    int32_t port = -1;
    int32_t extra = -1;

    IPRoute() = default;
    IPRoute(IPAddress a, IPAddress m, IPAddress g, int32_t p) : addr(a & m), mask(m), gw(g), port(p) {}

    int prefix_len() const { return mask.mask_to_prefix_len(); }
    bool same_prefix(const IPRoute& o) const { return addr == o.addr && mask == o.mask; }
    // Whether `stored` is a route that a remove of this one names: the same
    // prefix, and the gateway and output when this one gives them.
    bool names(const IPRoute& stored) const {
        return same_prefix(stored) && (gw.empty() || gw == stored.gw) && (port < 0 || port == stored.port);
    }
    std::string unparse_prefix() const { return addr.unparse_with_mask(mask); }
    // "ADDR/MASK [GATEWAY] OUTPUT", as a route is written.
    std::string unparse() const;
};

class WIPRouteTable : public Element {
  public:
    const char* port_count() const override { return "1/-"; }
    const char* processing() const override { return PUSH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    // Storage. add_route: with `replace` false a route for the same prefix is
    // a conflict (-EEXIST, that route in *old); with it true that route is
    // replaced (and copied to *old with extra >= 0). remove_route: removes the
    // route that `r` names (-ENOENT when none), copying it to *old. Other
    // failures: -ENOMEM (no room for the route), -ENOSPC (no room for its
    // gateway and output). Messages are the caller's, except for refusals of
    // this base class, which keeps no routes.
    virtual int add_route(const IPRoute& r, bool replace, IPRoute* old, ErrorHandler* errh);
    virtual int remove_route(const IPRoute& r, IPRoute* old, ErrorHandler* errh);
    // Output of the route for `dst`, its gateway in *gw (0: none); -1 when no
    // route holds dst. Safe on any thread, concurrently with edits.
    virtual int lookup_route(IPAddress dst, IPAddress& gw) const = 0;
    // The `table` text.
    virtual std::string dump_routes();
    // Brackets a group of edits that readers should see whole.
    virtual void begin_edits() {}
    virtual void end_edits() {}

    // Parses "ADDR/MASK [GATEWAY] OUTPUT" (for a remove, gateway and output
    // are optional). ROUTE_BAD_OUTPUT: the output is not one of noutputs.
    enum ParseResult { ROUTE_OK, ROUTE_SYNTAX, ROUTE_BAD_OUTPUT };
    static ParseResult parse_route(const std::string& text, bool remove, int noutputs, IPRoute& r);

    // One edit as the handlers make it, messages included. Negative on error.
    enum Command { CMD_ADD, CMD_SET, CMD_REMOVE };
    int run_command(Command cmd, const std::string& route_text, ErrorHandler* errh);
    // A ctrl text: every line, or none of them.
    int run_ctrl(const std::string& text, ErrorHandler* errh);

    uint64_t no_route_count() const { return _no_route.load(std::memory_order_relaxed); }

  protected:
    // The table lines of `routes`, in their order.
    static std::string format_routes(const std::vector<IPRoute>& routes);

    // The packet path, for a subclass that looks up without a virtual call:
    // the address a packet is routed by, and what becomes of it once its
    // route (output `port`, gateway `gw`) is known.
    static IPAddress destination(const Packet* p);
    void forward(Packet* p, IPAddress dst, int port, IPAddress gw) {
        if (port < 0)
            return no_route(p, dst);
        if (!gw.empty())
            set_dst_ip_anno(p, gw.addr());
        checked_output_push(port, p);
    }

  private:
    struct Edit {
        Command cmd;
        IPRoute route;
    };
    // Applies one parsed edit; on success records in *undo the edit that
    // reverses it.
    int apply(const Edit& e, Edit* undo, ErrorHandler* errh);
    void no_route(Packet* p, IPAddress dst);

    std::atomic<uint64_t> _no_route{0};
};
