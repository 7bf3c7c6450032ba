#include "common/droprspretransmit.hh"

#include <host/args.hh>
#include <host/confparse.hh>

#include "common/annotations.hh"
#include "common/registration.hh"

int DropRSPRetransmit::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (WBase::configure(conf, errh) < 0)
        return -1;
    bool drop = false;
    if (Args(conf, this, errh).read_mp("DROP", drop).complete() < 0)
        return -1;
    _drop = drop;
    return 0;
}

Packet* DropRSPRetransmit::simple_action(Packet* p) {
    if (_drop.load(std::memory_order_relaxed) && rsp_rx_retransmit_anno(p)) {
        _drop_count.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return nullptr;
    }
    return p;
}

void DropRSPRetransmit::add_handlers() {
    add_read_handler("drop", ReadHandlerFunction([this] { return std::string(_drop ? "true" : "false"); }));
    add_write_handler("drop", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
        bool v;
        Args quiet;
        if (!BoolArg().parse(cp_uncomment(s), v, quiet))
            return errh->error("type mismatch");
        _drop = v;
        return 0;
    }));
    add_read_handler("drop_count", ReadHandlerFunction([this] { return std::to_string(_drop_count.load()); }));
}

QUILO_REGISTER_ELEMENT(DropRSPRetransmit);
