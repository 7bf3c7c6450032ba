#include <gtest/gtest.h>
#include <host/checksum.hh>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "rsp/rsp_wire.hh"

using namespace rsp;

namespace {

ShimConfig cfg(bool udp) {
    ShimConfig c;
    c.udp_shim = udp;
    return c;
}

const uint32_t kA = htonl(0x0A000001), kB = htonl(0x0A000002);

std::vector<uint8_t> control(const ShimConfig& c, ControlSpec s) {
    std::vector<uint8_t> b(1600);
    s.src_net = kA;
    s.dst_net = kB;
    size_t n = build_control(b.data(), b.size(), c, s);
    b.resize(n);
    return b;
}

// A stream data packet as the compressor hands it over: IP, [UDP], shim, payload.
std::vector<uint8_t> data_packet(const ShimConfig& c, size_t payload) {
    size_t encap = shim_encap_len(c);
    std::vector<uint8_t> b(20 + encap + payload + RSP_HEADER_LEN);
    size_t len = 20 + encap + payload;
    build_ipv4(b.data(), uint16_t(len), 7, 64, c.udp_shim ? 17 : c.ipproto, kA, kB);
    size_t off = 20;
    if (c.udp_shim) {
        std::memcpy(&b[20], &c.sport_net, 2);
        std::memcpy(&b[22], &c.dport_net, 2);
        store16(&b[24], uint16_t(len - 20));
        off += 8;
    }
    b[off] = WSHIM_MAGIC;
    b[off + 2] = 6;
    b[off + 3] = WSHIM_ZSTD;
    for (size_t i = 0; i < payload; ++i)
        b[off + 4 + i] = uint8_t(i * 7 + 3);
    b.resize(len);
    return b;
}

}  // namespace

TEST(RspSerial, ComparesBySignOfDifference) {
    EXPECT_TRUE(seq_lt(65535, 0));
    EXPECT_TRUE(seq_gt(0, 65535));
    EXPECT_TRUE(seq_leq(5, 5));
    EXPECT_EQ(seq_diff(2, 65534), 4);
    EXPECT_EQ(seq_diff(65534, 2), -4);
    EXPECT_TRUE(seq_lt(100, 100 + 32767));
}

TEST(RspWire, ControlPacketsHaveTheDocumentedLengthsAndParseBack) {
    for (bool udp : {false, true}) {
        ShimConfig c = cfg(udp);
        size_t d = udp ? 8 : 0;
        auto plain = control(c, {.flags = RSP_FLAG_ACK, .seq = 9, .ack = 4});
        EXPECT_EQ(plain.size(), 32 + d);
        auto syn = control(c, {.flags = RSP_FLAG_SYN | RSP_FLAG_BOOT, .seq = 1, .syn_ext = true,
                               .max_outstanding = 2000});
        EXPECT_EQ(syn.size(), 34 + d);
        rsp_eack_range r[2] = {{5, 5}, {7, 8}};
        auto eack = control(c, {.flags = RSP_FLAG_ACK | RSP_FLAG_EACK, .seq = 2, .ack = 3, .ranges = r,
                                .nranges = 2});
        EXPECT_EQ(eack.size(), 40 + d);

        View v;
        ASSERT_EQ(parse(syn.data(), syn.size(), c, &v), Parse::ok);
        EXPECT_TRUE(checksum_ok(syn.data(), v));
        EXPECT_EQ(v.hdr_len, 5);
        EXPECT_EQ(v.max_outstanding, 2000);
        EXPECT_EQ(v.payload_len, 0u);
        EXPECT_EQ(v.shim_protocol, WSHIM_PROTO_RSP);

        ASSERT_EQ(parse(eack.data(), eack.size(), c, &v), Parse::ok);
        EXPECT_TRUE(checksum_ok(eack.data(), v));
        EXPECT_EQ(v.hdr_len, 8);
        EXPECT_EQ(v.ack, 3);
        ASSERT_EQ(v.eack_count, 2u);
        EXPECT_EQ(v.eack(eack.data(), 1).first, 7);
        EXPECT_EQ(v.eack(eack.data(), 1).last, 8);
        // The RSP checksum covers the IP payload: 12 + 4 per range (20 with UDP).
        eack.back() ^= 1;
        EXPECT_FALSE(checksum_ok(eack.data(), v));
    }
}

TEST(RspWire, DataHeaderInsertAndStripRestoreThePacket) {
    for (bool udp : {false, true}) {
        ShimConfig c = cfg(udp);
        auto orig = data_packet(c, 300);
        auto b = orig;
        b.resize(orig.size() + RSP_HEADER_LEN);
        size_t so = size_t(shim_offset(b.data(), orig.size(), c));
        size_t n = insert_data_header(b.data(), orig.size(), so, 65535, 41);
        ASSERT_EQ(n, orig.size() + 8);
        View v;
        ASSERT_EQ(parse(b.data(), n, c, &v), Parse::ok);
        EXPECT_TRUE(checksum_ok(b.data(), v));
        EXPECT_EQ(click_in_cksum(b.data(), 20), 0);
        EXPECT_EQ(v.seq, 65535);
        EXPECT_EQ(v.ack, 41);
        EXPECT_EQ(v.flags, RSP_FLAG_ACK);
        EXPECT_EQ(v.payload_len, 300u);
        EXPECT_TRUE(v.shim_flags & WSHIM_STREAM);
        if (udp) {  // the RSP header stays out of the UDP length
            EXPECT_EQ(load16(&b[24]), orig.size() - 20);
        }

        size_t m = strip_header(b.data(), v);
        ASSERT_EQ(m, orig.size());
        b.resize(m);
        EXPECT_EQ(click_in_cksum(b.data(), 20), 0);
        // Same bytes apart from the stream bit and the IP checksum.
        auto expect = orig;
        expect[so + 3] |= WSHIM_STREAM;
        EXPECT_EQ(std::memcmp(b.data() + 20, expect.data() + 20, m - 20), 0);
    }
}

TEST(RspWire, RecognitionLeavesOtherTrafficAlone) {
    ShimConfig c = cfg(false);
    auto stateless = data_packet(c, 50);  // no WSHIM_STREAM, protocol 6
    View v;
    EXPECT_EQ(parse(stateless.data(), stateless.size(), c, &v), Parse::not_rsp);
    stateless[9] = 6;  // plain TCP
    EXPECT_EQ(parse(stateless.data(), stateless.size(), c, &v), Parse::not_rsp);
}

TEST(RspWire, UntrustworthyLengthsAreMalformed) {
    ShimConfig c = cfg(false);
    auto base = control(c, {.flags = RSP_FLAG_ACK, .seq = 9, .ack = 4});
    View v;
    {   // total length beyond the packet
        auto b = base;
        store16(&b[2], uint16_t(b.size() + 1));
        EXPECT_EQ(parse(b.data(), b.size(), c, &v), Parse::malformed);
    }
    {   // total length smaller than the IP header
        auto b = base;
        store16(&b[2], 10);
        EXPECT_EQ(parse(b.data(), b.size(), c, &v), Parse::malformed);
    }
    {   // room for the shim but not the 8-byte RSP header
        auto b = base;
        b.resize(20 + 4 + 7);
        store16(&b[2], uint16_t(b.size()));
        EXPECT_EQ(parse(b.data(), b.size(), c, &v), Parse::malformed);
    }
    {   // hdr_len below 4, and a SYN below 5
        auto b = base;
        b[25] = 3;
        EXPECT_EQ(parse(b.data(), b.size(), c, &v), Parse::malformed);
        b[25] = 4;
        b[24] |= RSP_FLAG_SYN;
        EXPECT_EQ(parse(b.data(), b.size(), c, &v), Parse::malformed);
    }
    {   // hdr_len claiming more EACK ranges than the packet has
        auto b = base;
        b[24] |= RSP_FLAG_EACK;
        b[25] = 6;
        EXPECT_EQ(parse(b.data(), b.size(), c, &v), Parse::malformed);
        b[25] = 4;
        ASSERT_EQ(parse(b.data(), b.size(), c, &v), Parse::ok);
        EXPECT_EQ(v.eack_count, 0u);
    }
    {   // trailing bytes beyond the IP total length are not payload
        auto b = base;
        b.resize(b.size() + 30, 0xEE);
        ASSERT_EQ(parse(b.data(), b.size(), c, &v), Parse::ok);
        EXPECT_EQ(v.payload_len, 0u);
        EXPECT_TRUE(checksum_ok(b.data(), v));
    }
}

TEST(RspWire, BuildRefusesShortBuffers) {
    ShimConfig c = cfg(true);
    uint8_t small[30];
    ControlSpec s;
    EXPECT_EQ(build_control(small, sizeof small, c, s), 0u);
    std::vector<uint8_t> b(100, 0);
    build_ipv4(b.data(), 40, 0, 64, 108, kA, kB);
    EXPECT_EQ(insert_data_header(b.data(), 40, 10, 1, 1), 0u);  // shim inside the IP header
}

// Random, truncated and bit-flipped input: parse never reads outside the bytes
// it is given (ASan watches), and everything it accepts is self-consistent.
TEST(RspWireFuzz, RandomTruncatedAndFlippedPackets) {
    std::mt19937 rng(12345);
    for (bool udp : {false, true}) {
        ShimConfig c = cfg(udp);
        rsp_eack_range r[3] = {{5, 5}, {7, 8}, {10, 20}};
        std::vector<std::vector<uint8_t>> seeds = {
            control(c, {.flags = RSP_FLAG_ACK, .seq = 9, .ack = 4}),
            control(c, {.flags = RSP_FLAG_SYN, .seq = 1, .syn_ext = true, .max_outstanding = 5}),
            control(c, {.flags = RSP_FLAG_ACK | RSP_FLAG_EACK, .seq = 2, .ranges = r, .nranges = 3}),
        };
        auto d = data_packet(c, 200);
        d.resize(d.size() + 8);
        insert_data_header(d.data(), d.size() - 8, size_t(shim_offset(d.data(), d.size() - 8, c)), 3, 3);
        seeds.push_back(d);
        for (int iter = 0; iter < 20000; ++iter) {
            std::vector<uint8_t> b = seeds[rng() % seeds.size()];
            switch (rng() % 3) {
            case 0:
                b.resize(rng() % (b.size() + 1));
                break;
            case 1:
                for (int k = 1 + rng() % 4; k; --k) {
                    size_t at = rng() % b.size();
                    // Mostly flip bits in the headers, where lengths live.
                    if (rng() % 2)
                        at %= std::min<size_t>(b.size(), 40);
                    b[at] ^= uint8_t(1u << (rng() % 8));
                }
                break;
            default:
                for (auto& x : b)
                    x = uint8_t(rng());
                b[0] = 0x45;
                b[9] = udp ? 17 : 108;
                break;
            }
            // Exact-size heap copy so ASan sees any read past the end.
            std::unique_ptr<uint8_t[]> p(new uint8_t[b.size() ? b.size() : 1]);
            std::memcpy(p.get(), b.data(), b.size());
            View v;
            if (parse(p.get(), b.size(), c, &v) != Parse::ok)
                continue;
            ASSERT_LE(v.ip_len, b.size());
            ASSERT_EQ(v.payload_off + v.payload_len, v.ip_len);
            ASSERT_LE(v.rsp_off + 8 + 4 * size_t(v.eack_count), v.ip_len);
            (void)checksum_ok(p.get(), v);
            for (unsigned i = 0; i < v.eack_count; ++i)
                (void)v.eack(p.get(), i);
            size_t m = strip_header(p.get(), v);
            ASSERT_EQ(m + v.rsp_bytes(), v.ip_len);
        }
    }
}
