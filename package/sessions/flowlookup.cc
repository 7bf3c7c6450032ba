#include "sessions/flowlookup.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"
#include "sessions/flowtable.hh"

int FlowLookup::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string dir;
    if (Args(conf, this, errh).read_mp("DIRECTION", WordArg(), dir).complete() < 0)
        return -1;
    SessionNotifier::PacketDirection d;
    if (dir == "WAN_IN")
        d = SessionNotifier::WAN_IN;
    else if (dir == "WAN_OUT")
        d = SessionNotifier::WAN_OUT;
    else
        return errh->error("Invalid DIRECTION specified.");
    FlowTable* t = find_flow_table(router());
    if (!t)
        return errh->error("FlowTable not found");
    if (WBase::configure(conf, errh) < 0)
        return -1;
    _dir = d;
    _table = t;
    return 0;
}

void FlowLookup::push(int, Packet* p) {
    PeerLookup r = _table->get_peer_output_port(p, _dir);
    if (r.port == 0) {
        set_peer_ip_anno(p, 0);
        output(0).push(p);
        return;
    }
    if (r.port >= noutputs()) {
        // The configuration gave no output for this peer: the packet takes
        // the unoptimised path rather than being lost.
        _unmapped.fetch_add(1, std::memory_order_relaxed);
        if (!_warned_unmapped.exchange(true, std::memory_order_relaxed))
            WLogger::warn("%s no output for peer output port %u (peer %s); sending its packets to output 0",
                          name().c_str(), unsigned(r.port), r.peer.unparse().c_str());
        set_peer_ip_anno(p, 0);
        output(0).push(p);
        return;
    }
    set_peer_ip_anno(p, r.peer.addr());
    _count.fetch_add(1, std::memory_order_relaxed);
    _bytes.fetch_add(p->length(), std::memory_order_relaxed);
    output(r.port).push(p);
}

void FlowLookup::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this] { return std::to_string(count()); }));
    add_read_handler("byte_count", ReadHandlerFunction([this] { return std::to_string(byte_count()); }));
    add_read_handler("unmapped_count", ReadHandlerFunction([this] { return std::to_string(_unmapped.load()); }));
}

QUILO_REGISTER_ELEMENT(FlowLookup);
