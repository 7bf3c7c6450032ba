// IP fragmentation (with reassembly), TCP segment splitting and MSS
// adjustment.
#include <gtest/gtest.h>

#include <map>

#include "framing.hh"

using namespace framing_test;

namespace {

// Reassembles IPv4 fragments of one datagram; empty when incomplete.
Bytes reassemble(const std::vector<Packet*>& frags) {
    std::map<size_t, Bytes> parts;
    Bytes header;
    size_t total = SIZE_MAX;
    for (Packet* p : frags) {
        const uint8_t* ip = p->data();
        EXPECT_TRUE(ip_cksum_ok(ip));
        size_t hl = size_t(ip[0] & 15) * 4;
        size_t tot = get16(ip + 2);
        EXPECT_EQ(tot, p->length());
        uint16_t f = get16(ip + 6);
        size_t off = size_t(f & 0x1FFF) * 8;
        if (off == 0)
            header.assign(ip, ip + hl);
        parts[off] = Bytes(ip + hl, ip + tot);
        if (!(f & 0x2000))
            total = off + tot - hl;
    }
    Bytes data;
    for (auto& [off, b] : parts) {
        if (off != data.size())
            return {};
        data.insert(data.end(), b.begin(), b.end());
    }
    if (data.size() != total || header.empty())
        return {};
    Bytes out = header;
    out.insert(out.end(), data.begin(), data.end());
    put16(out.data() + 2, uint16_t(out.size()));
    put16(out.data() + 6, 0);
    fix_ip_cksum(out.data());
    return out;
}

}  // namespace

TEST(QuiloIPFragmenter, SplitsAtEightByteBoundariesAndReassembles) {
    Harness h;
    ASSERT_TRUE(h.build("QuiloIPFragmenter(576)")) << h.r.errors();
    IPPacket u;
    u.payload = 1500 - 28;
    Bytes orig = u.bytes();
    h.push(ip_packet(orig));
    ASSERT_EQ(h.s->packets.size(), 3u);
    size_t lens[] = {572, 572, 396}, offs[] = {0, 69, 138};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(h.s->packets[i]->length(), lens[i]);
        EXPECT_EQ(get16(h.s->packets[i]->data() + 6) & 0x1FFF, offs[i]);
        EXPECT_EQ((get16(h.s->packets[i]->data() + 6) & 0x2000) != 0, i < 2);
    }
    Bytes back = reassemble(h.s->packets);
    put16(orig.data() + 6, 0);
    fix_ip_cksum(orig.data());
    EXPECT_EQ(back, orig);
    EXPECT_EQ(h.read("fragments"), "3");
}

TEST(QuiloIPFragmenter, CopiesOnlyCopiedOptionsIntoLaterFragments) {
    Harness h;
    ASSERT_TRUE(h.build("QuiloIPFragmenter(300)")) << h.r.errors();
    IPPacket u;
    u.payload = 700;
    // Record route (not copied, 0x07 len 7) and a copied option (0x94 router alert, len 4), then end.
    u.ip_options = {0x07, 7, 4, 0, 0, 0, 0, 0x94, 4, 0, 0, 0};
    Bytes orig = u.bytes();
    h.push(ip_packet(orig));
    ASSERT_GE(h.s->packets.size(), 3u);
    EXPECT_EQ(h.s->packets[0]->data()[0] & 15, 8);  // first keeps every option
    for (size_t i = 1; i < h.s->packets.size(); ++i) {
        const uint8_t* ip = h.s->packets[i]->data();
        EXPECT_EQ(ip[0] & 15, 6);  // 20 + router alert
        EXPECT_EQ(ip[20], 0x94);
        EXPECT_LE(h.s->packets[i]->length(), 300u);
    }
    Bytes back = reassemble(h.s->packets);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(Bytes(back.end() - 708, back.end()), Bytes(orig.end() - 708, orig.end()));
}

TEST(QuiloIPFragmenter, TCPAndSmallPacketsPassDFIsRefused) {
    Harness h;
    ASSERT_TRUE(h.build("QuiloIPFragmenter(576)", 2)) << h.r.errors();
    IPPacket t;
    t.proto = 6;
    t.payload = 1460;
    h.push(ip_packet(t.bytes()));
    IPPacket small;
    h.push(ip_packet(small.bytes()));
    IPPacket df;
    df.payload = 1000;
    df.frag = 0x4000;
    h.push(ip_packet(df.bytes()));
    ASSERT_EQ(h.s->packets.size(), 3u);
    EXPECT_EQ(h.s->ports[0], 0);
    EXPECT_EQ(h.s->packets[0]->length(), 1500u);
    EXPECT_EQ(h.s->ports[2], 1);
    EXPECT_EQ(h.read("drops"), "1");

    // DF not honoured: fragmented, DF cleared.
    Harness n;
    ASSERT_TRUE(n.build("QuiloIPFragmenter(576, false)")) << n.r.errors();
    n.push(ip_packet(df.bytes()));
    ASSERT_EQ(n.s->packets.size(), 2u);
    EXPECT_EQ(get16(n.s->packets[0]->data() + 6) & 0x4000, 0);
}

TEST(QuiloIPFragmenter, MTUBelowHeaderIsRefusedNotWrapped) {
    Harness h;
    ASSERT_TRUE(h.build("QuiloIPFragmenter(16)")) << h.r.errors();
    IPPacket u;
    u.payload = 200;
    h.push(ip_packet(u.bytes()));
    EXPECT_EQ(h.s->packets.size(), 0u);
    EXPECT_EQ(h.read("drops"), "1");
    Harness bad;
    EXPECT_FALSE(bad.build("QuiloIPFragmenter(7)"));
    EXPECT_NE(bad.r.errors().find("MTU must be at least 8"), std::string::npos);
}

TEST(QuiloTCPFragmenter, SplitsIntoValidSegments) {
    Harness h;
    ASSERT_TRUE(h.build("QuiloTCPFragmenter(MTU 1000)")) << h.r.errors();
    IPPacket t;
    t.proto = 6;
    t.payload = 3 * 960 + 60;
    t.tcp_flags = 0x19;  // FIN PSH ACK
    Bytes orig = t.bytes();
    h.push(ip_packet(orig));
    ASSERT_EQ(h.s->packets.size(), 4u);
    size_t want[] = {960, 960, 960, 60};
    Bytes joined;
    for (int i = 0; i < 4; ++i) {
        const uint8_t* ip = h.s->packets[i]->data();
        EXPECT_EQ(get16(ip + 2), 40 + want[i]);
        EXPECT_TRUE(ip_cksum_ok(ip));
        EXPECT_TRUE(l4_cksum_ok(ip));
        uint32_t seq;
        std::memcpy(&seq, ip + 24, 4);
        EXPECT_EQ(ntohl(seq), 1000 + 960u * unsigned(i));
        EXPECT_EQ((ip[33] & 0x01) != 0, i == 3);
        joined.insert(joined.end(), ip + 40, ip + 40 + want[i]);
    }
    EXPECT_EQ(joined, Bytes(orig.begin() + 40, orig.end()));
    EXPECT_EQ(h.read("count"), "1");
    EXPECT_EQ(h.read("fragmented_count"), "1");
    EXPECT_EQ(h.read("fragments"), "4");

    // A payload of exactly S bytes: one segment, counted as split.
    t.payload = 960;
    t.tcp_flags = 0x10;
    h.push(ip_packet(t.bytes()));
    EXPECT_EQ(h.s->packets.size(), 5u);
    EXPECT_EQ(h.read("fragmented_count"), "2");
}

TEST(QuiloTCPFragmenter, MTUAnnotationSYNAndBadHeadersPass) {
    Harness h;
    ASSERT_TRUE(h.build("QuiloTCPFragmenter(MTU_ANNO 70)")) << h.r.errors();
    IPPacket t;
    t.proto = 6;
    t.payload = 1000;
    Packet* p = ip_packet(t.bytes());
    p->set_anno_u16(70, 540);
    h.push(p);
    EXPECT_EQ(h.s->packets.size(), 2u);  // 500 + 500
    t.tcp_flags = 0x02;  // SYN passes unchanged
    p = ip_packet(t.bytes());
    p->set_anno_u16(70, 540);
    h.push(p);
    EXPECT_EQ(h.s->packets.size(), 3u);
    IPPacket tcp;
    tcp.proto = 6;
    Bytes bad = tcp.bytes();
    bad[32] = 0x30;  // data offset 3
    p = ip_packet(bad);
    p->set_anno_u16(70, 60);
    h.push(p);
    EXPECT_EQ(h.s->packets.size(), 4u);
    EXPECT_EQ(contents(h.s->packets[3]), bad);

    Harness none;
    EXPECT_FALSE(none.build("QuiloTCPFragmenter"));
    EXPECT_NE(none.r.errors().find("At least one of MTU and MTU_ANNO must be set"), std::string::npos);
}

namespace {

IPPacket syn(Bytes options) {
    IPPacket t;
    t.proto = 6;
    t.payload = 0;
    t.tcp_flags = 0x02;
    t.tcp_options = std::move(options);
    return t;
}

uint16_t mss_of(const Packet* p) {
    const uint8_t* tcp = p->data() + 20;
    size_t thl = size_t(tcp[12] >> 4) * 4;
    for (size_t i = 20; i + 4 <= thl;) {
        if (tcp[i] == 0)
            break;
        if (tcp[i] == 1) {
            ++i;
            continue;
        }
        if (tcp[i] == 2 && tcp[i + 1] == 4)
            return get16(tcp + i + 2);
        i += tcp[i + 1];
    }
    return 0;
}

}  // namespace

TEST(MSSAdjust, LowersNeverRaisesAndAddsWhenAsked) {
    Harness h;
    ASSERT_TRUE(h.build("MSSAdjust(true)")) << h.r.errors();
    h.push(ip_packet(syn({2, 4, 0x05, 0xb4}).bytes()));  // 1460
    h.push(ip_packet(syn({2, 4, 0x04, 0xb0}).bytes()));  // 1200
    h.push(ip_packet(syn({1, 1, 1, 1}).bytes()));        // none: added
    ASSERT_EQ(h.s->packets.size(), 3u);
    EXPECT_EQ(mss_of(h.s->packets[0]), 1320);
    EXPECT_EQ(mss_of(h.s->packets[1]), 1200);
    EXPECT_EQ(mss_of(h.s->packets[2]), 1320);
    EXPECT_EQ(h.s->packets[2]->data()[32] >> 4, 7);
    EXPECT_EQ(get16(h.s->packets[2]->data() + 2), 48);
    for (Packet* p : h.s->packets) {
        EXPECT_TRUE(ip_cksum_ok(p->data()));
        EXPECT_TRUE(l4_cksum_ok(p->data()));
    }
}

TEST(MSSAdjust, LeavesWhatItMustNotTouch) {
    Harness h;
    ASSERT_TRUE(h.build("MSSAdjust(ADDMISSING true)", 1, "WConf(MAX_PEERS 1, MSS 1000);")) << h.r.errors();
    Bytes full_options(40, 1);  // data offset 15: no room to add
    Bytes zero_len = {3, 0, 1, 1};
    IPPacket ack = syn({2, 4, 0x05, 0xb4});
    ack.tcp_flags = 0x10;
    IPPacket ece = syn({2, 4, 0x05, 0xb4});
    ece.tcp_flags = 0x42;
    for (const IPPacket& t : {syn(full_options), syn(zero_len), ack, ece}) {
        Bytes b = t.bytes();
        h.push(ip_packet(b));
        ASSERT_FALSE(h.s->packets.empty());
        EXPECT_EQ(contents(h.s->packets.back()), b);
    }
    // SYN-ACK qualifies.
    IPPacket synack = syn({2, 4, 0x05, 0xb4});
    synack.tcp_flags = 0x12;
    h.push(ip_packet(synack.bytes()));
    EXPECT_EQ(mss_of(h.s->packets.back()), 1000);
}
