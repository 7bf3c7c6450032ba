// Encapsulation and decapsulation: exact round trips, checksums, the header
// fields each element writes, and packets too short to decapsulate.
#include <gtest/gtest.h>

#include "common/annotations.hh"
#include "framing.hh"

using namespace framing_test;

TEST(Encap, UDPRoundTripGivesBackTheExactPacket) {
    Harness enc, dec;
    ASSERT_TRUE(enc.build("QuiloUDPIPEncap(10.1.1.1, 4000, 10.2.2.2, 4001, DF true)")) << enc.r.errors();
    ASSERT_TRUE(dec.build("UDPIPDecap")) << dec.r.errors();
    IPPacket inner;
    inner.frag = 0x2000;  // MF on the inner packet must not leak into the outer header
    Bytes orig = inner.bytes();
    enc.push(ip_packet(orig));
    ASSERT_EQ(enc.s->packets.size(), 1u);
    Packet* p = enc.s->packets[0];
    const uint8_t* ip = p->data();
    ASSERT_EQ(p->length(), orig.size() + 28);
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(get16(ip + 2), orig.size() + 28);
    EXPECT_EQ(get16(ip + 6), 0x4000);  // exactly DF
    EXPECT_EQ(ip[8], 250);
    EXPECT_EQ(ip[9], 17);
    EXPECT_TRUE(ip_cksum_ok(ip));
    EXPECT_TRUE(l4_cksum_ok(ip));
    EXPECT_EQ(get16(ip + 20), 4000);
    EXPECT_EQ(get16(ip + 22), 4001);
    EXPECT_EQ(get16(ip + 24), orig.size() + 8);
    EXPECT_EQ(dst_ip_anno(p), htonl(0x0a020202));
    EXPECT_EQ(p->network_header(), p->data());
    EXPECT_EQ(Bytes(ip + 28, ip + p->length()), orig);

    enc.s->packets.clear();
    dec.push(p);
    ASSERT_EQ(dec.s->packets.size(), 1u);
    EXPECT_EQ(contents(dec.s->packets[0]), orig);
}

TEST(Encap, IPInIPRoundTripAndTemplate) {
    Harness enc, dec;
    ASSERT_TRUE(enc.build("WIPEncap(4, 10.1.1.1, DST_ANNO, DSCP 10, ECT 2, TTL 30)")) << enc.r.errors();
    ASSERT_TRUE(dec.build("WIPDecap")) << dec.r.errors();
    Bytes orig = IPPacket{}.bytes();
    Packet* in = ip_packet(orig);
    set_dst_ip_anno(in, htonl(0x0a090909));
    enc.push(in);
    ASSERT_EQ(enc.s->packets.size(), 1u);
    Packet* p = enc.s->packets[0];
    const uint8_t* ip = p->data();
    EXPECT_EQ(ip[1], (10 << 2) | 2);
    EXPECT_EQ(ip[8], 30);
    EXPECT_EQ(ip[9], 4);
    EXPECT_EQ(get16(ip + 2), orig.size() + 20);
    uint32_t d;
    std::memcpy(&d, ip + 16, 4);
    EXPECT_EQ(d, htonl(0x0a090909));
    EXPECT_TRUE(ip_cksum_ok(ip));
    EXPECT_EQ(enc.read("dst"), "DST_ANNO");
    EXPECT_EQ(enc.read("src"), "10.1.1.1");
    enc.s->packets.clear();
    dec.push(p);
    ASSERT_EQ(dec.s->packets.size(), 1u);
    EXPECT_EQ(contents(dec.s->packets[0]), orig);
}

TEST(Encap, SharedPacketsAreCopiedNotCorrupted) {
    Harness enc;
    ASSERT_TRUE(enc.build("QuiloUDPIPEncap(SRC_ANNO, 1, 10.2.2.2, 2)")) << enc.r.errors();
    Bytes orig = IPPacket{}.bytes();
    Packet* p = ip_packet(orig);
    Packet* c = p->clone();
    enc.push(p);
    EXPECT_EQ(contents(c), orig);  // the clone still sees the original bytes
    c->kill();
    ASSERT_EQ(enc.s->packets.size(), 1u);
    EXPECT_EQ(enc.read("src"), "10.0.0.1");  // source of the last packet wrapped
}

TEST(Encap, ConfigurationErrors) {
    struct Case {
        const char* conf;
        const char* message;
    } cases[] = {
        {"QuiloUDPIPEncap(nonsense, 1, 10.0.0.1, 2)", "bad SRC"},
        {"QuiloUDPIPEncap(10.0.0.1, 1, 1.2.3, 2)", "bad DST"},
        {"WIPEncap(4, 10.0.0.1, 10.0.0.2, TOS 16, DSCP 4)", "cannot set both TOS and DSCP"},
        {"WIPEncap(4, 10.0.0.1, 10.0.0.2, TOS 16, CE true)", "cannot set both TOS and ECN bits"},
        {"WIPEncap(4, 10.0.0.1, 10.0.0.2, ECT true, CE true)", "can set at most one ECN option"},
        {"WIPEncap(4, 10.0.0.1, 10.0.0.2, ECT maybe)", "bad ECT value 'maybe'"},
        {"WIPEncap(4, 10.0.0.1, 10.0.0.2, TOS 256)", "TOS too large; max 255"},
        {"WIPEncap(4, 10.0.0.1, 10.0.0.2, DSCP 64)", "DSCP too large; max 63"},
        {"WIPEncap(4, 10.0.0.1, somewhere)", "DST argument should be IP address or 'DST_ANNO'"},
        {"WIPEncap(300, 10.0.0.1, 10.0.0.2)", "PROTO"},
    };
    for (const Case& c : cases) {
        Harness h;
        EXPECT_FALSE(h.build(c.conf)) << c.conf;
        EXPECT_NE(h.r.errors().find(c.message), std::string::npos) << c.conf << ":\n" << h.r.errors();
    }
}

TEST(Encap, WriteHandlersReconfigureOneArgument) {
    Harness enc;
    ASSERT_TRUE(enc.build("QuiloUDPIPEncap(10.1.1.1, 4000, 10.2.2.2, 4001)")) << enc.r.errors();
    StringErrorHandler errh;
    Element* e = nullptr;
    const Handler* h = enc.r.router()->find_handler("e.dport", &e, &errh);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->call_write("5000", e, &errh), 0) << errh.text();
    EXPECT_EQ(enc.read("dport"), "5000");
    EXPECT_EQ(enc.read("dst"), "10.2.2.2");
    EXPECT_LT(h->call_write("not-a-port", e, &errh), 0);
    EXPECT_EQ(enc.read("dport"), "5000");  // unchanged on error
}

TEST(Decap, RemaindersThatAreNotIPv4AreDroppedAndCounted) {
    Harness dec;
    ASSERT_TRUE(dec.build("UDPIPDecap")) << dec.r.errors();
    IPPacket outer;
    outer.payload = 10;  // UDP header + 10 bytes: no room for an inner header
    dec.push(ip_packet(outer.bytes()));
    outer.payload = 30;  // 30 bytes of pattern: not version 4
    dec.push(ip_packet(outer.bytes()));
    EXPECT_EQ(dec.s->packets.size(), 0u);
    EXPECT_EQ(dec.read("drops"), "2");

    // A TCP packet passes unchanged.
    IPPacket tcp;
    tcp.proto = 6;
    Bytes b = tcp.bytes();
    dec.push(ip_packet(b));
    ASSERT_EQ(dec.s->packets.size(), 1u);
    EXPECT_EQ(contents(dec.s->packets[0]), b);

    // Inner header claims 24 bytes of header but only 20 remain.
    Harness ipd;
    ASSERT_TRUE(ipd.build("WIPDecap")) << ipd.r.errors();
    Bytes inner = IPPacket{}.bytes();
    Bytes wrapped(20, 0);
    wrapped[0] = 0x45;
    wrapped.insert(wrapped.end(), inner.begin(), inner.begin() + 20);
    wrapped[20] = 0x46;
    ipd.push(ip_packet(wrapped));
    EXPECT_EQ(ipd.s->packets.size(), 0u);
    EXPECT_EQ(ipd.read("drops"), "1");
}

namespace {

// A tunnel packet: IP (protocol 108, or UDP 4050/4050), shim, optional RSP
// header of `rsp_words` 16-bit words, then an inner UDP header and payload.
Bytes tunnel_packet(bool udp_shim, uint8_t shim_flags, int rsp_words, size_t payload = 40) {
    Bytes inner_l4(8 + payload, 0xab);
    put16(inner_l4.data() + 4, uint16_t(inner_l4.size()));
    Bytes b(20, 0);
    if (udp_shim) {
        Bytes u(8, 0);
        put16(u.data(), 4050);
        put16(u.data() + 2, 4050);
        b.insert(b.end(), u.begin(), u.end());
    }
    b.insert(b.end(), {0x77, 0, 17, shim_flags});
    if (rsp_words > 0) {
        Bytes r(size_t(rsp_words) * 2, 0);
        r[0] = 0x02;  // ACK
        r[1] = uint8_t(rsp_words);
        b.insert(b.end(), r.begin(), r.end());
    }
    b.insert(b.end(), inner_l4.begin(), inner_l4.end());
    b[0] = 0x45;
    put16(b.data() + 2, uint16_t(b.size()));
    b[8] = 64;
    b[9] = udp_shim ? 17 : 108;
    if (udp_shim)
        put16(b.data() + 24, uint16_t(b.size() - 20));
    fix_ip_cksum(b.data());
    return b;
}

}  // namespace

TEST(IPCompDecap, StripsShimUDPAndRSPHeader) {
    Harness h;
    ASSERT_TRUE(h.build("IPCompDecap", 1, "WConf(MAX_PEERS 1, UDP_SHIM true);")) << h.r.errors();
    Bytes b = tunnel_packet(true, 0x01, 4);
    h.push(ip_packet(b));
    ASSERT_EQ(h.s->packets.size(), 1u);
    Packet* p = h.s->packets[0];
    EXPECT_EQ(p->length(), b.size() - 20);  // UDP 8 + shim 4 + RSP 8
    EXPECT_EQ(p->data()[9], 17);
    EXPECT_EQ(get16(p->data() + 2), p->length());
    EXPECT_TRUE(ip_cksum_ok(p->data()));
    EXPECT_EQ(Bytes(p->data() + 20, p->end_data()), Bytes(b.begin() + 40, b.end()));
}

TEST(IPCompDecap, NonStreamAndForeignPackets) {
    Harness h;
    ASSERT_TRUE(h.build("IPCompDecap")) << h.r.errors();
    Bytes b = tunnel_packet(false, 0, 0);
    h.push(ip_packet(b));
    ASSERT_EQ(h.s->packets.size(), 1u);
    EXPECT_EQ(h.s->packets[0]->length(), b.size() - 4);
    Bytes plain = IPPacket{}.bytes();
    h.push(ip_packet(plain));
    ASSERT_EQ(h.s->packets.size(), 2u);
    EXPECT_EQ(contents(h.s->packets[1]), plain);
}

TEST(IPCompDecap, RSPHeaderLengthIsCheckedAgainstThePacket) {
    Harness h;
    ASSERT_TRUE(h.build("IPCompDecap")) << h.r.errors();
    Bytes b = tunnel_packet(false, 0x01, 4, 0);
    b[24 + 1] = 200;  // hdr_len far beyond the packet
    fix_ip_cksum(b.data());
    h.push(ip_packet(b));
    b[24 + 1] = 2;  // below the 8-byte minimum
    h.push(ip_packet(b));
    EXPECT_EQ(h.s->packets.size(), 0u);
    EXPECT_EQ(h.read("drops"), "2");
}

TEST(DropRSPRetransmit, DropsOnlyMarkedPacketsWhenAsked) {
    Harness h;
    ASSERT_TRUE(h.build("DropRSPRetransmit(false)")) << h.r.errors();
    Packet* p = ip_packet(IPPacket{}.bytes());
    set_rsp_rx_retransmit_anno(p, 1);
    h.push(p);
    EXPECT_EQ(h.s->packets.size(), 1u);
    EXPECT_EQ(h.read("drop_count"), "0");
    EXPECT_EQ(h.read("drop"), "false");

    StringErrorHandler errh;
    Element* e = nullptr;
    const Handler* wh = h.r.router()->find_handler("e.drop", &e, &errh);
    ASSERT_TRUE(wh);
    EXPECT_LT(wh->call_write("perhaps", e, &errh), 0);
    EXPECT_NE(errh.text().find("type mismatch"), std::string::npos);
    EXPECT_EQ(wh->call_write("true", e, &errh), 0);
    p = ip_packet(IPPacket{}.bytes());
    set_rsp_rx_retransmit_anno(p, 1);
    h.push(p);
    h.push(ip_packet(IPPacket{}.bytes()));
    EXPECT_EQ(h.s->packets.size(), 2u);
    EXPECT_EQ(h.read("drop_count"), "1");
}
