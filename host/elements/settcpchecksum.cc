#include "settcpchecksum.hh"

#include <host/package.hh>

#include "../lib/l4checksum.hh"

Packet* SetTCPChecksum::simple_action(Packet* p) {
    WritablePacket* q = set_l4_checksum(p, 6);
    if (!q)
        _drops.fetch_add(1, std::memory_order_relaxed);
    return q;
}

void SetTCPChecksum::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(SetTCPChecksum);
