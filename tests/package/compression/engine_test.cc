#include <gtest/gtest.h>
#include <host/checksum.hh>
#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <random>
#include <vector>

#include "common/shim.hh"
#include "compression/compressor_engine.hh"
#include "compression/decompressor_engine.hh"
#include "corpus.hh"

using namespace compression;

namespace {

const std::vector<corpus::Sample>& samples() {
    static const auto s = corpus::load(256 * 1024);
    return s;
}

struct EngineCase {
    int compressor;
    int level;
};

const EngineCase kEngines[] = {{ENGINE_LZ4, 1}, {ENGINE_LZ4HC, 1}, {ENGINE_ZSTD, 3}, {ENGINE_ZLIB, 6}};

uint8_t flags_for(int compressor, bool streaming) {
    return uint8_t(shim_flag(compressor) | (streaming ? WSHIM_STREAM : 0));
}

// Compresses and decodes every packet; returns the total compressed size.
size_t round_trip(CompressorEngine& c, DecompressorEngine& d, const std::vector<std::vector<uint8_t>>& pkts,
                  bool streaming, const std::string& what) {
    size_t total = 0;
    for (size_t i = 0; i < pkts.size(); ++i) {
        const auto& p = pkts[i];
        int n = c.compress(p.data(), p.size(), streaming);
        EXPECT_GT(n, 0) << what << " packet " << i << ": " << c.error();
        if (n <= 0)
            return total;
        total += size_t(n);
        std::vector<uint8_t> wire(c.out(), c.out() + n);
        int m = d.decompress(flags_for(c.compressor(), streaming), wire.data(), wire.size());
        EXPECT_EQ(m, int(p.size())) << what << " packet " << i << ": " << d.error();
        if (m != int(p.size()))
            return total;
        EXPECT_EQ(std::memcmp(d.out(), p.data(), p.size()), 0) << what << " packet " << i;
    }
    return total;
}

TEST(Engine, LevelClampAndFlags) {
    EXPECT_EQ(clamp_level(ENGINE_ZLIB, 12), 9);
    EXPECT_EQ(clamp_level(ENGINE_ZLIB, -1), 9);
    EXPECT_EQ(clamp_level(ENGINE_ZLIB, 5), 5);
    EXPECT_EQ(clamp_level(ENGINE_ZSTD, -3), 11);
    EXPECT_EQ(clamp_level(ENGINE_ZSTD, ZSTD_maxCLevel() + 1), 11);
    EXPECT_EQ(clamp_level(ENGINE_ZSTD, 19), 19);
    EXPECT_EQ(shim_flag(ENGINE_LZ4), WSHIM_LZ4);
    EXPECT_EQ(shim_flag(ENGINE_LZ4HC), WSHIM_LZ4HC);
    EXPECT_EQ(shim_flag(ENGINE_ZSTD), WSHIM_ZSTD);
    EXPECT_EQ(shim_flag(ENGINE_ZLIB), WSHIM_ZLIB);
    EXPECT_EQ(shim_flag(ENGINE_NONE), 0);

    CompressorEngine none;
    ASSERT_EQ(none.init(ENGINE_NONE, 1), 0);
    uint8_t x[200] = {};
    EXPECT_EQ(none.compress(x, sizeof(x), false), 0);
}

// Every engine, both methods, every kind of data, in several packet sizes.
TEST(Engine, RoundTripsOverRealData) {
    for (const auto& e : kEngines) {
        for (bool streaming : {false, true}) {
            CompressorEngine c;
            DecompressorEngine d;
            ASSERT_EQ(c.init(e.compressor, e.level), 0) << c.error();
            ASSERT_EQ(d.init(), 0) << d.error();
            for (const auto& s : samples()) {
                for (size_t size : {1400u, 537u, 1u, 2000u}) {
                    auto pkts = corpus::packets(s.data, size, 150);
                    std::string what = std::to_string(e.compressor) + (streaming ? " streaming " : " stateless ") +
                                       s.kind + " " + std::to_string(size);
                    round_trip(c, d, pkts, streaming, what);
                    if (HasFailure())
                        return;
                }
            }
        }
    }
}

// Streaming refers back to earlier packets, so text compresses better than
// packet by packet; a stream decoder that has not seen the history fails.
TEST(Engine, StreamingUsesHistory) {
    const auto& text = samples()[0].data;
    auto pkts = corpus::packets(text, 1400, 120);
    for (const auto& e : kEngines) {
        CompressorEngine c1, c2;
        DecompressorEngine d1, d2;
        ASSERT_EQ(c1.init(e.compressor, e.level), 0);
        ASSERT_EQ(c2.init(e.compressor, e.level), 0);
        ASSERT_EQ(d1.init(), 0);
        ASSERT_EQ(d2.init(), 0);
        size_t stateless = round_trip(c1, d1, pkts, false, "stateless");
        size_t streaming = round_trip(c2, d2, pkts, true, "streaming");
        EXPECT_LT(streaming, stateless) << "engine " << e.compressor;

        // Packet 50 of a fresh stream needs packets 0 to 49.
        CompressorEngine c3;
        DecompressorEngine late;
        ASSERT_EQ(c3.init(e.compressor, e.level), 0);
        ASSERT_EQ(late.init(), 0);
        int n = 0;
        for (int i = 0; i <= 50; ++i)
            n = c3.compress(pkts[size_t(i)].data(), pkts[size_t(i)].size(), true);
        ASSERT_GT(n, 0);
        int m = late.decompress(flags_for(e.compressor, true), c3.out(), size_t(n));
        EXPECT_FALSE(m == int(pkts[50].size()) && std::memcmp(late.out(), pkts[50].data(), pkts[50].size()) == 0)
            << "engine " << e.compressor;
    }
}

// Stateless packets in between never touch the stream: force stateless /
// unforce resumes the old stream without a reset.
TEST(Engine, StatelessPacketsLeaveStreamAlone) {
    auto pkts = corpus::packets(samples()[1].data, 1400, 60);
    for (const auto& e : kEngines) {
        CompressorEngine c;
        DecompressorEngine d;
        ASSERT_EQ(c.init(e.compressor, e.level), 0);
        ASSERT_EQ(d.init(), 0);
        for (size_t i = 0; i < pkts.size(); ++i) {
            bool streaming = (i / 7) % 2 == 0;
            round_trip(c, d, {pkts[i]}, streaming, "engine " + std::to_string(e.compressor));
        }
    }
}

// A new stream: compressor and decompressor reset together mid-stream and
// carry on, as after an RSP restart.
TEST(Engine, ResetStartsNewStream) {
    auto pkts = corpus::packets(samples()[0].data, 1400, 80);
    for (const auto& e : kEngines) {
        CompressorEngine c;
        DecompressorEngine d;
        ASSERT_EQ(c.init(e.compressor, e.level), 0);
        ASSERT_EQ(d.init(), 0);
        std::vector<std::vector<uint8_t>> first(pkts.begin(), pkts.begin() + 30), rest(pkts.begin() + 30, pkts.end());
        round_trip(c, d, first, true, "before reset");
        ASSERT_EQ(c.reset_stream(), 0) << c.error();
        ASSERT_EQ(d.reset_stream(), 0) << d.error();
        round_trip(c, d, rest, true, "after reset " + std::to_string(e.compressor));
        if (e.compressor == ENGINE_LZ4 || e.compressor == ENGINE_LZ4HC) {
            EXPECT_EQ(c.ring_position(), uint32_t(50 * 1400));
        }
    }
}

// The adaptive level changes the level between packets of a running stream:
// zstd ends its frame and starts another (the next packet begins with the
// old frame's last block and the new frame's magic number), zlib carries on
// in the same deflate stream. The existing decoder reads every packet, and
// stateless packets in between use the new level at once.
TEST(Engine, LevelChangesWithinTheStream) {
    auto pkts = corpus::packets(samples()[0].data, 1400, 120);
    for (int engine : {ENGINE_ZSTD, ENGINE_ZLIB}) {
        CompressorEngine c;
        DecompressorEngine d;
        ASSERT_EQ(c.init(engine, 3), 0);
        ASSERT_EQ(d.init(), 0);
        EXPECT_EQ(c.set_level(0), -1);
        EXPECT_EQ(c.set_level(engine == ENGINE_ZSTD ? 23 : 10), -1);
        const int levels[] = {9, engine == ENGINE_ZSTD ? -3 : 1, 6};
        bool changed = false;
        for (size_t i = 0; i < pkts.size(); ++i) {
            if (i % 30 == 0 && i > 0) {
                ASSERT_EQ(c.set_level(levels[i / 30 - 1]), 0);
                changed = true;
            }
            bool streaming = i % 10 != 9;
            int n = c.compress(pkts[i].data(), pkts[i].size(), streaming);
            ASSERT_GT(n, 7) << engine << " packet " << i << ": " << c.error();
            if (streaming && changed && engine == ENGINE_ZSTD) {
                EXPECT_EQ(std::memcmp(c.out() + 3, "\x28\xb5\x2f\xfd", 4), 0) << "packet " << i;
            }
            changed = changed && !streaming;
            std::vector<uint8_t> wire(c.out(), c.out() + n);
            int m = d.decompress(flags_for(engine, streaming), wire.data(), wire.size());
            ASSERT_EQ(m, int(pkts[i].size())) << engine << " packet " << i << ": " << d.error();
            EXPECT_EQ(std::memcmp(d.out(), pkts[i].data(), pkts[i].size()), 0) << engine << " packet " << i;
        }
        EXPECT_EQ(c.level(), 6);
    }
    CompressorEngine lz4;
    ASSERT_EQ(lz4.init(ENGINE_LZ4, 1), 0);
    EXPECT_EQ(lz4.set_level(2), -1);
}

// The sync flush trailer is stripped on the wire; the first packet of every
// stream starts with a zlib header, later ones are raw continuation.
TEST(Engine, ZlibStreamFraming) {
    auto pkts = corpus::packets(samples()[0].data, 1400, 10);
    CompressorEngine c;
    ASSERT_EQ(c.init(ENGINE_ZLIB, 6), 0);
    z_stream ref{};
    ASSERT_EQ(inflateInit(&ref), Z_OK);
    std::vector<uint8_t> out(4000);
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < 4; ++i) {
            int n = c.compress(pkts[i].data(), pkts[i].size(), true);
            ASSERT_GT(n, 2);
            std::vector<uint8_t> wire(c.out(), c.out() + n);
            bool header = wire[0] == 0x78 && ((wire[0] << 8) | wire[1]) % 31 == 0;
            if (i == 0) {
                EXPECT_TRUE(header) << "round " << round;
            }
            // With the trailer appended a plain inflater decodes the stream.
            wire.insert(wire.end(), {0x00, 0x00, 0xFF, 0xFF});
            ref.next_in = wire.data();
            ref.avail_in = uInt(wire.size());
            ref.next_out = out.data();
            ref.avail_out = uInt(out.size());
            ASSERT_EQ(inflate(&ref, Z_SYNC_FLUSH), Z_OK);
            ASSERT_EQ(ref.avail_in, 0u);
            ASSERT_EQ(out.size() - ref.avail_out, pkts[i].size());
            EXPECT_EQ(std::memcmp(out.data(), pkts[i].data(), pkts[i].size()), 0);
        }
        ASSERT_EQ(c.reset_stream(), 0);
        ASSERT_EQ(inflateReset(&ref), Z_OK);
    }
    inflateEnd(&ref);

    // A stream decoder that was not reset rejects the new stream's header.
    CompressorEngine c2;
    DecompressorEngine d;
    ASSERT_EQ(c2.init(ENGINE_ZLIB, 6), 0);
    ASSERT_EQ(d.init(), 0);
    round_trip(c2, d, {pkts[0], pkts[1]}, true, "zlib");
    ASSERT_EQ(c2.reset_stream(), 0);
    int n = c2.compress(pkts[2].data(), pkts[2].size(), true);
    ASSERT_GT(n, 0);
    std::vector<uint8_t> wire(c2.out(), c2.out() + n);
    int m = d.decompress(WSHIM_ZLIB | WSHIM_STREAM, wire.data(), wire.size());
    EXPECT_FALSE(m == int(pkts[2].size()) && std::memcmp(d.out(), pkts[2].data(), pkts[2].size()) == 0);
    ASSERT_EQ(d.reset_stream(), 0);
    EXPECT_EQ(d.decompress(WSHIM_ZLIB | WSHIM_STREAM, wire.data(), wire.size()), int(pkts[2].size()));
}

// The LZ4 decoder is never reset: its ring position survives reset_stream,
// and a restarted compressor (ring position 0) still decodes correctly on a
// decoder that sits elsewhere in its ring, through both rings wrapping.
TEST(Engine, Lz4DecoderUntouchedByReset) {
    auto pkts = corpus::packets(samples()[2].data, 1400);
    for (int comp : {ENGINE_LZ4, ENGINE_LZ4HC}) {
        CompressorEngine c;
        DecompressorEngine d;
        ASSERT_EQ(c.init(comp, 1), 0);
        ASSERT_EQ(d.init(), 0);
        std::vector<std::vector<uint8_t>> head(pkts.begin(), pkts.begin() + 37);
        round_trip(c, d, head, true, "lz4 head");
        uint32_t pos = d.ring_position();
        ASSERT_EQ(pos, 37u * 1400u);
        ASSERT_EQ(d.reset_stream(), 0);
        EXPECT_EQ(d.ring_position(), pos);
        ASSERT_EQ(c.reset_stream(), 0);
        EXPECT_EQ(c.ring_position(), 0u);
        // ~1.3 MB: both rings wrap at different points.
        int c_wraps = 0, d_wraps = 0;
        for (size_t i = 0; i < 4 * pkts.size() && !HasFailure(); ++i) {
            uint32_t cb = c.ring_position(), db = d.ring_position();
            round_trip(c, d, {pkts[i % pkts.size()]}, true, "lz4 after restart");
            c_wraps += c.ring_position() < cb;
            d_wraps += d.ring_position() < db;
            ASSERT_LE(c.ring_position(), LZ4_RING_WRAP);
            ASSERT_LE(d.ring_position(), LZ4_RING_WRAP);
        }
        EXPECT_GE(c_wraps, 1);
        EXPECT_GE(d_wraps, 1);
    }
}

// Payloads the buffers cannot take go uncompressed (result 0) without
// touching the stream; LZ4 never compresses more than the peer decodes.
TEST(Engine, OversizedPayloadsGoUncompressed) {
    auto big = corpus::packets(samples()[0].data, 6000, 1)[0];
    auto pkts = corpus::packets(samples()[0].data, 1400, 6);
    for (const auto& e : kEngines) {
        CompressorEngine c;
        DecompressorEngine d;
        ASSERT_EQ(c.init(e.compressor, e.level), 0);
        ASSERT_EQ(d.init(), 0);
        size_t maxp = c.max_payload();
        if (e.compressor == ENGINE_LZ4 || e.compressor == ENGINE_LZ4HC) {
            EXPECT_EQ(maxp, LZ4_MAX_BLOCK);
        } else {
            EXPECT_GT(maxp, 3800u);
        }
        EXPECT_LT(maxp, OUT_SIZE);
        round_trip(c, d, {pkts[0], pkts[1]}, true, "before");
        uint32_t ring = c.ring_position();
        EXPECT_EQ(c.compress(big.data(), maxp + 1, true), 0);
        EXPECT_EQ(c.compress(big.data(), maxp + 1, false), 0);
        EXPECT_EQ(c.compress(big.data(), 0, true), 0);
        EXPECT_EQ(c.ring_position(), ring);
        round_trip(c, d, {pkts[2], pkts[3]}, true, "after");
        // The largest accepted payload (incompressible) round-trips.
        auto noise = corpus::random_bytes(maxp, 9);
        round_trip(c, d, {noise}, true, "max streaming");
        round_trip(c, d, {noise}, false, "max stateless");
    }
}

TEST(Engine, Lz4DecodeLimitIs2000) {
    auto text = corpus::packets(samples()[0].data, 2500, 1)[0];
    std::vector<char> block(LZ4_compressBound(int(text.size())));
    int n = LZ4_compress_default(reinterpret_cast<const char*>(text.data()), block.data(), int(text.size()),
                                 int(block.size()));
    ASSERT_GT(n, 0);
    DecompressorEngine d;
    ASSERT_EQ(d.init(), 0);
    const uint8_t* src = reinterpret_cast<const uint8_t*>(block.data());
    EXPECT_LT(d.decompress(WSHIM_LZ4, src, size_t(n)), 1);
    EXPECT_LT(d.decompress(WSHIM_LZ4 | WSHIM_STREAM, src, size_t(n)), 1);
    EXPECT_EQ(d.ring_position(), 0u);
    // Exactly 2000 bytes still decode.
    n = LZ4_compress_default(reinterpret_cast<const char*>(text.data()), block.data(), 2000, int(block.size()));
    EXPECT_EQ(d.decompress(WSHIM_LZ4HC, src, size_t(n)), 2000);
}

// Truncated packets fail and never yield a silent partial result from zstd;
// empty input fails everywhere.
TEST(Engine, TruncatedAndEmptyInputFail) {
    auto p = corpus::packets(samples()[0].data, 1400, 1)[0];
    for (const auto& e : kEngines) {
        for (bool streaming : {false, true}) {
            DecompressorEngine d;
            ASSERT_EQ(d.init(), 0);
            uint8_t flags = flags_for(e.compressor, streaming);
            EXPECT_EQ(d.decompress(flags, p.data(), 0), -1);
            CompressorEngine c;
            ASSERT_EQ(c.init(e.compressor, e.level), 0);
            int n = c.compress(p.data(), p.size(), streaming);
            ASSERT_GT(n, 4);
            std::vector<uint8_t> wire(c.out(), c.out() + n / 2);
            int m = d.decompress(flags, wire.data(), wire.size());
            if (e.compressor != ENGINE_ZLIB || !streaming) {
                EXPECT_EQ(m, -1) << e.compressor << " " << streaming;
            }
            // A zlib stream emits what it decoded so far; the payload check
            // value catches that. It must never claim the whole payload.
            EXPECT_LT(m, int(p.size()));
        }
    }
    DecompressorEngine d;
    ASSERT_EQ(d.init(), 0);
    EXPECT_EQ(d.decompress(WSHIM_STREAM, p.data(), p.size()), -1);  // no compressor flag
}

// Random, truncated and bit-flipped input to every decoder, stateless and
// in the middle of a stream: never a crash, never a length beyond the limits.
TEST(Engine, DecoderFuzz) {
    std::mt19937 rng(4242);
    auto pkts = corpus::packets(samples()[1].data, 1400, 40);
    for (const auto& e : kEngines) {
        for (bool streaming : {false, true}) {
            CompressorEngine c;
            DecompressorEngine d;
            ASSERT_EQ(c.init(e.compressor, e.level), 0);
            ASSERT_EQ(d.init(), 0);
            uint8_t flags = flags_for(e.compressor, streaming);
            int limit = (e.compressor == ENGINE_LZ4 || e.compressor == ENGINE_LZ4HC) ? int(LZ4_MAX_BLOCK)
                                                                                      : int(OUT_SIZE) - 1;
            for (int iter = 0; iter < 1500; ++iter) {
                const auto& p = pkts[size_t(iter) % pkts.size()];
                int n = c.compress(p.data(), p.size(), streaming);
                ASSERT_GT(n, 0);
                std::vector<uint8_t> wire(c.out(), c.out() + n);
                switch (rng() % 4) {
                case 0:  // flip a few bits
                    for (int k = 0, f = 1 + int(rng() % 4); k < f; ++k)
                        wire[rng() % wire.size()] ^= uint8_t(1u << (rng() % 8));
                    break;
                case 1:  // truncate
                    wire.resize(1 + rng() % wire.size());
                    break;
                case 2:  // random garbage of random length
                    wire = corpus::random_bytes(1 + rng() % 3000, uint32_t(rng()));
                    break;
                default:  // intact
                    break;
                }
                // Exact-size copy so ASan sees any overread.
                std::unique_ptr<uint8_t[]> buf(new uint8_t[wire.size()]);
                std::memcpy(buf.get(), wire.data(), wire.size());
                int m = d.decompress(flags, buf.get(), wire.size());
                ASSERT_TRUE(m == -1 || (m > 0 && m <= limit)) << m;
                if (streaming && rng() % 8 == 0) {
                    // Recover as the tunnel does: both ends start a new stream.
                    ASSERT_EQ(c.reset_stream(), 0);
                    ASSERT_EQ(d.reset_stream(), 0);
                }
            }
            // After a common reset the stream works again.
            ASSERT_EQ(c.reset_stream(), 0);
            ASSERT_EQ(d.reset_stream(), 0);
            if (e.compressor == ENGINE_LZ4 || e.compressor == ENGINE_LZ4HC) {
                // A corrupted LZ4 block may have been accepted with wrong bytes
                // in the ring; the sender's restart never refers back to them.
            }
            round_trip(c, d, std::vector<std::vector<uint8_t>>(pkts.begin(), pkts.begin() + 10), streaming,
                       "after fuzz " + std::to_string(e.compressor));
        }
    }
}

}  // namespace
