// Reading session keys from raw IPv4 packets, plain and tunnelled, and the
// refusal of everything that cannot be read safely.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <vector>

#include "sessions/sessionpacket.hh"

namespace {

std::vector<uint8_t> ip_packet(uint8_t proto, size_t payload, uint32_t src = 0x0a000001, uint32_t dst = 0xc0a80102) {
    std::vector<uint8_t> p(20 + payload, 0);
    p[0] = 0x45;
    uint16_t tot = htons(uint16_t(p.size()));
    std::memcpy(&p[2], &tot, 2);
    p[8] = 64;
    p[9] = proto;
    uint32_t s = htonl(src), d = htonl(dst);
    std::memcpy(&p[12], &s, 4);
    std::memcpy(&p[16], &d, 4);
    return p;
}

void put_ports(std::vector<uint8_t>& p, size_t off, uint16_t sport, uint16_t dport) {
    uint16_t s = htons(sport), d = htons(dport);
    std::memcpy(&p[off], &s, 2);
    std::memcpy(&p[off + 2], &d, 2);
}

std::vector<uint8_t> tcp_packet(uint8_t flags, uint16_t sport = 1234, uint16_t dport = 80) {
    auto p = ip_packet(6, 20);
    put_ports(p, 20, sport, dport);
    p[20 + 12] = 0x50;
    p[20 + 13] = flags;
    return p;
}

}  // namespace

TEST(SessionPacket, PlainTcpAndUdp) {
    ShimConfig c;
    SessionPacket sp;
    auto t = tcp_packet(TH_SYN);
    ASSERT_TRUE(parse_session_packet(t.data(), t.size(), c, &sp));
    EXPECT_EQ(sp.proto, 6);
    EXPECT_EQ(sp.tcp_flags, TH_SYN);
    EXPECT_EQ(sp.saddr, htonl(0x0a000001));
    EXPECT_EQ(sp.daddr, htonl(0xc0a80102));
    EXPECT_EQ(ntohs(sp.sport), 1234);
    EXPECT_EQ(ntohs(sp.dport), 80);

    auto u = ip_packet(17, 8);
    put_ports(u, 20, 53, 5353);
    ASSERT_TRUE(parse_session_packet(u.data(), u.size(), c, &sp));
    EXPECT_EQ(sp.proto, 17);
    EXPECT_EQ(sp.tcp_flags, 0);
    EXPECT_EQ(ntohs(sp.sport), 53);

    // Ethernet padding beyond the IP total length is ignored, not read as data.
    u.resize(u.size() + 10, 0xEE);
    ASSERT_TRUE(parse_session_packet(u.data(), u.size(), c, &sp));
}

TEST(SessionPacket, Untrackable) {
    ShimConfig c;
    SessionPacket sp;
    // ICMP
    auto icmp = ip_packet(1, 8);
    EXPECT_FALSE(parse_session_packet(icmp.data(), icmp.size(), c, &sp));
    // A 20-byte IP packet that claims TCP.
    auto bare = ip_packet(6, 0);
    EXPECT_FALSE(parse_session_packet(bare.data(), bare.size(), c, &sp));
    // TCP header cut short by the IP total length although bytes follow.
    auto t = tcp_packet(0);
    uint16_t tot = htons(30);
    std::memcpy(&t[2], &tot, 2);
    EXPECT_FALSE(parse_session_packet(t.data(), t.size(), c, &sp));
    // Total length below the header length.
    tot = htons(10);
    std::memcpy(&t[2], &tot, 2);
    EXPECT_FALSE(parse_session_packet(t.data(), t.size(), c, &sp));
    // Fragments: more-fragments flag, or an offset.
    for (uint16_t frag : {uint16_t(0x2000), uint16_t(0x0001), uint16_t(0x4000)}) {
        auto f = tcp_packet(0);
        uint16_t v = htons(frag);
        std::memcpy(&f[6], &v, 2);
        EXPECT_EQ(parse_session_packet(f.data(), f.size(), c, &sp), frag == 0x4000) << frag;  // DF alone is fine
    }
    // Both addresses zero.
    auto z = ip_packet(17, 8, 0, 0);
    EXPECT_FALSE(parse_session_packet(z.data(), z.size(), c, &sp));
    // Not IPv4, bad header length, ARP-sized junk.
    auto v6 = tcp_packet(0);
    v6[0] = 0x65;
    EXPECT_FALSE(parse_session_packet(v6.data(), v6.size(), c, &sp));
    auto ihl = tcp_packet(0);
    ihl[0] = 0x44;
    EXPECT_FALSE(parse_session_packet(ihl.data(), ihl.size(), c, &sp));
    ihl[0] = 0x4F;  // 60-byte header in a 40-byte packet
    EXPECT_FALSE(parse_session_packet(ihl.data(), ihl.size(), c, &sp));
    uint8_t arp[28] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0, 1};
    EXPECT_FALSE(parse_session_packet(arp, sizeof(arp), c, &sp));
    EXPECT_FALSE(parse_session_packet(nullptr, 0, c, &sp));
}

TEST(SessionPacket, TunnelPacketsUseInnerHeader) {
    ShimConfig c;  // IPPROTO 108
    SessionPacket sp;
    // IP(108) + shim(proto TCP) + TCP
    auto p = ip_packet(108, 4 + 20);
    p[20] = WSHIM_MAGIC;
    p[22] = 6;
    put_ports(p, 24, 4000, 443);
    p[24 + 13] = TH_FIN;
    ASSERT_TRUE(parse_session_packet(p.data(), p.size(), c, &sp));
    EXPECT_EQ(sp.proto, 6);
    EXPECT_EQ(ntohs(sp.sport), 4000);
    EXPECT_EQ(ntohs(sp.dport), 443);
    EXPECT_EQ(sp.tcp_flags, TH_FIN);

    // Stream packet: the 8-byte RSP header sits between shim and TCP header.
    auto s = ip_packet(108, 4 + 8 + 8);
    s[20] = WSHIM_MAGIC;
    s[22] = 17;
    s[23] = WSHIM_STREAM;
    s[25] = 4;  // RSP hdr_len in 16-bit words
    put_ports(s, 32, 7, 9);
    ASSERT_TRUE(parse_session_packet(s.data(), s.size(), c, &sp));
    EXPECT_EQ(sp.proto, 17);
    EXPECT_EQ(ntohs(sp.sport), 7);
    EXPECT_EQ(ntohs(sp.dport), 9);

    // The RSP header's own length places the inner header (here behind one
    // EACK range); a length below the minimum or beyond the packet is refused.
    auto e = ip_packet(108, 4 + 12 + 8);
    e[20] = WSHIM_MAGIC;
    e[22] = 17;
    e[23] = WSHIM_STREAM;
    e[24] = 0x04;  // EACK
    e[25] = 6;
    put_ports(e, 36, 11, 13);
    ASSERT_TRUE(parse_session_packet(e.data(), e.size(), c, &sp));
    EXPECT_EQ(ntohs(sp.sport), 11);
    EXPECT_EQ(ntohs(sp.dport), 13);
    for (uint8_t bad : {uint8_t(0), uint8_t(3), uint8_t(15)}) {
        e[25] = bad;
        EXPECT_FALSE(parse_session_packet(e.data(), e.size(), c, &sp)) << int(bad);
    }

    // Cut after the shim, or inside the RSP header: untracked.
    auto cut = ip_packet(108, 4);
    cut[20] = WSHIM_MAGIC;
    cut[22] = 6;
    EXPECT_FALSE(parse_session_packet(cut.data(), cut.size(), c, &sp));
    s.resize(20 + 4 + 6);
    uint16_t tot = htons(uint16_t(s.size()));
    std::memcpy(&s[2], &tot, 2);
    EXPECT_FALSE(parse_session_packet(s.data(), s.size(), c, &sp));

    // Protocol 108 without the magic byte is neither TCP nor UDP.
    p[20] = 0;
    EXPECT_FALSE(parse_session_packet(p.data(), p.size(), c, &sp));

    // UDP shim: IP(17) + UDP(4050->4050) + shim + inner UDP.
    ShimConfig u;
    u.udp_shim = true;
    auto q = ip_packet(17, 8 + 4 + 8);
    put_ports(q, 20, 4050, 4050);
    q[28] = WSHIM_MAGIC;
    q[30] = 17;
    put_ports(q, 32, 1111, 2222);
    ASSERT_TRUE(parse_session_packet(q.data(), q.size(), u, &sp));
    EXPECT_EQ(ntohs(sp.sport), 1111);
    // Same packet without the UDP shim setting is an ordinary UDP packet.
    ASSERT_TRUE(parse_session_packet(q.data(), q.size(), c, &sp));
    EXPECT_EQ(ntohs(sp.sport), 4050);
}

// Random bytes and every truncation of valid packets must never read out of
// bounds (run under the sanitizers) and never crash.
TEST(SessionPacket, FuzzRandomAndTruncated) {
    std::mt19937 rng(4242);
    ShimConfig plain, udp;
    udp.udp_shim = true;
    SessionPacket sp;
    std::vector<std::vector<uint8_t>> seeds;
    seeds.push_back(tcp_packet(TH_SYN));
    auto t = ip_packet(108, 4 + 8 + 20);
    t[20] = WSHIM_MAGIC;
    t[22] = 6;
    t[23] = WSHIM_STREAM;
    t[25] = 4;
    seeds.push_back(t);
    auto u = ip_packet(17, 8 + 4 + 8);
    put_ports(u, 20, 4050, 4050);
    u[28] = WSHIM_MAGIC;
    u[30] = 17;
    seeds.push_back(u);
    for (const auto& s : seeds)
        for (size_t n = 0; n <= s.size(); ++n) {
            // Exact-size heap copies so ASan catches a read one byte past.
            std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
            std::memcpy(buf.get(), s.data(), n);
            parse_session_packet(buf.get(), n, plain, &sp);
            parse_session_packet(buf.get(), n, udp, &sp);
        }
    for (int i = 0; i < 20000; ++i) {
        size_t n = rng() % 80;
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        for (size_t j = 0; j < n; ++j)
            buf[j] = uint8_t(rng());
        if (n && (rng() & 1))
            buf[0] = uint8_t(0x40 | (rng() & 0x0F));
        if (n > 9 && (rng() & 1))
            buf[9] = (rng() & 1) ? 108 : 17;
        if (n > 28 && (rng() & 1))
            buf[size_t(buf[0] & 0x0F) * 4 < n ? size_t(buf[0] & 0x0F) * 4 : 0] = WSHIM_MAGIC;
        parse_session_packet(buf.get(), n, (i & 1) ? udp : plain, &sp);
    }
}
