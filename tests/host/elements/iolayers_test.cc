// Capture file and AF_PACKET layers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "netns.hh"
#include "packetsocket.hh"
#include "pcapfile.hh"
#include "pktbuild.hh"

namespace {

std::string tmpfile_name(const char* tag) {
    return "/tmp/quilo-hostelem-" + std::string(tag) + "-" + std::to_string(getpid()) + ".pcap";
}

std::vector<uint8_t> ether_frame(size_t payload, uint8_t fill) {
    std::vector<uint8_t> f(14 + payload, fill);
    for (int i = 0; i < 6; ++i) f[i] = 0xFF;
    uint8_t src[6] = {0x02, 0, 0, 0, 0, 1};
    std::memcpy(f.data() + 6, src, 6);
    f[12] = 0x88;
    f[13] = 0xB5;   // local experimental ethertype
    return f;
}

}  // namespace

TEST(PcapFile, RoundTripAndTcpdump) {
    std::string fn = tmpfile_name("rt");
    {
        pcapfile::Writer w;
        std::string err;
        ASSERT_TRUE(w.open(fn, pcapfile::kLinkEthernet, 100, &err)) << err;
        for (int i = 0; i < 50; ++i) {
            auto f = ether_frame(20 + i * 3, static_cast<uint8_t>(i));
            w.write(f.data(), static_cast<uint32_t>(f.size()), static_cast<uint32_t>(f.size()),
                    1700000000LL * 1000000000 + i * 1000000LL + 123456);
        }
    }
    pcapfile::Reader r;
    std::string err;
    ASSERT_TRUE(r.open(fn, &err)) << err;
    EXPECT_EQ(r.linktype(), pcapfile::kLinkEthernet);
    const uint8_t* d;
    uint32_t cap, wire;
    int64_t ts;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(r.next(d, cap, wire, ts, &err), 1);
        uint32_t want = 34 + i * 3;
        EXPECT_EQ(wire, want);
        EXPECT_EQ(cap, std::min(want, 100u));   // snap length cuts
        EXPECT_EQ(d[14], i);
        EXPECT_EQ(ts, 1700000000LL * 1000000000 + i * 1000000LL + 123000);   // microsecond file
    }
    EXPECT_EQ(r.next(d, cap, wire, ts, &err), 0);
    r.close();
    // tcpdump reads the file.
    FILE* p = popen(("tcpdump -tt -nn -r " + fn + " 2>/dev/null | grep -c '^1700000000\\.'").c_str(), "r");
    ASSERT_TRUE(p);
    int lines = 0;
    ASSERT_EQ(fscanf(p, "%d", &lines), 1);
    pclose(p);
    EXPECT_EQ(lines, 50);
    std::remove(fn.c_str());
}

TEST(PcapFile, BadFilesNameTheFile) {
    pcapfile::Reader r;
    std::string err;
    EXPECT_FALSE(r.open("/nonexistent/x.pcap", &err));
    EXPECT_NE(err.find("/nonexistent/x.pcap"), std::string::npos);
    pcapfile::Writer w;
    EXPECT_FALSE(w.open("/nonexistent/dir/y.pcap", pcapfile::kLinkEthernet, 0, &err));
    EXPECT_NE(err.find("/nonexistent/dir/y.pcap"), std::string::npos);

    // Truncated and random files: an error or the end, never a crash.
    std::string fn = tmpfile_name("trunc");
    {
        pcapfile::Writer w2;
        ASSERT_TRUE(w2.open(fn, pcapfile::kLinkRaw, 0, &err));
        auto p = pktbuild::ipv4(17, "10.0.0.1", "10.0.0.2", 1, 2);
        for (int i = 0; i < 10; ++i) w2.write(p.data(), static_cast<uint32_t>(p.size()), static_cast<uint32_t>(p.size()), 0);
    }
    std::vector<char> bytes;
    {
        FILE* f = fopen(fn.c_str(), "rb");
        ASSERT_TRUE(f);
        int c;
        while ((c = fgetc(f)) != EOF) bytes.push_back(static_cast<char>(c));
        fclose(f);
    }
    std::mt19937 rng(5);
    for (int iter = 0; iter < 200; ++iter) {
        std::vector<char> b(bytes.begin(), bytes.begin() + rng() % bytes.size());
        if (iter % 2)
            for (int k = 0; k < 4; ++k)
                if (!b.empty()) b[rng() % b.size()] = static_cast<char>(rng());
        FILE* f = fopen(fn.c_str(), "wb");
        if (!b.empty()) fwrite(b.data(), 1, b.size(), f);
        fclose(f);
        pcapfile::Reader rr;
        if (!rr.open(fn, &err)) continue;
        EXPECT_TRUE(rr.raw_ip() || rr.linktype() == pcapfile::kLinkEthernet);
        const uint8_t* d;
        uint32_t cap, wire;
        int64_t ts;
        int n = 0;
        while (rr.next(d, cap, wire, ts, &err) == 1 && n < 1000) {
            EXPECT_LE(cap, wire);
            ++n;
        }
    }
    std::remove(fn.c_str());
}

TEST(PacketSocket, ChecksumCompletion) {
    auto p = pktbuild::ipv4(6, "10.0.0.1", "10.0.0.2", 1000, 80, 0x12);
    std::vector<uint8_t> f(14, 0);
    f[12] = 0x08;
    f.insert(f.end(), p.begin(), p.end());
    ASSERT_TRUE(pktsock::complete_l4_checksum(f.data(), static_cast<uint32_t>(f.size())));
    // Verify: the one's-complement sum over pseudo-header and segment is 0xFFFF.
    uint32_t s = 0;
    const uint8_t* ip = f.data() + 14;
    for (int i = 12; i < 20; i += 2) s += (ip[i] << 8) | ip[i + 1];
    s += 6 + 20;
    for (int i = 20; i < 40; i += 2) s += (ip[i] << 8) | ip[i + 1];
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    EXPECT_EQ(s, 0xFFFFu);
    // Lengths that lie: refused, nothing written out of bounds.
    auto g = f;
    pktbuild::put16(g, 16, 400);
    EXPECT_FALSE(pktsock::complete_l4_checksum(g.data(), static_cast<uint32_t>(g.size())));
    for (size_t len = 0; len < f.size(); ++len) {
        std::vector<uint8_t> t(f.begin(), f.begin() + len);
        pktsock::complete_l4_checksum(t.data(), static_cast<uint32_t>(t.size()));
    }
}

TEST(PacketSocket, VethBatchVlanOversize) {
    SKIP_UNLESS_ROOT();
    EXPECT_FALSE(pktsock::PacketSocket().open("nosuchdev0", {}, nullptr));
    std::string err;
    pktsock::PacketSocket none;
    EXPECT_FALSE(none.open("quilo-nodev", {}, &err));
    EXPECT_NE(err.find("quilo-nodev"), std::string::npos);

    TestNetns ns("pktsock");
    ASSERT_TRUE(ns.ok());
    ASSERT_TRUE(TestNetns::veth("qa0", "qb0"));
    // The memory-mapped ring and the recvmmsg fallback behave alike.
    for (bool ring : {true, false}) {
        SCOPED_TRACE(ring ? "rx ring" : "recvmmsg");
        pktsock::PacketSocket tx, rx;
        pktsock::PacketSocket::Options o, ro;
        o.receive = false;
        ro.rx_ring = ring;
        if (ring) {
            ro.rcvbuf = 0;        // the smallest ring: 1520 slots
            ro.max_frame = 600;   // the ring cuts the 1414-byte frame that the buffers would hold
        }
        ASSERT_TRUE(tx.open("qa0", o, &err)) << err;
        ASSERT_TRUE(rx.open("qb0", ro, &err)) << err;
        EXPECT_EQ(rx.has_rx_ring(), ring);
        EXPECT_EQ(rx.mtu(), 1500);

        // 64 plain frames, one VLAN-tagged frame, one frame larger than the receive buffers.
        std::vector<std::vector<uint8_t>> frames;
        for (int i = 0; i < 64; ++i) frames.push_back(ether_frame(46 + i, static_cast<uint8_t>(i)));
        auto tagged = ether_frame(50, 0xAB);
        uint8_t tag[4] = {0x81, 0x00, 0x20, 0x07};   // priority 1, VLAN 7
        tagged.insert(tagged.begin() + 12, tag, tag + 4);
        frames.push_back(tagged);
        frames.push_back(ether_frame(1400, 0xCD));
        std::vector<const uint8_t*> ptrs;
        std::vector<uint32_t> lens;
        for (auto& f : frames) {
            ptrs.push_back(f.data());
            lens.push_back(static_cast<uint32_t>(f.size()));
        }
        int e = 0;
        int sent = 0;
        for (int tries = 0; sent < static_cast<int>(frames.size()) && tries < 100; ++tries)
            sent += tx.send(ptrs.data() + sent, lens.data() + sent, static_cast<int>(frames.size()) - sent, &e);
        ASSERT_EQ(sent, static_cast<int>(frames.size())) << strerror(e);

        const uint32_t cap = ring ? 2048 : 1024;
        std::vector<std::vector<uint8_t>> bufs(16, std::vector<uint8_t>(cap));
        std::vector<pktsock::RxFrame> rf(16);
        std::vector<std::vector<uint8_t>> got;
        for (int tries = 0; got.size() < 65 && tries < 2000; ++tries) {
            for (size_t i = 0; i < rf.size(); ++i) {
                rf[i].buf = bufs[i].data();
                rf[i].cap = cap;
                rf[i].cookie = &bufs[i];
            }
            int n = rx.recv(rf.data(), 16);
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(rf[i].buf, static_cast<std::vector<uint8_t>*>(rf[i].cookie)->data());
                EXPECT_GT(rf[i].ts_ns, 0);
                got.emplace_back(rf[i].buf + rf[i].off, rf[i].buf + rf[i].off + rf[i].len);
            }
            if (n == 0) usleep(1000);
        }
        ASSERT_EQ(got.size(), 65u);
        for (int i = 0; i < 64; ++i) EXPECT_EQ(got[i], frames[i]) << i;
        EXPECT_EQ(got[64], tagged);   // tag written back in place
        EXPECT_EQ(rx.rx_stats().vlan_restored, 1u);
        // The oversize frame arrives after the tagged one; give it a moment.
        for (int tries = 0; rx.rx_stats().oversize == 0 && tries < 200; ++tries) {
            rx.recv(rf.data(), 16);
            usleep(1000);
        }
        EXPECT_EQ(rx.rx_stats().oversize, 1u);
        EXPECT_EQ(rx.rx_stats().frames, 65u);

        // Past the end of the ring and round again: order and contents
        // kept, no slot lost.
        uint64_t before = rx.rx_stats().frames;
        uint32_t next = 0, bad = 0;
        for (int batch = 0; batch < 30; ++batch) {
            std::vector<std::vector<uint8_t>> fs;
            std::vector<const uint8_t*> ps;
            std::vector<uint32_t> ls;
            for (int i = 0; i < 100; ++i) {
                fs.push_back(ether_frame(60 + (batch * 100 + i) % 200, 0));
                fs.back()[14] = uint8_t(batch);
                fs.back()[15] = uint8_t(i);
            }
            for (auto& f : fs) {
                ps.push_back(f.data());
                ls.push_back(uint32_t(f.size()));
            }
            int done = 0;
            for (int tries = 0; done < 100 && tries < 100; ++tries)
                done += tx.send(ps.data() + done, ls.data() + done, 100 - done, &e);
            ASSERT_EQ(done, 100);
            for (int tries = 0; next < uint32_t(batch + 1) * 100 && tries < 2000; ++tries) {
                for (size_t i = 0; i < rf.size(); ++i) {
                    rf[i].buf = bufs[i].data();
                    rf[i].cap = cap;
                }
                int n = rx.recv(rf.data(), 16);
                for (int i = 0; i < n; ++i) {
                    const uint8_t* d = rf[i].buf + rf[i].off;
                    if (rf[i].len < 16 || d[12] != 0x88 || d[13] != 0xB5) continue;   // not a test frame
                    ++next;
                    uint32_t k = next - 1;
                    if (rf[i].len != 74 + k % 200 || d[14] != k / 100 || d[15] != k % 100) ++bad;
                }
                if (n == 0) usleep(1000);
            }
        }
        EXPECT_EQ(next, 3000u);
        EXPECT_EQ(bad, 0u);
        EXPECT_GE(rx.rx_stats().frames - before, 3000u);
        EXPECT_EQ(rx.kernel_drops(), 0u);
    }
}

TEST(PacketSocket, IngressDropSharedWithinTheProcess) {
    SKIP_UNLESS_ROOT();
    if (!TestNetns::run("nft --version")) GTEST_SKIP() << "nft not installed";
    TestNetns ns("ingress");
    ASSERT_TRUE(ns.ok());
    ASSERT_TRUE(TestNetns::veth("qc0", "qd0"));
    auto tables = []() {
        std::string out;
        FILE* p = popen("nft list tables 2>/dev/null", "r");
        char buf[256];
        while (p && fgets(buf, sizeof buf, p)) out += buf;
        if (p) pclose(p);
        return out;
    };
    std::string err;
    pktsock::IngressDrop bad;
    EXPECT_FALSE(bad.install("quilo-nodev", &err));
    EXPECT_NE(err.find("quilo-nodev"), std::string::npos);
    {
        // A replacing router installs before the old one removes.
        pktsock::IngressDrop old_one, new_one;
        ASSERT_TRUE(old_one.install("qd0", &err)) << err;
        ASSERT_TRUE(new_one.install("qd0", &err)) << err;
        EXPECT_EQ(old_one.table(), new_one.table());
        old_one.remove();
        EXPECT_NE(tables().find(new_one.table()), std::string::npos);
        EXPECT_FALSE(old_one.installed());
    }
    EXPECT_EQ(tables().find("quilo_fromdevice_"), std::string::npos);
}

// The sending kernel leaves UDP checksums to the (virtual) hardware: the
// receive ring reports them unfinished and they arrive completed.
TEST(PacketSocket, RingCompletesOffloadedChecksums) {
    SKIP_UNLESS_ROOT();
    TestNetns ns("csum");
    ASSERT_TRUE(ns.ok());
    ASSERT_TRUE(TestNetns::veth("qe0", "qf0"));
    ASSERT_TRUE(TestNetns::run("ethtool -K qe0 tx on && ethtool -K qf0 rx on"));
    // 10.80.0.2 is not local: the datagrams leave through qe0 to qf0's MAC.
    ASSERT_TRUE(TestNetns::run("ip addr add 10.80.0.1/24 dev qe0"));
    ASSERT_TRUE(TestNetns::run("ip link set qf0 address 02:00:00:00:80:02"));
    ASSERT_TRUE(TestNetns::run("ip neigh replace 10.80.0.2 lladdr 02:00:00:00:80:02 dev qe0"));
    std::string err;
    pktsock::PacketSocket rx;
    ASSERT_TRUE(rx.open("qf0", {}, &err)) << err;
    ASSERT_TRUE(rx.has_rx_ring());
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(u, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, "10.80.0.2", &to.sin_addr);
    std::vector<uint8_t> payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
    for (int i = 0; i < 5; ++i)
        sendto(u, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(u);
    std::vector<uint8_t> buf(2048);
    int udp = 0;
    for (int tries = 0; udp < 5 && tries < 500; ++tries) {
        pktsock::RxFrame f;
        f.buf = buf.data();
        f.cap = uint32_t(buf.size());
        if (rx.recv(&f, 1) == 0) {
            usleep(1000);
            continue;
        }
        const uint8_t* d = f.buf + f.off;
        if (f.len < 14 + 20 + 8 || d[12] != 0x08 || d[13] != 0x00 || d[14 + 9] != 17) continue;
        ++udp;
        // The one's-complement sum over pseudo-header and datagram is 0xFFFF.
        const uint8_t* ip = d + 14;
        uint32_t ulen = (ip[20 + 4] << 8) | ip[20 + 5];
        ASSERT_LE(14 + 20 + ulen, f.len);
        uint32_t s = 17 + ulen;
        for (int k = 12; k < 20; k += 2) s += (ip[k] << 8) | ip[k + 1];
        for (uint32_t k = 0; k + 1 < ulen; k += 2) s += (ip[20 + k] << 8) | ip[20 + k + 1];
        if (ulen & 1) s += ip[20 + ulen - 1] << 8;
        while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
        EXPECT_EQ(s, 0xFFFFu);
    }
    EXPECT_EQ(udp, 5);
    EXPECT_GE(rx.rx_stats().csum_fixed, 5u);
}
