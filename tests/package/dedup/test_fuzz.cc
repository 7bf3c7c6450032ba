// The decoder against random, truncated and bit-flipped streams: it never
// reads or writes out of bounds, never returns more than the maximum, and
// reports each failure with one of its error numbers.
#include <gtest/gtest.h>

#include <cerrno>

#include "dedup_test_util.hh"

TEST(DedupFuzz, DecoderSurvivesHostileStreams) {
  TempDir dir;
  MessageCapture cap;
  auto a = open_engine(dir.path() + "/a", 1, 2);
  auto b = open_engine(dir.path() + "/b", 1, 2);
  DedupLink link{a.get(), b.get()};
  Bytes data = real_file_data(60000);
  link.send_all(data, 1448);

  // Valid streams (with stored, window and new-chunk tokens) to mutate.
  std::vector<Bytes> streams;
  for (size_t off = 0; off + 1448 <= data.size(); off += 1448 * 3) {
    Bytes enc(WDedup::MAX_PAYLOAD);
    int n = a->compress(&data[off], enc.data(), 1448, WDedup::MAX_PAYLOAD);
    a->writedisk();
    if (n > 0) streams.emplace_back(enc.begin(), enc.begin() + n);
  }
  ASSERT_FALSE(streams.empty());

  std::mt19937 rng(1234);
  std::set<uint64_t> missing;
  int outcomes[5] = {};
  for (int iter = 0; iter < 6000; ++iter) {
    Bytes in;
    const Bytes& base = streams[rng() % streams.size()];
    switch (iter % 4) {
      case 0: {  // random bytes rich in escapes and token types
        in.resize(rng() % 2500);
        for (auto& x : in) x = (rng() % 4 == 0) ? 0xF1 : static_cast<uint8_t>(rng() % 6);
        break;
      }
      case 1:  // truncated
        in.assign(base.begin(), base.begin() + static_cast<long>(rng() % (base.size() + 1)));
        break;
      case 2: {  // bit flips
        in = base;
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k)
          in[rng() % in.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      }
      default: {  // spliced and repeated pieces of valid streams
        const Bytes& other = streams[rng() % streams.size()];
        size_t cut = rng() % (base.size() + 1);
        in.assign(base.begin(), base.begin() + static_cast<long>(cut));
        in.insert(in.end(), other.begin() + static_cast<long>(rng() % (other.size() + 1)), other.end());
        if (rng() % 4 == 0) in.insert(in.end(), in.begin(), in.end());
        break;
      }
    }
    // An exactly sized heap buffer: any write past max is caught by ASan.
    int max = 1 + static_cast<int>(rng() % WDedup::MAX_PAYLOAD);
    std::vector<uint8_t> out(static_cast<size_t>(max));
    Bytes src = in.empty() ? Bytes(1) : in;  // valid pointer even for length 0
    int n = b->decompress(src.data(), out.data(), static_cast<int>(in.size()), max, missing,
                          rng() % 8 == 0);
    if (n >= 0) {
      ASSERT_LE(n, max);
      ++outcomes[0];
    } else {
      ASSERT_TRUE(errno == ESRCH || errno == ENOENT || errno == EIO) << errno;
      ++outcomes[errno == ESRCH ? 1 : errno == ENOENT ? 2 : 3];
    }
    b->writedisk();
  }
  EXPECT_GT(outcomes[0], 0);
  EXPECT_GT(outcomes[1], 0);
  EXPECT_GT(outcomes[2], 0);
  EXPECT_GT(outcomes[3], 0);

  // After all that, the link still works.
  DedupLink after{a.get(), b.get()};
  EXPECT_EQ(after.send_all(data, 1448), 0u);
}
