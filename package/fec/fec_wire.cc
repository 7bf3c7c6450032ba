#include "fec/fec_wire.hh"

#include <cmath>
#include <cstring>

#include "common/shim.hh"
#include "rsp/rsp_wire.hh"

namespace fec {

void xor_into(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, dst + i, 8);
        std::memcpy(&b, src + i, 8);
        a ^= b;
        std::memcpy(dst + i, &a, 8);
    }
    for (; i < n; ++i)
        dst[i] ^= src[i];
}

bool parse(const uint8_t* ip, size_t avail, size_t shim_off, View* v) {
    if (avail < 4)
        return false;
    size_t ip_len = size_t(ip[2]) << 8 | ip[3];
    size_t seq_off = shim_off + WSHIM_LEN;
    if (ip_len > avail || ip_len < seq_off + 2)
        return false;
    v->end_seq = uint16_t(ip[seq_off] << 8 | ip[seq_off + 1]);
    v->parity = ip + seq_off + 2;
    v->parity_len = ip_len - seq_off - 2;
    return true;
}

size_t rebuilt_len(const uint8_t* buf, size_t len) {
    if (len < 20 || (buf[0] >> 4) != 4)
        return 0;
    size_t hl = size_t(buf[0] & 0x0F) * 4;
    size_t tot = size_t(buf[2]) << 8 | buf[3];
    if (hl < 20 || tot < hl || tot > len)
        return 0;
    return tot;
}

size_t rebuilt_packet_len(const uint8_t* buf, size_t len, const ShimConfig& c, uint16_t seq) {
    size_t tot = rebuilt_len(buf, len);
    if (tot == 0)
        return 0;
    for (size_t i = tot; i < len; ++i)
        if (buf[i])
            return 0;
    rsp::View v;
    if (rsp::parse(buf, tot, c, &v) != rsp::Parse::ok || !(v.shim_flags & WSHIM_STREAM) || v.seq != seq ||
        !rsp::checksum_ok(buf, v))
        return 0;
    return tot;
}

uint8_t group_for(size_t held, bool in_bulk, uint8_t group, uint8_t bulk) {
    return bulk && (in_bulk || held >= group) ? bulk : group;
}

uint8_t group_for_loss(double loss, uint8_t lo, uint8_t hi) {
    if (hi < lo)
        hi = lo;
    if (!(loss > 0))
        return hi;
    if (loss >= 1)
        return lo;
    double g = std::floor(std::log(REBUILD_SHARE) / std::log1p(-loss));
    return g <= lo ? lo : g >= hi ? hi : uint8_t(g);
}

double loss_from_resent(double resent, double group) {
    if (!(resent > 0))
        return 0;
    if (group < 1)
        group = 1;
    auto resent_at = [group](double p) { return p * (1 - std::pow(1 - p, group)); };
    double lo = 0, hi = 0.5;
    if (resent >= resent_at(hi))
        return hi;
    // resent_at grows with the loss: bisect to a part in a million.
    for (int i = 0; i < 20; ++i) {
        double mid = (lo + hi) / 2;
        (resent_at(mid) < resent ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

}  // namespace fec
