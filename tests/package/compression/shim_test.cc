#include "common/shim.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

// IPv4 header with `ihl` words, protocol `proto`, then `extra` bytes of payload.
std::vector<uint8_t> make_ip(uint8_t proto, size_t ihl_words, size_t extra) {
    std::vector<uint8_t> p(ihl_words * 4 + extra, 0);
    p[0] = uint8_t(0x40 | ihl_words);
    p[9] = proto;
    return p;
}

std::vector<uint8_t> ipproto_packet(uint8_t proto = 108, size_t ihl_words = 5) {
    auto p = make_ip(proto, ihl_words, 4 + 20);
    p[ihl_words * 4] = WSHIM_MAGIC;
    p[ihl_words * 4 + 2] = 6;
    return p;
}

std::vector<uint8_t> udp_packet(uint16_t sport, uint16_t dport) {
    auto p = make_ip(17, 5, 8 + 4 + 8);
    uint16_t s = htons(sport), d = htons(dport);
    std::memcpy(&p[20], &s, 2);
    std::memcpy(&p[22], &d, 2);
    p[28] = WSHIM_MAGIC;
    return p;
}

TEST(Shim, RecognisesIpprotoAndUdpShim) {
    ShimConfig c;
    auto p = ipproto_packet();
    EXPECT_EQ(shim_offset(p.data(), p.size(), c), 20);
    auto opt = ipproto_packet(108, 7);  // IP options move the shim
    EXPECT_EQ(shim_offset(opt.data(), opt.size(), c), 28);

    c.ipproto = 99;
    EXPECT_EQ(shim_offset(p.data(), p.size(), c), -1);
    auto p99 = ipproto_packet(99);
    EXPECT_EQ(shim_offset(p99.data(), p99.size(), c), 20);

    ShimConfig u;
    u.udp_shim = true;
    auto q = udp_packet(4050, 4050);
    EXPECT_EQ(shim_offset(q.data(), q.size(), u), 28);
    EXPECT_EQ(shim_offset(q.data(), q.size(), ShimConfig{}), -1);  // UDP but shim off
    EXPECT_EQ(shim_encap_len(u), 12u);
    EXPECT_EQ(shim_encap_len(ShimConfig{}), 4u);

    u.sport_net = htons(5000);
    EXPECT_EQ(shim_offset(q.data(), q.size(), u), -1);
    auto q2 = udp_packet(5000, 4050);
    EXPECT_EQ(shim_offset(q2.data(), q2.size(), u), 28);
    u.dport_net = htons(5001);
    EXPECT_EQ(shim_offset(q2.data(), q2.size(), u), -1);
    // With the UDP shim on, a packet with the tunnel protocol number is not a tunnel packet.
    auto r = ipproto_packet();
    EXPECT_EQ(shim_offset(r.data(), r.size(), u), -1);
}

TEST(Shim, RejectsMalformedHeaders) {
    ShimConfig c;
    auto p = ipproto_packet();
    p[20] = 0x78;
    EXPECT_EQ(shim_offset(p.data(), p.size(), c), -1);
    p = ipproto_packet();
    p[0] = 0x65;  // IPv6 version nibble
    EXPECT_EQ(shim_offset(p.data(), p.size(), c), -1);
    for (uint8_t ihl = 0; ihl < 5; ++ihl) {
        p = ipproto_packet();
        p[0] = uint8_t(0x40 | ihl);
        EXPECT_EQ(shim_offset(p.data(), p.size(), c), -1) << int(ihl);
    }
    // ihl 15 points beyond the buffer
    p = ipproto_packet();
    p[0] = 0x4F;
    EXPECT_EQ(shim_offset(p.data(), p.size(), c), -1);
    EXPECT_EQ(shim_offset(nullptr, 100, c), -1);
}

// Every truncation is rejected exactly when the shim no longer fits; the
// copies are exact-size heap buffers so ASan catches any read past the end.
TEST(Shim, TruncatedBuffers) {
    ShimConfig c, u;
    u.udp_shim = true;
    auto p = ipproto_packet();
    auto q = udp_packet(4050, 4050);
    for (size_t n = 0; n <= p.size(); ++n) {
        std::vector<uint8_t> t(p.begin(), p.begin() + n);
        t.shrink_to_fit();
        EXPECT_EQ(shim_offset(t.data(), n, c), n >= 24 ? 20 : -1) << n;
    }
    for (size_t n = 0; n <= q.size(); ++n) {
        std::vector<uint8_t> t(q.begin(), q.begin() + n);
        t.shrink_to_fit();
        EXPECT_EQ(shim_offset(t.data(), n, u), n >= 32 ? 28 : -1) << n;
    }
}

TEST(Shim, RandomBuffersStayInBounds) {
    std::mt19937 rng(12345);
    ShimConfig cfgs[2];
    cfgs[1].udp_shim = true;
    int hits = 0;
    for (int i = 0; i < 200000; ++i) {
        size_t n = rng() % 64;
        auto buf = std::make_unique<uint8_t[]>(n ? n : 1);
        for (size_t k = 0; k < n; ++k)
            buf[k] = uint8_t(rng());
        // Bias towards plausible headers so the deeper checks are reached.
        if (n > 0 && (rng() & 1))
            buf[0] = uint8_t(0x40 | (rng() % 16));
        if (n > 9 && (rng() & 1))
            buf[9] = (rng() & 1) ? 108 : 17;
        const ShimConfig& c = cfgs[rng() & 1];
        if (c.udp_shim && n > 23 && (rng() & 1)) {
            size_t ihl = size_t(buf[0] & 0x0F) * 4;
            if (ihl + 4 <= n) {
                std::memcpy(&buf[ihl], &c.sport_net, 2);
                std::memcpy(&buf[ihl + 2], &c.dport_net, 2);
            }
        }
        for (size_t k = 20; k < n; ++k)
            if (rng() % 4 == 0)
                buf[k] = WSHIM_MAGIC;
        int off = shim_offset(buf.get(), n, c);
        if (off < 0)
            continue;
        ++hits;
        ASSERT_LE(size_t(off) + WSHIM_LEN, n);
        ASSERT_EQ(buf[0] >> 4, 4);
        ASSERT_EQ(buf[off], WSHIM_MAGIC);
        ASSERT_EQ(size_t(off), size_t(buf[0] & 0x0F) * 4 + (c.udp_shim ? 8 : 0));
    }
    EXPECT_GT(hits, 0);
}

}  // namespace
