// Header, checksum, classification, switching and ARP elements driven with
// crafted packets.
#include <arpa/inet.h>

#include <iterator>
#include <sstream>

#include <host/checksum.hh>

#include "harness.hh"
#include "pktbuild.hh"

namespace {

std::vector<uint8_t> eth(const std::vector<uint8_t>& payload, uint16_t type = 0x0800) {
    const uint8_t h[14] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, uint8_t(type >> 8), uint8_t(type)};
    std::vector<uint8_t> f(14 + payload.size());
    memcpy(f.data(), h, 14);
    if (!payload.empty())
        memcpy(f.data() + 14, payload.data(), payload.size());
    return f;
}

std::vector<uint8_t> with_ip_checksum(std::vector<uint8_t> ip) {
    ip[10] = ip[11] = 0;
    uint16_t c = click_in_cksum(ip.data(), (ip[0] & 0xF) * 4);
    memcpy(&ip[10], &c, 2);
    return ip;
}

bool l4_ok(const std::vector<uint8_t>& ip) {
    int hl = (ip[0] & 0xF) * 4;
    uint32_t s, d;
    memcpy(&s, &ip[12], 4);
    memcpy(&d, &ip[16], 4);
    return click_tcpudp_cksum(ip.data() + hl, int(ip.size()) - hl, s, d, ip[9]) == 0;
}

std::vector<uint8_t> arp(uint16_t op, const char* sip, const char* tip, const uint8_t* sha) {
    std::vector<uint8_t> f(42, 0);
    memset(f.data(), 0xFF, 6);
    memcpy(&f[6], sha, 6);
    f[12] = 0x08;
    f[13] = 0x06;
    uint8_t h[8] = {0, 1, 8, 0, 6, 4, 0, uint8_t(op)};
    memcpy(&f[14], h, 8);
    memcpy(&f[22], sha, 6);
    uint32_t a = htonl(pktbuild::ip(sip)), b = htonl(pktbuild::ip(tip));
    memcpy(&f[28], &a, 4);
    memcpy(&f[38], &b, 4);
    return f;
}

}  // namespace

TEST(HostElements, StripUnstripEncapRewrite) {
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> Strip(14) -> Unstrip(14) -> e :: EtherEncap(0x0806, 02:00:00:00:00:01, "
                        "ff:ff:ff:ff:ff:ff) -> EtherRewrite(SRC 02-00-00-00-00-09, DST 02:00:00:00:00:0a) -> s :: TestSink;"
                        "j :: TestInject -> rw :: EtherRewrite(02:00:00:00:00:01, 02:00:00:00:00:02) -> s2 :: TestSink;"))
        << t.errh.text();
    auto f = eth(pktbuild::ipv4(17, "1.1.1.1", "2.2.2.2", 1, 2));
    t.find<TestInject>("i")->send(f);
    auto got = t.find<TestSink>("s")->take();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].data.size(), f.size() + 14);
    std::vector<uint8_t> hdr(got[0].data.begin(), got[0].data.begin() + 14);
    EXPECT_EQ(hdr, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0x0a, 2, 0, 0, 0, 0, 9, 0x08, 0x06}));
    EXPECT_EQ(got[0].mac_off, 0);
    EXPECT_TRUE(std::equal(f.begin(), f.end(), got[0].data.begin() + 14));   // Unstrip restored the bytes
    EXPECT_EQ(t.read("e.ethertype"), "0x0806");
    // Too short for EtherRewrite: counted, dropped.
    t.find<TestInject>("j")->send(std::vector<uint8_t>(10, 1));
    EXPECT_EQ(t.find<TestSink>("s2")->size(), 0u);
    EXPECT_EQ(t.num("rw.drops"), 1);
}

TEST(HostElements, CheckIPHeaderCountsAndDropsBadHeaders) {
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> c :: CheckIPHeader(14) -> s :: TestSink;"
                        "j :: TestInject -> c2 :: CheckIPHeader(VERBOSE false) -> s2 :: TestSink; c2[1] -> bad :: TestSink;"))
        << t.errh.text();
    auto ip = with_ip_checksum(pktbuild::ipv4(6, "10.0.0.1", "10.0.0.2", 1, 2));
    auto good = eth(ip);
    good.resize(good.size() + 6, 0);   // Ethernet padding is cut
    auto inj = t.find<TestInject>("i");
    inj->send(good);
    auto badsum = eth(ip);
    badsum[14 + 10] ^= 0xFF;
    inj->send(badsum);
    auto badver = eth(ip);
    badver[14] = 0x65;
    inj->send(badver);
    auto badhl = eth(ip);
    badhl[14] = 0x4F;
    inj->send(badhl);
    auto badlen = eth(ip);
    badlen[14 + 2] = 0x10;
    inj->send(badlen);
    for (size_t len = 0; len < 14 + ip.size(); len += 3)   // truncated frames
        inj->send(std::vector<uint8_t>(good.begin(), good.begin() + len));
    auto got = t.find<TestSink>("s")->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data.size(), 14 + ip.size());
    EXPECT_EQ(got[0].net_off, 14);
    EXPECT_EQ(t.num("c.drops"), 4 + 18);
    std::string details = t.read("c.drop_details");
    EXPECT_NE(details.find("1 packets due to: bad IP checksum"), std::string::npos) << details;
    EXPECT_NE(details.find("1 packets due to: bad IP version"), std::string::npos) << details;
    // With two outputs, bad packets leave on output 1.
    t.find<TestInject>("j")->send(std::vector<uint8_t>(5, 0x45));
    EXPECT_EQ(t.find<TestSink>("bad")->size(), 1u);
    EXPECT_EQ(t.num("c2.drops"), 1);
}

TEST(HostElements, MarkHeadersVlanAndChecksums) {
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> VLANDecap -> MarkMACHeader -> MarkIPHeader(14) -> SetIPChecksum"
                        " -> SetTCPChecksum -> SetTimestamp -> VLANEncap -> s :: TestSink;"
                        "j :: TestInject -> u :: SetUDPChecksum -> s2 :: TestSink;"
                        "k :: TestInject -> VLANEncap(VLAN_ID 5, VLAN_PCP 3) -> s3 :: TestSink;"))
        << t.errh.text();
    auto ip = pktbuild::ipv4(6, "10.0.0.1", "10.0.0.2", 1234, 80, 0x12);
    auto f = eth(ip);
    uint8_t tag[4] = {0x81, 0x00, 0x00, 0x2A};   // VLAN 42
    f.insert(f.begin() + 12, tag, tag + 4);
    t.find<TestInject>("i")->send(f);
    auto got = t.find<TestSink>("s")->take();
    ASSERT_EQ(got.size(), 1u);
    const auto& d = got[0].data;
    ASSERT_EQ(d.size(), f.size());
    EXPECT_EQ(d[12], 0x81);                 // tag back from the annotation
    EXPECT_EQ(d[15], 0x2A);
    EXPECT_EQ(got[0].vlan, htons(42));
    std::vector<uint8_t> out_ip(d.begin() + 18, d.end());
    EXPECT_EQ(click_in_cksum(out_ip.data(), 20), 0);
    EXPECT_TRUE(l4_ok(out_ip));
    EXPECT_GT(got[0].ts, 0);

    // Untagged frame: no tag added (native VLAN 0).
    auto plain = eth(ip);
    t.find<TestInject>("i")->send(plain);
    got = t.find<TestSink>("s")->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data.size(), plain.size());

    // SetUDPChecksum needs a marked UDP header: others are dropped.
    auto udp = pktbuild::ipv4(17, "10.0.0.1", "10.0.0.2", 53, 5353);
    WritablePacket* p = Packet::make(64, udp.data(), uint32_t(udp.size()), 0);
    p->set_network_header(p->data(), 20);
    t.find<TestInject>("j")->send(p);
    t.find<TestInject>("j")->send(udp);   // no network header
    auto g2 = t.find<TestSink>("s2")->take();
    ASSERT_EQ(g2.size(), 1u);
    EXPECT_TRUE(l4_ok(g2[0].data));
    EXPECT_EQ(t.num("u.drops"), 1);

    t.find<TestInject>("k")->send(plain);
    auto g3 = t.find<TestSink>("s3")->take();
    ASSERT_EQ(g3.size(), 1u);
    EXPECT_EQ(g3[0].data[14], 0x60);   // PCP 3
    EXPECT_EQ(g3[0].data[15], 5);
}

TEST(HostElements, Classifiers) {
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> c :: Classifier(12/0806, 12/0800, -);"
                        "c[0] -> a :: TestSink; c[1] -> CheckIPHeader(14) -> ic :: IPClassifier(tcp port 80, udp, -);"
                        "c[2] -> o :: TestSink; ic[0] -> web :: TestSink; ic[1] -> u :: TestSink; ic[2] -> rest :: TestSink;"
                        "j :: TestInject -> f :: IPFilter(allow tcp opt syn, 1 icmp, deny all) -> fa :: TestSink; f[1] -> fi :: TestSink;"))
        << t.errh.text();
    auto in = t.find<TestInject>("i");
    in->send(eth(std::vector<uint8_t>(28, 0), 0x0806));
    in->send(eth(with_ip_checksum(pktbuild::ipv4(6, "1.1.1.1", "2.2.2.2", 999, 80))));
    in->send(eth(with_ip_checksum(pktbuild::ipv4(17, "1.1.1.1", "2.2.2.2", 999, 80))));
    in->send(eth(with_ip_checksum(pktbuild::ipv4(1, "1.1.1.1", "2.2.2.2", 8))));
    in->send(eth(std::vector<uint8_t>(10, 0), 0x86DD));
    EXPECT_EQ(t.find<TestSink>("a")->size(), 1u);
    EXPECT_EQ(t.find<TestSink>("web")->size(), 1u);
    EXPECT_EQ(t.find<TestSink>("u")->size(), 1u);
    EXPECT_EQ(t.find<TestSink>("rest")->size(), 1u);
    EXPECT_EQ(t.find<TestSink>("o")->size(), 1u);
    auto j = t.find<TestInject>("j");
    j->send(pktbuild::ipv4(6, "1.1.1.1", "2.2.2.2", 1, 2, 0x02));
    j->send(pktbuild::ipv4(6, "1.1.1.1", "2.2.2.2", 1, 2, 0x10));
    j->send(pktbuild::ipv4(1, "1.1.1.1", "2.2.2.2", 0));
    j->send(std::vector<uint8_t>(3, 0));
    EXPECT_EQ(t.find<TestSink>("fa")->size(), 1u);
    EXPECT_EQ(t.find<TestSink>("fi")->size(), 1u);
    EXPECT_EQ(t.num("f.drops"), 2);
}

TEST(HostElements, ConfigurationErrorsNameTheProblem) {
    {
        TestRouter t;
        EXPECT_FALSE(t.build("i :: TestInject -> IPClassifier(tcp, udp prt 53) -> Discard;"));
        EXPECT_NE(t.errh.text().find("pattern 2 'udp prt 53', position 5: unknown word 'prt'"), std::string::npos)
            << t.errh.text();
    }
    {
        TestRouter t;
        EXPECT_FALSE(t.build("i :: TestInject -> Classifier(12/080) -> Discard;"));
        EXPECT_NE(t.errh.text().find("pattern 1 '12/080', position 4"), std::string::npos) << t.errh.text();
    }
    {
        TestRouter t;
        EXPECT_FALSE(t.build("FromDump(/nonexistent/quilo.pcap) -> Discard;"));
        EXPECT_NE(t.errh.text().find("/nonexistent/quilo.pcap"), std::string::npos) << t.errh.text();
    }
    {
        TestRouter t;
        EXPECT_FALSE(t.build("i :: TestInject -> IPFilter(allow tcp, 3 udp) -> Discard;"));
        EXPECT_NE(t.errh.text().find("output 3"), std::string::npos) << t.errh.text();
    }
    if (geteuid() == 0) {
        TestRouter t;
        EXPECT_FALSE(t.build("FromDevice(quilo-nodev0) -> Discard;"));
        EXPECT_NE(t.errh.text().find("quilo-nodev0"), std::string::npos) << t.errh.text();
    }
}

TEST(HostElements, BypassAndSwitches) {
    TestRouter t;
    ASSERT_TRUE(t.build("i :: TestInject -> b :: BypassSwitch -> s0 :: TestSink; b[1] -> s1 :: TestSink;"
                        "j :: TestInject -> sw :: Switch(1); sw[0] -> a :: TestSink; sw[1] -> c :: TestSink;"
                        "k :: TestInject -> Paint(1) -> ps :: PaintSwitch -> p0 :: TestSink; ps[1] -> p1 :: TestSink;"));
    auto i = t.find<TestInject>("i");
    std::vector<uint8_t> x(20, 0);
    i->send(x);
    EXPECT_EQ(t.read("b.bypass"), "false");
    EXPECT_EQ(t.write("b.bypass", "true"), 0);
    i->send(x);
    EXPECT_EQ(t.read("b.bypass"), "true");
    EXPECT_LT(t.write("b.bypass", "maybe"), 0);
    EXPECT_EQ(t.read("b.bypass"), "true");
    EXPECT_EQ(t.write("b.bypass", "false"), 0);
    i->send(x);
    EXPECT_EQ(t.find<TestSink>("s0")->size(), 2u);
    EXPECT_EQ(t.find<TestSink>("s1")->size(), 1u);

    t.find<TestInject>("j")->send(x);
    EXPECT_EQ(t.find<TestSink>("c")->size(), 1u);
    EXPECT_EQ(t.write("sw.switch", "0"), 0);
    t.find<TestInject>("j")->send(x);
    EXPECT_EQ(t.find<TestSink>("a")->size(), 1u);
    EXPECT_LT(t.write("sw.switch", "7"), 0);
    t.find<TestInject>("k")->send(x);
    EXPECT_EQ(t.find<TestSink>("p1")->size(), 1u);
}

TEST(HostElements, ArpTableResponderQuerier) {
    TestRouter t;
    ASSERT_TRUE(t.build("arptable :: ARPTable;"
                        "r :: TestInject -> lan_arpr :: ARPResponder(10.0.0.1 02:00:00:00:00:01) -> rs :: TestSink;"
                        "lan_arpr[1] -> rn :: TestSink;"
                        "ip :: TestInject -> [0] q :: ARPQuerier(10.0.0.1, 02:00:00:00:00:01, TABLE arptable) -> qs :: TestSink;"
                        "resp :: TestInject -> [1] q;"))
        << t.errh.text();
    // ARPTable handler forms used by gateway path selection.
    EXPECT_EQ(t.write("arptable.insert", "10.0.0.254 00-1A-2B-3C-4D-5E"), 0) << t.herrh.text();
    std::string table = t.read("arptable.table");
    std::istringstream words(table);
    std::vector<std::string> w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    ASSERT_GE(w.size(), 3u) << table;
    EXPECT_EQ(w[0], "10.0.0.254");
    EXPECT_EQ(w[2], "00-1A-2B-3C-4D-5E");
    EXPECT_LT(t.write("arptable.insert", "10.0.0.254"), 0);
    EXPECT_EQ(t.write("arptable.delete", "10.0.0.254"), 0);
    EXPECT_EQ(t.read("arptable.table"), "");

    // Responder: answers for its address, forwards the rest; add/remove handlers.
    uint8_t asker[6] = {0x02, 0, 0, 0, 0, 0x99};
    auto r = t.find<TestInject>("r");
    r->send(arp(1, "10.0.0.7", "10.0.0.1", asker));
    r->send(arp(1, "10.0.0.7", "10.0.0.2", asker));
    auto got = t.find<TestSink>("rs")->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data[21], 2);
    EXPECT_TRUE(std::equal(asker, asker + 6, got[0].data.begin()));
    EXPECT_EQ(got[0].data[27], 0x01);   // our MAC as sender
    EXPECT_EQ(t.find<TestSink>("rn")->size(), 1u);
    EXPECT_EQ(t.write("lan_arpr.add", "10.0.0.2/32 00-1A-2B-3C-4D-5F"), 0) << t.herrh.text();
    r->send(arp(1, "10.0.0.7", "10.0.0.2", asker));
    got = t.find<TestSink>("rs")->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data[27], 0x5F);
    EXPECT_EQ(t.write("lan_arpr.remove", "10.0.0.2/32"), 0);
    EXPECT_EQ(t.write("lan_arpr.remove", "10.0.0.2/32"), 0);   // absent: still fine
    r->send(arp(1, "10.0.0.7", "10.0.0.2", asker));
    EXPECT_EQ(t.find<TestSink>("rs")->size(), 0u);
    EXPECT_LT(t.write("lan_arpr.add", "10.0.0.2/32"), 0);

    // Querier: holds the packet, queries, sends it on when the reply comes.
    auto ipin = t.find<TestInject>("ip");
    ipin->send(pktbuild::ipv4(17, "10.0.0.1", "10.0.0.5", 1, 2), htons(9));
    got = t.find<TestSink>("qs")->take();
    ASSERT_EQ(got.size(), 1u);   // the query
    EXPECT_EQ(got[0].data.size(), 42u);
    EXPECT_EQ(got[0].data[21], 1);
    EXPECT_EQ(got[0].data[41], 5);
    EXPECT_EQ(got[0].vlan, htons(9));
    uint8_t peer[6] = {0x02, 0, 0, 0, 0, 0x55};
    t.find<TestInject>("resp")->send(arp(2, "10.0.0.5", "10.0.0.1", peer));
    got = t.find<TestSink>("qs")->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(std::equal(peer, peer + 6, got[0].data.begin()));
    EXPECT_EQ(got[0].data[12], 0x08);
    EXPECT_EQ(got[0].data.size(), 14 + 28u);
    EXPECT_NE(t.read("arptable.table").find("10.0.0.5 1 02-00-00-00-00-55"), std::string::npos);
    // Known now: straight through.
    ipin->send(pktbuild::ipv4(17, "10.0.0.1", "10.0.0.5", 1, 2));
    EXPECT_EQ(t.find<TestSink>("qs")->size(), 1u);
    // Malformed replies are counted, never trusted.
    auto bad = arp(2, "10.0.0.6", "10.0.0.1", peer);
    bad.resize(30);
    t.find<TestInject>("resp")->send(bad);
    EXPECT_EQ(t.num("q.responses"), 1);
    EXPECT_GE(t.num("q.drops"), 1);
}
