// WComp in a router, and the packet decompressor of WDeComp, end to end on
// host packets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <host/checksum.hh>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/compressor_engine.hh"
#include "compression/packet_decompressor.hh"
#include "compression/shim_packet.hh"
#include "compression/wcomp.hh"
#include "corpus.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

const std::vector<uint8_t>& text() {
    static const auto t = corpus::load(256 * 1024)[0].data;
    return t;
}

// Ethernet + IPv4 + transport header + payload.
std::vector<uint8_t> frame(uint8_t proto, const std::vector<uint8_t>& payload, uint16_t frag = 0) {
    uint32_t th = frag ? 0 : proto == 6 ? 32 : proto == 17 ? 8 : 8;
    std::vector<uint8_t> b(14 + 20 + th + payload.size(), 0);
    b[12] = 0x08;
    uint8_t* ip = &b[14];
    ip[0] = 0x45;
    ip[8] = 64;
    ip[9] = proto;
    uint16_t f = htons(frag);
    std::memcpy(ip + 6, &f, 2);
    uint8_t a[8] = {10, 0, 0, 1, 192, 168, 0, 1};
    std::memcpy(ip + 12, a, 8);
    for (uint32_t i = 0; i < th; ++i)
        ip[20 + i] = uint8_t(0x30 + i);
    if (proto == 6 && !frag)
        ip[20 + 12] = uint8_t((th / 4) << 4);
    if (!payload.empty())
        std::memcpy(ip + 20 + th, payload.data(), payload.size());
    set_ip_total(ip, uint32_t(20 + th + payload.size()));
    return b;
}

std::vector<uint8_t> bytes_of(const Packet* p) { return std::vector<uint8_t>(p->data(), p->end_data()); }

const uint8_t* ip_of(const Packet* p) { return p->data() + 14; }

ShimLayout layout_of(const Packet* p, const ShimConfig& c) {
    ShimLayout l;
    EXPECT_TRUE(parse_shim_layout(ip_of(p), p->length() - 14, c, l));
    return l;
}

struct Rig {
    TestRouter r;
    WComp* comp = nullptr;
    Sink* sink = nullptr;
    bool ok = false;

    explicit Rig(const std::string& comp_args, const std::string& conf_args = "MAX_PEERS 1") {
        ok = r.build("conf :: WConf(" + conf_args + "); Idle -> c :: WComp(" + comp_args + ") -> s :: QuiloTestSink;");
        if (ok) {
            comp = r.get<WComp>("c");
            sink = r.get<Sink>("s");
        }
    }
    const ShimConfig& shim() { return r.get<WConf>("conf")->shim_config(); }
    // Pushes one frame; returns the packet that came out (owned by the sink) or null.
    Packet* send(const std::vector<uint8_t>& f) {
        size_t before = sink->packets.size();
        comp->push(0, make_packet(f));
        return sink->packets.size() > before ? sink->packets.back() : nullptr;
    }
};

TEST(WComp, Configuration) {
    {
        Rig g("");
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_EQ(g.comp->_compressor, WCompBase::COMP_ZSTD);
        EXPECT_EQ(g.comp->_method, WCompBase::METHOD_STATELESS);
        EXPECT_EQ(g.comp->_min_data_len, 128);
        EXPECT_EQ(g.comp->_level, 0);
        EXPECT_TRUE(g.comp->_force_stateless);
        EXPECT_EQ(g.r.read("c.active_method"), "Stateless");
        EXPECT_EQ(static_cast<WCompBase*>(g.comp->cast("WCompBase")), static_cast<WCompBase*>(g.comp));
    }
    {
        Rig g("COMPRESSOR 6");
        EXPECT_FALSE(g.ok);
        EXPECT_NE(g.r.errors().find("bad COMPRESSOR"), std::string::npos) << g.r.errors();
    }
    {
        Rig g("METHOD sometimes");
        EXPECT_FALSE(g.ok);
        EXPECT_NE(g.r.errors().find("bad METHOD"), std::string::npos) << g.r.errors();
    }
    {
        Rig g("COMPRESSOR 1, METHOD STREAMING, FORCE_STATELESS false, LEVEL -4");
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_NE(g.r.errors().find("Level 1 = DEPRECATED COMPRESSOR. Setting to default level"), std::string::npos);
        EXPECT_EQ(g.comp->_compressor, WCompBase::COMP_ZSTD);
        EXPECT_EQ(g.comp->_level, 11);
        EXPECT_NE(g.r.errors().find("LEVEL -4 is not a level of COMPRESSOR 4: level 11 is used"), std::string::npos);
        EXPECT_EQ(g.r.read("c.active_method"), "Streaming");
    }
    {
        Rig g("COMPRESSOR 0, METHOD streaming");
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_NE(g.r.errors().find("Compressor does not support streaming. Changing mode to stateless."),
                  std::string::npos);
        EXPECT_EQ(g.comp->_method, WCompBase::METHOD_STATELESS);
    }
    {
        Rig g("COMPRESSOR 5, LEVEL 12, MIN_DATA_LEN 10");
        ASSERT_TRUE(g.ok) << g.r.errors();
        EXPECT_EQ(g.comp->_level, 9);
        EXPECT_NE(g.r.errors().find("LEVEL 12 is not a level of COMPRESSOR 5: level 9 is used"), std::string::npos);
        EXPECT_EQ(g.comp->_min_data_len, 10);
    }
    {
        TestRouter r;
        EXPECT_FALSE(r.build("Idle -> c :: WComp -> Discard;"));
        EXPECT_NE(r.errors().find("WConf not found"), std::string::npos) << r.errors();
    }
}

// What gets a shim and what does not, without compression.
TEST(WComp, ShimOnlyPaths) {
    Rig g("COMPRESSOR 4, LEVEL 3");
    ASSERT_TRUE(g.ok) << g.r.errors();
    // ICMP passes untouched.
    auto icmp = frame(1, std::vector<uint8_t>(300, 'x'));
    Packet* p = g.send(icmp);
    ASSERT_TRUE(p);
    EXPECT_EQ(bytes_of(p), icmp);
    // A 100-byte TCP payload (below MIN_DATA_LEN): shim, flags 0, no check value.
    auto small = frame(6, std::vector<uint8_t>(text().begin(), text().begin() + 100));
    p = g.send(small);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length(), small.size() + 4);
    ShimLayout l = layout_of(p, g.shim());
    ASSERT_NE(l.shim_off, 0u);
    EXPECT_EQ(ip_of(p)[9], 108);
    EXPECT_EQ(l.shim(ip_of(p))->flags, 0);
    EXPECT_EQ(l.shim(ip_of(p))->protocol, 6);
    EXPECT_EQ(l.payload_len, 100u);
    EXPECT_EQ(click_in_cksum(ip_of(p), 20), 0);
    // A packet that already has a shim and is not compressed leaves unchanged.
    auto again = bytes_of(p);
    p = g.send(again);
    ASSERT_TRUE(p);
    EXPECT_EQ(bytes_of(p), again);

    // LEVEL 0 (the default): every TCP/UDP packet gets a shim, nothing is compressed.
    Rig z("COMPRESSOR 4");
    ASSERT_TRUE(z.ok);
    auto big = frame(17, std::vector<uint8_t>(text().begin(), text().begin() + 1400));
    p = z.send(big);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length(), big.size() + 4);
    EXPECT_EQ(layout_of(p, z.shim()).shim(ip_of(p))->flags, 0);
    EXPECT_EQ(z.comp->uncompressed_count(), 1u);
}

// Every engine and method, both tunnel modes, through WComp and back through
// the packet decompressor: the original frames, byte for byte.
TEST(WComp, RoundTripThroughDecompressor) {
    for (const char* udp : {"false", "true"}) {
        for (int comp = 2; comp <= 5; ++comp) {
            for (const char* method : {"stateless", "streaming"}) {
                Rig g("COMPRESSOR " + std::to_string(comp) + ", METHOD " + method + ", FORCE_STATELESS false, LEVEL 3",
                      std::string("MAX_PEERS 1, UDP_SHIM ") + udp);
                ASSERT_TRUE(g.ok) << g.r.errors();
                PacketDecompressor d;
                ASSERT_EQ(d.initialize("d", ErrorHandler::default_handler()), 0);
                bool streaming = std::strcmp(method, "streaming") == 0;
                auto pkts = corpus::packets(text(), 1400, 60);
                for (size_t i = 0; i < pkts.size(); ++i) {
                    auto f = frame(i % 3 ? 6 : 17, pkts[i]);
                    Packet* p = g.send(f);
                    ASSERT_TRUE(p);
                    g.sink->packets.pop_back();
                    ShimLayout l = layout_of(p, g.shim());
                    const wshim_header* s = l.shim(ip_of(p));
                    EXPECT_EQ(bool(s->flags & WSHIM_STREAM), streaming);
                    EXPECT_EQ(bool(s->control & WSHIM_START_STREAM), streaming && i == 0);
                    EXPECT_EQ(s->flags & WSHIM_COMPRESSED_MASK, compression::shim_flag(comp));
                    EXPECT_LT(p->length(), f.size());
                    if (std::strcmp(udp, "true") == 0) {
                        uint16_t ul;
                        std::memcpy(&ul, ip_of(p) + 24, 2);
                        EXPECT_EQ(ntohs(ul), p->length() - 14 - 20);
                    }
                    auto r = d.process(p, g.shim());
                    ASSERT_TRUE(r.packet) << comp << method << udp << " packet " << i;
                    EXPECT_EQ(r.port, 0);
                    EXPECT_FALSE(r.stream_failed);
                    EXPECT_EQ(bytes_of(r.packet), f) << comp << method << udp << " packet " << i;
                    r.packet->kill();
                }
                EXPECT_EQ(g.comp->compressed_count(), pkts.size());
                EXPECT_EQ(d.decompressed_count(), pkts.size());
            }
        }
    }
}

// RSP's control of the stream: START_STREAM after a hard reset, stateless
// while forced, the old stream resumes after a plain force/unforce.
TEST(WComp, StreamControl) {
    Rig g("COMPRESSOR 5, METHOD streaming, FORCE_STATELESS true, LEVEL 6");
    ASSERT_TRUE(g.ok) << g.r.errors();
    PacketDecompressor d;
    ASSERT_EQ(d.initialize("d", ErrorHandler::default_handler()), 0);
    auto pkts = corpus::packets(text(), 1200, 12);
    auto flags = [&](size_t i, uint8_t* control) {
        Packet* p = g.send(frame(6, pkts[i]));
        EXPECT_TRUE(p);
        const wshim_header* s = layout_of(p, g.shim()).shim(ip_of(p));
        *control = s->control;
        uint8_t f = s->flags;
        g.sink->packets.pop_back();
        auto r = d.process(p, g.shim());
        EXPECT_TRUE(r.packet && !r.stream_failed) << i;
        if (r.packet)
            r.packet->kill();
        return f;
    };
    uint8_t control;
    EXPECT_EQ(flags(0, &control), WSHIM_ZLIB);  // forced stateless at start
    EXPECT_EQ(g.r.read("c.active_method"), "Stateless");
    g.comp->hard_set_force_stateless();
    g.comp->unforce_stateless();
    EXPECT_EQ(g.r.read("c.active_method"), "Streaming");
    EXPECT_EQ(flags(1, &control), WSHIM_ZLIB | WSHIM_STREAM);
    EXPECT_TRUE(control & WSHIM_START_STREAM);
    EXPECT_EQ(flags(2, &control), WSHIM_ZLIB | WSHIM_STREAM);
    EXPECT_FALSE(control & WSHIM_START_STREAM);
    g.comp->set_force_stateless();
    EXPECT_EQ(flags(3, &control), WSHIM_ZLIB);
    g.comp->unforce_stateless();
    EXPECT_EQ(flags(4, &control), WSHIM_ZLIB | WSHIM_STREAM);  // same stream, no restart
    EXPECT_FALSE(control & WSHIM_START_STREAM);
    g.comp->set_master_fallback();
    EXPECT_EQ(g.r.read("c.active_method"), "Stateless");
    EXPECT_EQ(flags(5, &control), WSHIM_ZLIB);
    g.comp->reset_master_fallback();
    EXPECT_EQ(flags(6, &control), WSHIM_ZLIB | WSHIM_STREAM);
    g.comp->hard_set_force_stateless();
    EXPECT_TRUE(g.comp->new_stream());
    g.comp->unforce_stateless();
    EXPECT_EQ(flags(7, &control), WSHIM_ZLIB | WSHIM_STREAM);
    EXPECT_TRUE(control & WSHIM_START_STREAM);
    // The first packet of the new stream starts with a zlib header again.
    Packet* p = g.send(frame(6, pkts[8]));
    ASSERT_TRUE(p);
    EXPECT_FALSE(layout_of(p, g.shim()).shim(ip_of(p))->control & WSHIM_START_STREAM);
}

// The adaptive level's "no compression": payloads cross uncompressed and
// outside the stream, which waits untouched and goes on, without a restart,
// once a level comes back.
TEST(WComp, AdaptiveLevelZeroPausesTheStream) {
    Rig g("COMPRESSOR 4, METHOD streaming, FORCE_STATELESS false, LEVEL 3");
    ASSERT_TRUE(g.ok) << g.r.errors();
    PacketDecompressor d;
    ASSERT_EQ(d.initialize("d", ErrorHandler::default_handler()), 0);
    auto pkts = corpus::packets(text(), 1400, 30);
    for (size_t i = 0; i < pkts.size(); ++i) {
        if (i == 10)
            g.comp->adapt_level(0);
        if (i == 20)
            g.comp->adapt_level(-5);
        auto f = frame(6, pkts[i]);
        Packet* p = g.send(f);
        ASSERT_TRUE(p);
        g.sink->packets.pop_back();
        const wshim_header* s = layout_of(p, g.shim()).shim(ip_of(p));
        bool paused = i >= 10 && i < 20;
        EXPECT_EQ(s->flags, paused ? 0 : WSHIM_ZSTD | WSHIM_STREAM) << i;
        EXPECT_EQ(bool(s->control & WSHIM_START_STREAM), i == 0) << i;
        auto r = d.process(p, g.shim());
        ASSERT_TRUE(r.packet && !r.stream_failed) << i;
        EXPECT_EQ(bytes_of(r.packet), f) << i;
        r.packet->kill();
        if (i == 15) {
            EXPECT_EQ(g.r.read("c.level"), "0");
        }
    }
    EXPECT_EQ(g.r.read("c.level"), "-5");
    EXPECT_EQ(g.comp->uncompressed_count(), 10u);
}

// Stateless output that does not shrink goes uncompressed; in force, the
// stream takes it compressed even when it grew.
TEST(WComp, IncompressiblePayloads) {
    auto noise = corpus::random_bytes(1000, 5);
    Rig s("COMPRESSOR 4, LEVEL 3");
    ASSERT_TRUE(s.ok);
    Packet* p = s.send(frame(6, noise));
    ASSERT_TRUE(p);
    EXPECT_EQ(layout_of(p, s.shim()).shim(ip_of(p))->flags, 0);
    EXPECT_EQ(p->length(), 14 + 20 + 32 + 4 + noise.size());

    Rig t("COMPRESSOR 4, LEVEL 3, METHOD streaming, FORCE_STATELESS false");
    ASSERT_TRUE(t.ok);
    p = t.send(frame(6, noise));
    ASSERT_TRUE(p);
    ShimLayout l = layout_of(p, t.shim());
    EXPECT_EQ(l.shim(ip_of(p))->flags, WSHIM_ZSTD | WSHIM_STREAM);
    EXPECT_GT(l.payload_len, noise.size());

    // LZ4 never compresses what the peer's 2000-byte decoder would refuse.
    Rig z("COMPRESSOR 2, LEVEL 1, METHOD streaming, FORCE_STATELESS false");
    ASSERT_TRUE(z.ok);
    std::vector<uint8_t> jumbo(text().begin(), text().begin() + 2400);
    p = z.send(frame(17, jumbo));
    ASSERT_TRUE(p);
    EXPECT_EQ(layout_of(p, z.shim()).shim(ip_of(p))->flags, 0);
}

// A later fragment has no transport header: compressed from the first byte
// after the shim, restored exactly.
TEST(WComp, FragmentsAndExistingShim) {
    Rig g("COMPRESSOR 5, LEVEL 6");
    ASSERT_TRUE(g.ok);
    PacketDecompressor d;
    ASSERT_EQ(d.initialize("d", ErrorHandler::default_handler()), 0);
    std::vector<uint8_t> payload(text().begin(), text().begin() + 1000);
    auto frag = frame(6, payload, 0x0010);
    Packet* p = g.send(frag);
    ASSERT_TRUE(p);
    g.sink->packets.pop_back();
    ShimLayout l = layout_of(p, g.shim());
    EXPECT_EQ(l.transport_len, 0u);
    EXPECT_EQ(l.payload_off, 24u);
    auto r = d.process(p, g.shim());
    ASSERT_TRUE(r.packet);
    EXPECT_EQ(bytes_of(r.packet), frag);
    r.packet->kill();

    // A packet with Dedup's shim (bit 0x10) keeps it: compressed, then back on
    // port 1 with its shim and flags reduced to the dedup bits.
    std::vector<uint8_t> plain = frame(6, payload);
    std::vector<uint8_t> shimmed(plain.size() + 4);
    std::memcpy(shimmed.data(), plain.data(), plain.size());
    ShimLayout sl;
    ASSERT_TRUE(parse_shim_layout(shimmed.data() + 14, plain.size() - 14, g.shim(), sl));
    shim_insert(shimmed.data() + 14, sl, g.shim());
    sl.shim(shimmed.data() + 14)->flags = WSHIM_DEDUP;
    p = g.send(shimmed);
    ASSERT_TRUE(p);
    g.sink->packets.pop_back();
    EXPECT_EQ(layout_of(p, g.shim()).shim(ip_of(p))->flags, WSHIM_DEDUP | WSHIM_ZLIB);
    r = d.process(p, g.shim());
    ASSERT_TRUE(r.packet);
    EXPECT_EQ(r.port, 1);
    EXPECT_EQ(bytes_of(r.packet), shimmed);
    r.packet->kill();
}

// Check value mismatches and undecodable packets are dropped; only stream
// packets ask for an RSP reset.
TEST(PacketDecompressor, FailuresAndStreamReset) {
    Rig g("COMPRESSOR 4, LEVEL 3, METHOD streaming, FORCE_STATELESS false");
    ASSERT_TRUE(g.ok);
    PacketDecompressor d;
    ASSERT_EQ(d.initialize("d", ErrorHandler::default_handler()), 0);
    int saved = WLogger::log_level;
    WLogger::log_level = 5;  // the failures below log errors by design
    std::vector<uint8_t> payload(text().begin(), text().begin() + 1200);
    Packet* p = g.send(frame(6, payload));
    ASSERT_TRUE(p);
    g.sink->packets.pop_back();
    WritablePacket* q = p->uniqueify();
    q->data()[q->length() - 1] ^= 0x55;  // the check value
    auto r = d.process(q, g.shim());
    EXPECT_FALSE(r.packet);
    EXPECT_TRUE(r.stream_failed);

    g.comp->set_force_stateless();
    p = g.send(frame(6, payload));
    g.sink->packets.pop_back();
    q = p->uniqueify();
    q->data()[q->length() - 10] ^= 0x01;
    r = d.process(q, g.shim());
    EXPECT_FALSE(r.packet);
    EXPECT_FALSE(r.stream_failed);

    // Too short to hold data and check value.
    p = g.send(frame(6, payload));
    g.sink->packets.pop_back();
    ShimLayout l = layout_of(p, g.shim());
    q = p->uniqueify();
    set_ip_total(q->data() + 14, l.payload_off + 1);
    q->take(q->length() - 14 - (l.payload_off + 1));
    r = d.process(q, g.shim());
    EXPECT_FALSE(r.packet);
    EXPECT_EQ(d.error_count(), 3u);
    WLogger::log_level = saved;
}

// Random, truncated and bit-flipped tunnel packets: never a crash, never a
// packet out that the IP header does not describe.
TEST(PacketDecompressor, Fuzz) {
    Rig g("COMPRESSOR 4, LEVEL 3, METHOD streaming, FORCE_STATELESS false", "MAX_PEERS 1, UDP_SHIM true");
    ASSERT_TRUE(g.ok);
    PacketDecompressor d;
    ASSERT_EQ(d.initialize("d", ErrorHandler::default_handler()), 0);
    std::mt19937 rng(99);
    auto pkts = corpus::packets(text(), 1300, 30);
    std::vector<std::vector<uint8_t>> wire;
    for (int comp : {2, 4, 5}) {
        Rig c("COMPRESSOR " + std::to_string(comp) + ", LEVEL 3, METHOD streaming, FORCE_STATELESS false",
              "MAX_PEERS 1, UDP_SHIM true");
        ASSERT_TRUE(c.ok);
        for (size_t i = 0; i < pkts.size(); ++i) {
            Packet* p = c.send(frame(i % 2 ? 6 : 17, pkts[i]));
            ASSERT_TRUE(p);
            wire.push_back(bytes_of(p));
            if (i % 5 == 0)
                c.comp->set_force_stateless();
            else
                c.comp->unforce_stateless();
        }
    }
    int saved = WLogger::log_level;
    WLogger::log_level = 5;  // corrupt packets log errors by design
    for (int iter = 0; iter < 6000; ++iter) {
        std::vector<uint8_t> b = wire[rng() % wire.size()];
        switch (rng() % 4) {
        case 0:
            for (int k = 0, n = 1 + int(rng() % 6); k < n; ++k)
                b[14 + rng() % (b.size() - 14)] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1:
            b.resize(14 + rng() % (b.size() - 13));
            break;
        case 2: {
            auto junk = corpus::random_bytes(rng() % 200, uint32_t(rng()));
            b.resize(std::min(b.size(), size_t(14 + 40)));
            b.insert(b.end(), junk.begin(), junk.end());
            break;
        }
        default:
            break;
        }
        Packet* p = make_packet(b);
        auto r = d.process(p, g.shim());
        if (r.packet) {
            ASSERT_GE(r.packet->length(), 14u);
            ShimLayout l;
            if (parse_shim_layout(ip_of(r.packet), r.packet->length() - 14, g.shim(), l)) {
                ASSERT_LE(l.total, r.packet->length() - 14);
            }
            r.packet->kill();
        }
    }
    WLogger::log_level = saved;
}

}  // namespace
