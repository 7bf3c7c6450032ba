// The payload of a stacker packet: whole IPv4 packets back to back after the
// shim, each as long as its own total-length field. The one place where that
// payload is walked; it never reads outside the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stacker {

enum class Result {
    ok,         // every byte of the payload was accounted for
    corrupt,    // a length did not fit; what came before it was delivered
    no_memory,  // the callback could not take a packet; unpacking stopped
};

struct Unpacked {
    size_t count = 0;      // inner packets handed to the callback
    size_t not_ipv4 = 0;   // inner packets skipped because they are not IPv4
    size_t remaining = 0;  // payload bytes left where unpacking stopped
    size_t bad_len = 0;    // with corrupt: the length that did not fit
};

// Walks the payload of the stacker packet at `ip` (`avail` bytes from the IP
// header on, shim at `shim_off`) and calls `take(const uint8_t* inner,
// size_t n)` for each IPv4 packet, which returns false to stop. Unpacking
// goes on only while the outer total length lies within `avail` and holds
// the shim, and each inner packet has 20 <= n <= remaining bytes and a header
// length between 20 and n. An inner packet with another IP version is
// skipped by its length field.
template <class F>
Result unpack(const uint8_t* ip, size_t avail, size_t shim_off, F&& take, Unpacked* u) {
    size_t ip_len = size_t(ip[2]) << 8 | ip[3];
    size_t start = shim_off + 4;
    if (ip_len > avail || ip_len < start) {
        u->remaining = ip_len > start ? ip_len - start : 0;
        u->bad_len = ip_len;
        return Result::corrupt;
    }
    size_t off = start;
    while (off < ip_len) {
        size_t rem = ip_len - off;
        u->remaining = rem;
        if (rem < 20) {
            u->bad_len = rem >= 4 ? (size_t(ip[off + 2]) << 8 | ip[off + 3]) : 0;
            return Result::corrupt;
        }
        const uint8_t* in = ip + off;
        size_t n = size_t(in[2]) << 8 | in[3];
        size_t hl = size_t(in[0] & 0x0F) * 4;
        if (n < 20 || n > rem) {
            u->bad_len = n;
            return Result::corrupt;
        }
        if ((in[0] >> 4) != 4) {
            ++u->not_ipv4;
        } else if (hl < 20 || hl > n) {
            u->bad_len = n;
            return Result::corrupt;
        } else {
            if (!take(in, n))
                return Result::no_memory;
            ++u->count;
        }
        off += n;
    }
    u->remaining = 0;
    return Result::ok;
}

}  // namespace stacker
