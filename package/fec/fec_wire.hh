// FEC parity packets on the wire and the XOR they carry: IPv4 header, [UDP
// header], shim with protocol 203, the 2-byte RSP sequence number of the
// group's last packet, then the parity. The one place where FEC packets are
// parsed; nothing here reads outside the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shim.hh"

namespace fec {

// XORs `n` bytes of `src` into `dst`.
void xor_into(uint8_t* dst, const uint8_t* src, size_t n);

struct View {
    uint16_t end_seq = 0;            // sequence number of the group's last packet
    const uint8_t* parity = nullptr;
    size_t parity_len = 0;
};

// Reads the FEC packet at `ip` (`avail` bytes from the IP header on) whose
// shim lies at `shim_off`. False when its IP total length exceeds `avail` or
// does not reach past the sequence number.
bool parse(const uint8_t* ip, size_t avail, size_t shim_off, View* v);

// The length of the packet rebuilt into `buf` (`len` bytes of parity XOR the
// group's other packets), or 0 when it does not start with a sound IPv4
// header: version 4, header length of at least 20 within a total length
// that fits `len`.
size_t rebuilt_len(const uint8_t* buf, size_t len);

// The length of stream packet `seq` rebuilt into `buf` (`len` bytes of
// parity XOR the other packets of its group), or 0 unless it is just that:
// rebuilt_len() finds a sound IPv4 header, every byte after its total length
// is zero (the parity's padding), and it parses as an RSP stream packet
// (shim as `c`) numbered `seq` whose RSP checksum holds. Parity combined
// with the wrong packets passes all of these only by a chance of about one
// in 2^32.
size_t rebuilt_packet_len(const uint8_t* buf, size_t len, const ShimConfig& c, uint16_t seq);

// The group size a sender picks when a group starts: `bulk` while RSP's
// pacer holds at least `group` packets for the window or for pacing (the
// WAN is the bottleneck and a parity packet takes a data packet's place),
// and on while `in_bulk` (the previous group was of `bulk` and the stream
// has not paused since: the pacer empties for a moment now and then in a
// bulk transfer); else `group` (the sender is application-limited, the WAN
// has room, and shorter groups rebuild more). `bulk` 0: always `group`.
uint8_t group_for(size_t held, bool in_bulk, uint8_t group, uint8_t bulk);

// A lost packet is rebuilt when the other `g` packets of its group of `g`
// stream packets and one parity packet all arrive: (1 - loss)^g. The bulk
// group that follows the loss is the largest whose lost packets are rebuilt
// at least this often.
constexpr double REBUILD_SHARE = 0.75;

// The largest group size g, clamped to [lo, hi], with (1 - loss)^g of at
// least REBUILD_SHARE, for a loss share `loss` of packets on the link: 28
// at 1%, 5 at 5%, 2 at 10%. `loss` 0 or less: `hi`.
uint8_t group_for_loss(double loss, uint8_t lo, uint8_t hi);

// The loss share of the link, from the share `resent` of first
// transmissions that RSP sent again while groups held `group` stream
// packets on average: a loss is resent when parity did not rebuild it
// (another packet of its group lost too), loss * (1 - (1 - loss)^group) of
// the packets. Solved for the loss between 0 and 0.5 (0.5 when `resent` is
// too high for any).
double loss_from_resent(double resent, double group);

}  // namespace fec
