// The Internet checksum against a plain RFC 1071 sum of big-endian 16-bit
// words, at every length and alignment, chained in pieces, and with enough
// 0xFF bytes to carry out of every accumulator.
#include <host/checksum.hh>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// One's-complement sum of big-endian 16-bit words, a trailing byte padded
// with zero, folded but not complemented.
uint16_t plain_sum(const unsigned char* p, size_t len, uint64_t start = 0) {
    uint64_t sum = start;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (len & 1)
        sum += uint32_t(p[len - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(sum);
}

// The checksum as stored (native order) read as the big-endian field value.
uint16_t field(uint16_t stored) { return ntohs(stored); }

std::vector<unsigned char> random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& x : v)
        x = (unsigned char) rng();
    return v;
}

TEST(Checksum, KnownValues) {
    // RFC 1071 worked example: the checksum reads 22 0d in memory.
    const unsigned char data[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t c = click_in_cksum(data, sizeof(data));
    unsigned char b[2];
    std::memcpy(b, &c, 2);
    EXPECT_EQ(b[0], 0x22);
    EXPECT_EQ(b[1], 0x0d);
    // An odd trailing byte counts as the high-order (first) byte of a word.
    const unsigned char odd[] = {0x00, 0x01, 0xf2};
    c = click_in_cksum(odd, sizeof(odd));
    std::memcpy(b, &c, 2);
    EXPECT_EQ(b[0], (unsigned char) ~0xf2);
    EXPECT_EQ(b[1], (unsigned char) ~0x01);
    // Nothing to sum, or a negative length, sums to 0.
    EXPECT_EQ(click_in_cksum(nullptr, 0), 0xFFFF);
    EXPECT_EQ(click_in_cksum(data, -4), 0xFFFF);
    EXPECT_EQ(click_in_cksum_partial(data, -1, 1234), 1234u);
    // A header with its checksum stored sums to 0.
    unsigned char ip[20] = {0x45, 0, 0, 40, 0x12, 0x34, 0x40, 0, 64, 6, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    c = click_in_cksum(ip, 20);
    std::memcpy(ip + 10, &c, 2);
    EXPECT_EQ(click_in_cksum(ip, 20), 0);
}

TEST(Checksum, MatchesPlainSumAtEveryLengthAndAlignment) {
    auto r = random_bytes(2100, 5);
    for (size_t off = 0; off < 8; ++off)
        for (size_t len = 0; len + off <= r.size(); len += len < 300 ? 1 : 29) {
            const unsigned char* p = r.data() + off;
            ASSERT_EQ(field(click_in_cksum(p, int(len))), uint16_t(~plain_sum(p, len))) << off << " " << len;
            // Chained over two pieces split at an even offset.
            size_t cut = (len / 3) & ~size_t(1);
            uint32_t s = click_in_cksum_partial(p, int(cut), 0);
            s = click_in_cksum_partial(p + cut, int(len - cut), s);
            ASSERT_EQ(field(click_in_cksum_fold(s)), uint16_t(~plain_sum(p, len))) << off << " " << len;
        }
    // All-ones data and a full starting sum carry out of every word and
    // accumulator; the largest IP payload and far beyond it.
    for (size_t len : {31u, 32u, 33u, 65535u, 1u << 20}) {
        std::vector<unsigned char> ff(len + 3, 0xFF);
        for (size_t off : {0, 3}) {
            uint16_t want = uint16_t(~plain_sum(ff.data() + off, len, 0xFFFFFFFFu));
            ASSERT_EQ(field(click_in_cksum_fold(click_in_cksum_partial(ff.data() + off, int(len), 0xFFFFFFFFu))),
                      want)
                << len;
        }
    }
}

}  // namespace
