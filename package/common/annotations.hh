// The package's packet annotation layout and the two families of direction
// values. Every element reads and writes annotations through the accessors
// below; nothing else in the package names an annotation offset.
//
// The host's annotation area is 96 bytes. Offsets below 48 are shared with host
// elements (destination address, paint, VLAN tag); 48 and above are the
// package's own. Multi-byte values are in host byte order unless noted;
// RX_LEN (57) and SESSION_ID (62) are unaligned and accessed as such.
#pragma once

#include <host/packet.hh>

#include <cstddef>
#include <cstdint>

namespace anno {

struct Field {
    int offset;
    int width;  // bytes
};

inline constexpr Field DST_IP{0, 4};  // network byte order
inline constexpr Field AGGREGATE{12, 4};  // aggregate (flow) number, host order; printed by WIPPrint
inline constexpr Field PAINT{16, 1};
inline constexpr Field VLAN_TCI{20, 2};
inline constexpr Field DPI_MASTER_PROTO{48, 2};
inline constexpr Field DPI_PROTO{50, 2};
inline constexpr Field PEER_IP{52, 4};  // network byte order
inline constexpr Field DIRECTION{56, 1};
inline constexpr Field RX_LEN{57, 2};
inline constexpr Field RSP_RX_RETRANSMIT{59, 1};
inline constexpr Field SESSION_DIRECTION{60, 1};
inline constexpr Field RSP_OWN_PACKET{61, 1};
inline constexpr Field SESSION_ID{62, 4};
inline constexpr Field MTCOMP_SEQ{66, 2};
inline constexpr Field PATH{68, 1};

inline constexpr int AREA_SIZE = 96;

inline constexpr Field all_fields[] = {DST_IP,    AGGREGATE,   PAINT,       VLAN_TCI,          DPI_MASTER_PROTO, DPI_PROTO,
                                       PEER_IP,   DIRECTION,   RX_LEN,            RSP_RX_RETRANSMIT, SESSION_DIRECTION,
                                       RSP_OWN_PACKET, SESSION_ID, MTCOMP_SEQ,    PATH};

// Offsets used for a configurable 16-bit annotation (e.g. an MTU_ANNO keyword)
// must leave room for both bytes.
constexpr bool valid_u16_offset(int offset) { return offset >= 0 && offset <= AREA_SIZE - 2; }

}  // namespace anno

// Interface directions (DIRECTION_ANNO bit set).
enum : uint8_t { LANRX = 1, LANTX = 2, WANRX = 4, WANTX = 8 };

// Session packet directions (SESSION_DIRECTION_ANNO).
enum : uint8_t { WAN_IN = 0, WAN_OUT = 1 };

// Typed accessors. Packets are const for readers; writers take the packet the
// element owns (annotations are per packet, not per buffer, so no uniqueify).
inline uint32_t dst_ip_anno(const Packet* p) { return p->anno_u32(anno::DST_IP.offset); }
inline void set_dst_ip_anno(Packet* p, uint32_t addr_net) { p->set_anno_u32(anno::DST_IP.offset, addr_net); }

inline uint16_t vlan_tci_anno(const Packet* p) { return p->anno_u16(anno::VLAN_TCI.offset); }
inline void set_vlan_tci_anno(Packet* p, uint16_t v) { p->set_anno_u16(anno::VLAN_TCI.offset, v); }

inline uint8_t paint_anno(const Packet* p) { return p->anno_u8(anno::PAINT.offset); }

inline uint32_t aggregate_anno(const Packet* p) { return p->anno_u32(anno::AGGREGATE.offset); }
inline void set_aggregate_anno(Packet* p, uint32_t v) { p->set_anno_u32(anno::AGGREGATE.offset, v); }

inline uint16_t dpi_master_proto_anno(const Packet* p) { return p->anno_u16(anno::DPI_MASTER_PROTO.offset); }
inline void set_dpi_master_proto_anno(Packet* p, uint16_t v) { p->set_anno_u16(anno::DPI_MASTER_PROTO.offset, v); }

inline uint16_t dpi_proto_anno(const Packet* p) { return p->anno_u16(anno::DPI_PROTO.offset); }
inline void set_dpi_proto_anno(Packet* p, uint16_t v) { p->set_anno_u16(anno::DPI_PROTO.offset, v); }

inline uint32_t peer_ip_anno(const Packet* p) { return p->anno_u32(anno::PEER_IP.offset); }
inline void set_peer_ip_anno(Packet* p, uint32_t addr_net) { p->set_anno_u32(anno::PEER_IP.offset, addr_net); }

inline uint8_t direction_anno(const Packet* p) { return p->anno_u8(anno::DIRECTION.offset); }
inline void set_direction_anno(Packet* p, uint8_t v) { p->set_anno_u8(anno::DIRECTION.offset, v); }
inline void or_direction_anno(Packet* p, uint8_t bit) { set_direction_anno(p, uint8_t(direction_anno(p) | bit)); }

inline uint16_t rx_len_anno(const Packet* p) { return p->anno_u16(anno::RX_LEN.offset); }
inline void set_rx_len_anno(Packet* p, uint16_t v) { p->set_anno_u16(anno::RX_LEN.offset, v); }

inline uint8_t rsp_rx_retransmit_anno(const Packet* p) { return p->anno_u8(anno::RSP_RX_RETRANSMIT.offset); }
inline void set_rsp_rx_retransmit_anno(Packet* p, uint8_t v) { p->set_anno_u8(anno::RSP_RX_RETRANSMIT.offset, v); }

inline uint8_t session_direction_anno(const Packet* p) { return p->anno_u8(anno::SESSION_DIRECTION.offset); }
inline void set_session_direction_anno(Packet* p, uint8_t v) { p->set_anno_u8(anno::SESSION_DIRECTION.offset, v); }

inline uint8_t rsp_own_packet_anno(const Packet* p) { return p->anno_u8(anno::RSP_OWN_PACKET.offset); }
inline void set_rsp_own_packet_anno(Packet* p, uint8_t v) { p->set_anno_u8(anno::RSP_OWN_PACKET.offset, v); }

inline uint32_t session_id_anno(const Packet* p) { return p->anno_u32(anno::SESSION_ID.offset); }
inline void set_session_id_anno(Packet* p, uint32_t v) { p->set_anno_u32(anno::SESSION_ID.offset, v); }

inline uint16_t mtcomp_seq_anno(const Packet* p) { return p->anno_u16(anno::MTCOMP_SEQ.offset); }
inline void set_mtcomp_seq_anno(Packet* p, uint16_t v) { p->set_anno_u16(anno::MTCOMP_SEQ.offset, v); }

inline uint8_t path_anno(const Packet* p) { return p->anno_u8(anno::PATH.offset); }
inline void set_path_anno(Packet* p, uint8_t v) { p->set_anno_u8(anno::PATH.offset, v); }
