// Growing a packet at its front without relying on headroom: the encapsulation
// elements grow the packet at its tail (in place when it is unshared and has
// tailroom, else through the host's copying put) and move the whole content
// `n` bytes towards the end, leaving `n` free bytes at the start of the data.
#pragma once

#include <host/packet.hh>

#include <cstring>

// Returns the grown packet, or null (the packet is then already freed).
inline WritablePacket* grow_front_by_moving(Packet* p, uint32_t n) {
    uint32_t old_len = p->length();
    int mac = p->has_mac_header() ? p->mac_header_offset() : -1;
    int nh = p->has_network_header() ? p->network_header_offset() : -1;
    int th = p->has_transport_header() ? p->transport_header_offset() : -1;
    WritablePacket* q = p->put(n);
    if (!q)
        return nullptr;
    std::memmove(q->data() + n, q->data(), old_len);
    // Header positions follow the content they point into.
    if (mac >= 0)
        q->set_mac_header(q->data() + mac + n);
    if (nh >= 0)
        q->set_network_header(q->data() + nh + n);
    if (th >= 0)
        q->set_transport_header(q->data() + th + n);
    return q;
}
