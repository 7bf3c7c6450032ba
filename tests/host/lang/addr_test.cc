#include <gtest/gtest.h>

#include <host/checksum.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>
#include <host/ipflowid.hh>

#include <arpa/inet.h>
#include <random>
#include <unordered_set>

TEST(Addresses, IPAddress) {
    IPAddress a;
    EXPECT_TRUE(IPAddress::parse("192.168.1.20", a));
    EXPECT_EQ(a.addr(), htonl(0xC0A80114));
    EXPECT_EQ(a.hostorder(), 0xC0A80114u);
    EXPECT_EQ(a.data()[0], 192);
    EXPECT_EQ(a.unparse(), "192.168.1.20");
    EXPECT_FALSE(IPAddress::parse(" 1.2.3.4", a));
    EXPECT_FALSE(IPAddress::parse("1.2.3.4 ", a));
    EXPECT_EQ(IPAddress("10.0.0.1").unparse(), "10.0.0.1");
    EXPECT_TRUE(IPAddress("garbage").empty());
    EXPECT_EQ(IPAddress::make_prefix(24).unparse(), "255.255.255.0");
    EXPECT_EQ(IPAddress::make_prefix(0).addr(), 0u);
    EXPECT_EQ(IPAddress::make_prefix(32).unparse(), "255.255.255.255");
    EXPECT_EQ(IPAddress::make_prefix(1).unparse(), "128.0.0.0");
    EXPECT_EQ(IPAddress("255.255.240.0").mask_to_prefix_len(), 20);
    EXPECT_EQ(IPAddress("255.0.255.0").mask_to_prefix_len(), -1);
    EXPECT_EQ(IPAddress("0.0.0.0").mask_to_prefix_len(), 0);
    IPAddress net("10.1.0.0"), mask("255.255.0.0");
    EXPECT_TRUE(IPAddress("10.1.200.3").matches_prefix(net, mask));
    EXPECT_FALSE(IPAddress("10.2.0.3").matches_prefix(net, mask));
    EXPECT_EQ((IPAddress("10.1.2.3") & mask).unparse(), "10.1.0.0");
    EXPECT_EQ(IPAddress("10.1.2.3").unparse_with_mask(mask), "10.1.2.3/16");
    EXPECT_EQ(IPAddress("10.1.2.3").unparse_with_mask(IPAddress("255.0.255.0")), "10.1.2.3/255.0.255.0");
    EXPECT_TRUE(IPAddress("224.0.0.1").is_multicast());
    EXPECT_TRUE(IPAddress("9.0.0.0") < IPAddress("10.0.0.0"));
    EXPECT_TRUE(IPAddress(0).empty());
    EXPECT_EQ(IPAddress(htonl(0x7F000001)).unparse(), "127.0.0.1");
}

TEST(Addresses, EtherAddress) {
    EtherAddress e;
    EXPECT_TRUE(e.is_zero());
    EXPECT_TRUE(EtherAddress::parse("ff:ff:ff:ff:ff:ff", e));
    EXPECT_TRUE(e.is_broadcast());
    EXPECT_TRUE(e.is_group());
    EXPECT_EQ(e, EtherAddress::make_broadcast());
    EXPECT_TRUE(EtherAddress::parse("00-11-22-aa-BB-cc", e));
    EXPECT_EQ(e.unparse(), "00:11:22:aa:bb:cc");
    EXPECT_EQ(e.unparse_dash(), "00-11-22-AA-BB-CC");
    EXPECT_FALSE(EtherAddress::parse("00:11:22:33:44:55 ", e));
    EXPECT_EQ(e.unparse(), "00:11:22:aa:bb:cc");  // unchanged on failure
}

TEST(Addresses, IPFlowIDFromHeaders) {
    unsigned char pkt[40] = {0x45, 0, 0, 40, 0, 1, 0, 0, 64, 6, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                             0x04, 0xD2, 0x00, 0x50};
    IPFlowID f(pkt, sizeof pkt);
    EXPECT_EQ(f.saddr().unparse(), "10.0.0.1");
    EXPECT_EQ(f.daddr().unparse(), "10.0.0.2");
    EXPECT_EQ(ntohs(f.sport()), 1234);
    EXPECT_EQ(ntohs(f.dport()), 80);
    EXPECT_EQ(f.unparse(), "(10.0.0.1, 1234, 10.0.0.2, 80)");
    IPFlowID r = f.reverse();
    EXPECT_EQ(r.unparse(), "(10.0.0.2, 80, 10.0.0.1, 1234)");
    EXPECT_NE(f, r);
    EXPECT_EQ(r.reverse(), f);
    EXPECT_NE(f.hashcode(), r.hashcode());

    bool ok = true;
    // Truncated: no room for ports, or not even an IP header.
    EXPECT_EQ(ntohs(IPFlowID(pkt, 22).sport()), 0);
    EXPECT_FALSE(IPFlowID::from_ip_header(pkt, 19, &ok));
    EXPECT_FALSE(ok);
    unsigned char bad_hl[40];
    memcpy(bad_hl, pkt, 40);
    bad_hl[0] = 0x4F;  // 60-byte header in a 40-byte buffer
    EXPECT_FALSE(IPFlowID::from_ip_header(bad_hl, 40, &ok));
    EXPECT_FALSE(ok);
    bad_hl[0] = 0x65;
    EXPECT_FALSE(IPFlowID::from_ip_header(bad_hl, 40, &ok));
    // A later fragment carries no ports; ICMP has none.
    unsigned char frag[40];
    memcpy(frag, pkt, 40);
    frag[7] = 10;
    EXPECT_EQ(IPFlowID(frag, 40).sport(), 0);
    frag[7] = 0;
    frag[9] = 1;
    EXPECT_EQ(IPFlowID(frag, 40).dport(), 0);

    std::unordered_set<IPFlowID> set;
    for (int i = 0; i < 1000; ++i)
        set.insert(IPFlowID(IPAddress(htonl(0x0A000000 + i)), htons(i), IPAddress(htonl(0x0A000001)), htons(80)));
    EXPECT_EQ(set.size(), 1000u);

    std::mt19937 rng(9);
    for (int i = 0; i < 5000; ++i) {
        unsigned char buf[64];
        for (auto& b : buf)
            b = rng();
        size_t len = rng() % 65;
        (void) IPFlowID::from_ip_header(buf, len, &ok);
    }
}

TEST(Checksum, KnownValuesAndPseudoHeader) {
    // RFC 1071 example bytes.
    const unsigned char rfc[8] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t c = click_in_cksum(rfc, 8);
    EXPECT_EQ(ntohs(c), static_cast<uint16_t>(~0xddf2 & 0xFFFF));
    // An IPv4 header with its checksum in place sums to zero.
    unsigned char ip[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                            0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    uint16_t sum = click_in_cksum(ip, 20);
    memcpy(ip + 10, &sum, 2);
    EXPECT_EQ(ip[10], 0xb8);
    EXPECT_EQ(ip[11], 0x61);
    EXPECT_EQ(click_in_cksum(ip, 20), 0);
    // Odd lengths and piecewise sums.
    unsigned char odd[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(click_in_cksum(odd, 5), click_in_cksum_fold(click_in_cksum_partial(odd + 4, 1, click_in_cksum_partial(odd, 4))));
    EXPECT_EQ(click_in_cksum(nullptr, 0), 0xFFFF);

    // A UDP segment: compute, store, verify; any flipped bit is caught.
    unsigned char udp[13] = {0x30, 0x39, 0x00, 0x35, 0x00, 13, 0, 0, 'h', 'e', 'l', 'l', 'o'};
    uint32_t s = htonl(0xC0A80001), d = htonl(0x08080808);
    uint16_t u = click_tcpudp_cksum(udp, 13, s, d, 17);
    memcpy(udp + 6, &u, 2);
    EXPECT_EQ(click_tcpudp_cksum(udp, 13, s, d, 17), 0);
    EXPECT_EQ(click_in_cksum_pseudohdr(click_in_cksum(udp, 13), s, d, 17, 13), 0);
    unsigned char iph[20] = {0x45, 0, 0, 33, 0, 0, 0, 0, 64, 17, 0, 0};
    memcpy(iph + 12, &s, 4);
    memcpy(iph + 16, &d, 4);
    EXPECT_EQ(click_in_cksum_pseudohdr(click_in_cksum(udp, 13), iph, 13), 0);
    udp[9] ^= 1;
    EXPECT_NE(click_tcpudp_cksum(udp, 13, s, d, 17), 0);
    udp[9] ^= 1;
    EXPECT_NE(click_tcpudp_cksum(udp, 13, s, d ^ htonl(1), 17), 0);
    EXPECT_NE(click_tcpudp_cksum(udp, 13, s, d, 6), 0);
}

TEST(Checksum, MatchesReferenceSum) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 500; ++iter) {
        std::vector<unsigned char> buf(rng() % 200);
        for (auto& b : buf)
            b = rng();
        uint32_t ref = 0;
        for (size_t i = 0; i < buf.size(); i += 2)
            ref += (buf[i] << 8) | (i + 1 < buf.size() ? buf[i + 1] : 0);
        while (ref >> 16)
            ref = (ref & 0xFFFF) + (ref >> 16);
        uint16_t expect = static_cast<uint16_t>(~ref);
        ASSERT_EQ(ntohs(click_in_cksum(buf.data(), static_cast<int>(buf.size()))), buf.empty() ? 0xFFFF : expect);
    }
}
