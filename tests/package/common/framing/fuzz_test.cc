// Random, truncated and bit-flipped packets through every framing element:
// nothing may read or write outside a packet (the sanitizer build checks),
// and every packet either leaves or is counted.
#include <gtest/gtest.h>

#include <random>

#include "framing.hh"

using namespace framing_test;

namespace {

const char* const elements[] = {
    "QuiloUDPIPEncap(10.0.0.1, 1, DST_ANNO, 2)",
    "WIPEncap(4, 10.0.0.1, 10.0.0.2)",
    "UDPIPDecap",
    "WIPDecap",
    "IPCompDecap",
    "DropRSPRetransmit(true)",
    "QuiloIPFragmenter(68, false)",
    "QuiloTCPFragmenter(MTU 60)",
    "MSSAdjust(true)",
    "WCheckTCPHeader",
    "WCheckUDPHeader",
};

Bytes seed_packet(std::mt19937& rng) {
    IPPacket t;
    t.proto = std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? 6 : 17;
    t.payload = std::uniform_int_distribution<size_t>(0, 300)(rng);
    t.tcp_flags = uint8_t(rng());
    if (t.proto == 6 && rng() % 2)
        t.tcp_options = {2, 4, 5, 0xb4, 1, 1, 4, 2};
    Bytes b = t.bytes();
    if (rng() % 3 == 0) {
        // Make it look like a tunnel packet.
        b[9] = 108;
        b[20] = 0x77;
        b[23] = uint8_t(rng());
    }
    return b;
}

}  // namespace

TEST(FramingFuzz, RandomTruncatedAndFlippedPackets) {
    std::mt19937 rng(20261207);
    for (const char* conf : elements) {
        Harness h;
        int nout = std::string(conf).find("Fragmenter(68") != std::string::npos ||
                           std::string(conf).find("Check") != std::string::npos
                       ? 2
                       : 1;
        ASSERT_TRUE(h.build(conf, nout)) << conf << ": " << h.r.errors();
        h.s->keep(false);
        for (int i = 0; i < 3000; ++i) {
            Bytes b;
            switch (i % 3) {
            case 0:  // random bytes, sometimes starting like IPv4
                b.resize(std::uniform_int_distribution<size_t>(0, 120)(rng));
                for (auto& x : b)
                    x = uint8_t(rng());
                if (!b.empty() && rng() % 2)
                    b[0] = uint8_t(0x40 | (rng() & 15));
                break;
            case 1:  // a valid packet cut short
                b = seed_packet(rng);
                b.resize(std::uniform_int_distribution<size_t>(0, b.size())(rng));
                break;
            default:  // a valid packet with flipped bits
                b = seed_packet(rng);
                for (int k = 0; k < 3; ++k)
                    b[rng() % b.size()] ^= uint8_t(1 << (rng() % 8));
                break;
            }
            WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
            if (rng() % 8)
                p->set_network_header(p->data(), 0);
            p->set_anno_u8(59, 1);
            h.push(p);
        }
    }
}
