#include "stacker/dropstacker.hh"

#include <host/args.hh>

#include "common/peerbound.hh"
#include "common/registration.hh"
#include "common/wconf.hh"

int DropStacker::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (WBase::configure(conf, errh) < 0)
        return -EINVAL;
    if (Args(conf, this, errh).complete() < 0)
        return -EINVAL;
    _shim = _wconf->shim_config();
    return 0;
}

void DropStacker::push(int, Packet* p) {
    const uint8_t* ip = packet_ip(p);
    int so = shim_offset(ip, size_t(p->end_data() - ip), _shim);
    if (so >= 0 && ip[so + 2] == WSHIM_PROTO_STACKER) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        checked_output_push(1, p);
        return;
    }
    output(0).push(p);
}

void DropStacker::add_handlers() {
    add_read_handler("dropped", ReadHandlerFunction([this] { return std::to_string(_dropped.load()); }));
}

QUILO_REGISTER_ELEMENT(DropStacker);
