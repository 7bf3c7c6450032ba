#include "compression/shim_packet.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <host/checksum.hh>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "compression/compressor_engine.hh"
#include "compression/decompressor_engine.hh"
#include "corpus.hh"

using namespace compression;

namespace {

uint16_t rd16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return ntohs(v);
}

// IPv4 packet: `ip_opts` option words, protocol `proto`, transport header of
// `thl` bytes (TCP data offset set accordingly), then `payload`.
std::vector<uint8_t> make_packet(uint8_t proto, const std::vector<uint8_t>& payload, uint32_t thl = 20,
                                 uint32_t ip_opts = 0, uint16_t frag = 0) {
    uint32_t ihl = 20 + ip_opts * 4;
    std::vector<uint8_t> p(ihl + thl + payload.size());
    p[0] = uint8_t(0x40 | (ihl / 4));
    p[8] = 64;
    p[9] = proto;
    uint16_t f = htons(frag);
    std::memcpy(&p[6], &f, 2);
    for (uint32_t i = 0; i < ip_opts * 4; ++i)
        p[20 + i] = 1;  // NOP options
    uint8_t src[4] = {10, 0, 0, 1}, dst[4] = {10, 0, 0, 2};
    std::memcpy(&p[12], src, 4);
    std::memcpy(&p[16], dst, 4);
    for (uint32_t i = 0; i < thl; ++i)
        p[ihl + i] = uint8_t(0xA0 + i);
    if (proto == 6 && thl >= 20)
        p[ihl + 12] = uint8_t((thl / 4) << 4);
    if (proto == 17 && thl == 8) {
        uint16_t ul = htons(uint16_t(8 + payload.size()));
        std::memcpy(&p[ihl + 4], &ul, 2);
    }
    if (!payload.empty())
        std::memcpy(p.data() + ihl + thl, payload.data(), payload.size());
    set_ip_total(p.data(), uint32_t(p.size()));
    return p;
}

bool ip_cksum_ok(const uint8_t* ip) { return click_in_cksum(ip, (ip[0] & 0x0F) * 4) == 0; }

ShimConfig udp_cfg() {
    ShimConfig c;
    c.udp_shim = true;
    c.sport_net = htons(4051);
    c.dport_net = htons(4052);
    return c;
}

TEST(ShimPacket, LayoutOfPlainPackets) {
    ShimConfig c;
    auto payload = corpus::random_bytes(300, 1);
    ShimLayout l;
    auto tcp = make_packet(6, payload, 32, 2);
    ASSERT_TRUE(parse_shim_layout(tcp.data(), tcp.size(), c, l));
    EXPECT_EQ(l.ihl, 28u);
    EXPECT_EQ(l.shim_off, 0u);
    EXPECT_EQ(l.inner_proto, 6);
    EXPECT_EQ(l.transport_len, 32u);
    EXPECT_EQ(l.payload_off, 60u);
    EXPECT_EQ(l.payload_len, 300u);

    auto udp = make_packet(17, payload, 8);
    ASSERT_TRUE(parse_shim_layout(udp.data(), udp.size(), c, l));
    EXPECT_EQ(l.transport_len, 8u);
    EXPECT_EQ(l.payload_len, 300u);

    // A later fragment has no transport header.
    auto frag = make_packet(6, payload, 0, 0, 0x00B9);
    ASSERT_TRUE(parse_shim_layout(frag.data(), frag.size(), c, l));
    EXPECT_TRUE(l.fragment);
    EXPECT_EQ(l.payload_off, 20u);
    EXPECT_EQ(l.payload_len, 300u);

    // Link padding after the IP total length is not payload.
    auto padded = make_packet(17, {1, 2}, 8);
    padded.resize(padded.size() + 16, 0);
    ASSERT_TRUE(parse_shim_layout(padded.data(), padded.size(), c, l));
    EXPECT_EQ(l.total, 30u);
    EXPECT_EQ(l.payload_len, 2u);

    // TCP header whose data offset runs past the packet.
    auto bad = make_packet(6, {}, 20);
    bad[20 + 12] = 0xF0;
    ASSERT_TRUE(parse_shim_layout(bad.data(), bad.size(), c, l));
    EXPECT_FALSE(l.transport_ok);

    // Unusable IP headers.
    auto v = make_packet(6, payload);
    v[2] = 0x7F;  // total length beyond the buffer
    EXPECT_FALSE(parse_shim_layout(v.data(), v.size(), c, l));
    v = make_packet(6, payload);
    v[0] = 0x44;
    EXPECT_FALSE(parse_shim_layout(v.data(), v.size(), c, l));
}

// Insert then remove gives back the original packet, for both tunnel modes
// and for TCP, UDP and other protocols.
TEST(ShimPacket, InsertRemoveRoundTrip) {
    for (const ShimConfig& c : {ShimConfig{}, udp_cfg()}) {
        for (uint8_t proto : {uint8_t(6), uint8_t(17), uint8_t(47)}) {
            auto orig = make_packet(proto, corpus::random_bytes(77, proto), proto == 17 ? 8 : 20, 1);
            std::vector<uint8_t> buf(orig);
            buf.resize(orig.size() + 12);
            ShimLayout l;
            ASSERT_TRUE(parse_shim_layout(buf.data(), orig.size(), c, l));
            uint32_t total = shim_insert(buf.data(), l, c);
            ASSERT_EQ(total, orig.size() + shim_encap_len(c));
            EXPECT_TRUE(ip_cksum_ok(buf.data()));
            EXPECT_EQ(shim_offset(buf.data(), total, c), int(l.shim_off));
            if (c.udp_shim) {
                EXPECT_EQ(buf[9], 17);
                EXPECT_EQ(rd16(&buf[l.ihl + 4]), total - l.ihl);
            } else {
                EXPECT_EQ(buf[9], 108);
            }
            ShimLayout l2;
            ASSERT_TRUE(parse_shim_layout(buf.data(), total, c, l2));
            EXPECT_EQ(l2.inner_proto, proto);
            EXPECT_EQ(l2.payload_len, proto == 47 ? 97u : 77u);  // no transport header for other protocols
            EXPECT_EQ(l2.shim(buf.data())->flags, 0);
            EXPECT_EQ(l2.shim(buf.data())->control, 0);
            total = shim_remove(buf.data(), l2);
            ASSERT_EQ(total, orig.size());
            buf.resize(total);
            EXPECT_EQ(buf, orig);
        }
    }
}

// The whole compression path on bytes: compress, write, parse as the peer,
// decompress, write back: the original packet, byte for byte.
TEST(ShimPacket, CompressedRoundTrip) {
    auto text = corpus::load(64 * 1024)[0].data;
    for (const ShimConfig& c : {ShimConfig{}, udp_cfg()}) {
        for (uint8_t proto : {uint8_t(6), uint8_t(17)}) {
            for (bool existing_shim : {false, true}) {
                std::vector<uint8_t> payload(text.begin(), text.begin() + 1200);
                auto orig = make_packet(proto, payload, proto == 6 ? 40 : 8);
                std::vector<uint8_t> buf(orig);
                buf.resize(orig.size() + 4000);
                ShimLayout l;
                uint32_t len = uint32_t(orig.size());
                ASSERT_TRUE(parse_shim_layout(buf.data(), len, c, l));
                if (existing_shim) {
                    len = shim_insert(buf.data(), l, c);
                    l.shim(buf.data())->flags = WSHIM_DEDUP;
                }
                CompressorEngine ce;
                ASSERT_EQ(ce.init(ENGINE_ZSTD, 3), 0);
                int n = ce.compress(buf.data() + l.payload_off, l.payload_len, false);
                ASSERT_GT(n, 0);
                uint16_t check = click_in_cksum(buf.data() + l.payload_off, int(l.payload_len));
                uint32_t total = shim_write_compressed(buf.data(), l, c, ce.out(), uint32_t(n), check);
                EXPECT_EQ(total, orig.size() - payload.size() + shim_encap_len(c) + uint32_t(n) + 2);
                EXPECT_TRUE(ip_cksum_ok(buf.data()));
                if (c.udp_shim) {
                    EXPECT_EQ(rd16(&buf[l.ihl + 4]), total - l.ihl);
                }
                l.shim(buf.data())->flags |= WSHIM_ZSTD;

                // The peer.
                ShimLayout r;
                ASSERT_TRUE(parse_shim_layout(buf.data(), total, c, r));
                ASSERT_TRUE(r.transport_ok);
                EXPECT_EQ(r.inner_proto, proto);
                ASSERT_EQ(r.payload_len, uint32_t(n) + 2);
                uint16_t got;
                std::memcpy(&got, buf.data() + r.payload_off + n, 2);
                DecompressorEngine de;
                ASSERT_EQ(de.init(), 0);
                int m = de.decompress(r.shim(buf.data())->flags, buf.data() + r.payload_off, uint32_t(n));
                ASSERT_EQ(m, int(payload.size()));
                EXPECT_EQ(click_in_cksum(de.out(), m), got);
                bool keep = existing_shim;
                total = shim_write_decompressed(buf.data(), r, de.out(), uint32_t(m), keep);
                EXPECT_TRUE(ip_cksum_ok(buf.data()));
                if (keep) {
                    ShimLayout k;
                    ASSERT_TRUE(parse_shim_layout(buf.data(), total, c, k));
                    EXPECT_EQ(k.payload_len, payload.size());
                    if (c.udp_shim) {
                        EXPECT_EQ(rd16(&buf[k.ihl + 4]), total - k.ihl);
                    }
                    total = shim_remove(buf.data(), k);
                }
                buf.resize(total);
                EXPECT_EQ(buf, orig) << "udp " << c.udp_shim << " proto " << int(proto) << " shim " << existing_shim;
            }
        }
    }
}

// Random and truncated buffers: the layout always stays inside the packet.
TEST(ShimPacket, LayoutFuzz) {
    std::mt19937 rng(77);
    ShimConfig cfgs[2] = {ShimConfig{}, udp_cfg()};
    auto base = make_packet(6, corpus::random_bytes(200, 3), 24);
    for (int i = 0; i < 100000; ++i) {
        const ShimConfig& c = cfgs[i & 1];
        std::vector<uint8_t> v = base;
        if (rng() % 3 == 0) {
            ShimLayout l;
            v.resize(v.size() + 12);
            ASSERT_TRUE(parse_shim_layout(v.data(), base.size(), c, l));
            v.resize(shim_insert(v.data(), l, c));
        }
        for (int k = 0, f = int(rng() % 6); k < f; ++k)
            v[rng() % std::min<size_t>(v.size(), 48)] = uint8_t(rng());
        size_t n = rng() % (v.size() + 1);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::memcpy(buf.get(), v.data(), n);
        ShimLayout l;
        if (!parse_shim_layout(buf.get(), n, c, l))
            continue;
        ASSERT_LE(l.total, n);
        ASSERT_LE(l.ihl + l.encap, l.total);
        if (l.shim_off) {
            ASSERT_EQ(buf[l.shim_off], WSHIM_MAGIC);
        }
        if (l.transport_ok) {
            ASSERT_EQ(l.payload_off + l.payload_len, l.total);
            ASSERT_EQ(l.payload_off, l.ihl + l.encap + l.transport_len);
        }
    }
}

}  // namespace
