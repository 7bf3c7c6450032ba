// Shared by SetTCPChecksum and SetUDPChecksum: recomputes the transport
// checksum of an IPv4 packet whose network header is marked.
#pragma once
#include <host/packet.hh>

// Returns the packet with its checksum set, or null after killing a packet
// that is not an unfragmented IPv4 packet of protocol `proto` with a
// complete header (the caller counts the drop).
WritablePacket* set_l4_checksum(Packet* p, int proto);
