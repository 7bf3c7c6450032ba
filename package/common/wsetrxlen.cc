#include "common/wsetrxlen.hh"

#include <host/args.hh>

#include "common/annotations.hh"
#include "common/registration.hh"

int WSetRXLen::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint16_t strip = 0;
    if (Args(conf, this, errh).read("STRIP", strip).complete() < 0)
        return -1;
    _strip = strip;
    return 0;
}

Packet* WSetRXLen::simple_action(Packet* p) {
    // Lengths below STRIP wrap modulo 65536 by design of the annotation.
    set_rx_len_anno(p, uint16_t(p->length() - _strip));
    return p;
}

QUILO_REGISTER_ELEMENT(WSetRXLen);
