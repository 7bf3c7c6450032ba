// Removal of outer headers, shared by UDPIPDecap and WIPDecap.
#pragma once

#include <host/packet.hh>

#include <atomic>
#include <cstdint>

// Removes the `outer` bytes in front of the inner IPv4 packet that starts at
// network header + outer, moving the rest to the network header's position;
// the inner header's total length becomes what remains and its checksum is
// recomputed. Returns the packet, or null after freeing it (and counting it
// in `drops`) when the remainder is not a whole IPv4 header.
Packet* decap_outer(Packet* p, uint32_t outer, std::atomic<uint32_t>& drops);
