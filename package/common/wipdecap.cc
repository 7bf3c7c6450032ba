#include "common/wipdecap.hh"

#include "common/decap.hh"
#include "common/registration.hh"

Packet* WIPDecap::simple_action(Packet* p) {
    if (!p->has_network_header())
        return p;
    const uint8_t* ip = p->network_header();
    if (p->end_data() - ip < 20) {
        ++_drops;
        p->kill();
        return nullptr;
    }
    uint32_t outer_hl = uint32_t(ip[0] & 0x0F) * 4;
    if (outer_hl < 20) {
        ++_drops;
        p->kill();
        return nullptr;
    }
    return decap_outer(p, outer_hl, _drops);
}

void WIPDecap::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
}

QUILO_REGISTER_ELEMENT(WIPDecap);
