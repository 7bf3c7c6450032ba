// TCP and UDP header checks against crafted bad headers of every kind.
#include <gtest/gtest.h>

#include "framing.hh"

using namespace framing_test;

TEST(WCheckTCPHeader, CountsEachReason) {
    Harness h;
    ASSERT_TRUE(h.build("WCheckTCPHeader(DETAILS true)", 2)) << h.r.errors();
    IPPacket t;
    t.proto = 6;
    Bytes good = t.bytes();
    Bytes short_thl = good;
    short_thl[32] = 0x40;  // data offset 4
    Bytes truncated(good.begin(), good.end() - 10);  // IP length claims more than present
    Bytes bad_sum = good;
    bad_sum[60] ^= 0xFF;
    IPPacket tiny;
    tiny.proto = 6;
    tiny.payload = 0;
    Bytes tiny_long = tiny.bytes();
    tiny_long[32] = 0x60;  // 24-byte header in a 20-byte segment

    h.push(ip_packet(good));
    h.push(ip_packet(short_thl));
    h.push(ip_packet(truncated));
    h.push(ip_packet(bad_sum));
    h.push(ip_packet(tiny_long));
    h.push(ip_packet(IPPacket{}.bytes()));  // UDP: not checked
    ASSERT_EQ(h.s->packets.size(), 6u);
    std::vector<int> ports = h.s->ports;
    EXPECT_EQ(ports, (std::vector<int>{0, 1, 1, 1, 1, 0}));
    EXPECT_EQ(h.read("drops"), "4");
    EXPECT_EQ(h.read("drop_details"), "0\tnot TCP\n3\tbad packet length\n1\tbad TCP checksum\n");
}

TEST(WCheckUDPHeader, CountsEachReasonAndAcceptsZeroChecksum) {
    Harness h;
    ASSERT_TRUE(h.build("WCheckUDPHeader(DETAILS true)")) << h.r.errors();
    Bytes good = IPPacket{}.bytes();
    Bytes zero_sum = good;
    zero_sum[26] = zero_sum[27] = 0;
    zero_sum[40] ^= 0x55;  // wrong payload, but no checksum to verify
    Bytes short_len = good;
    put16(short_len.data() + 24, 7);
    Bytes long_len = good;
    put16(long_len.data() + 24, 200);
    Bytes bad_sum = good;
    bad_sum[50] ^= 1;
    for (const Bytes& b : {good, zero_sum, short_len, long_len, bad_sum})
        h.push(ip_packet(b));
    EXPECT_EQ(h.s->packets.size(), 2u);  // dropped ones are freed (one output)
    EXPECT_EQ(h.read("drops"), "3");
    EXPECT_EQ(h.read("drop_details"), "0\tnot UDP\n2\tbad packet length\n1\tbad UDP checksum\n");
}
