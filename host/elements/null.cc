#include "null.hh"

#include <host/package.hh>

Packet* Null::simple_action(Packet* p) {
    return p;
}

QUILO_HOST_ELEMENT(Null);
