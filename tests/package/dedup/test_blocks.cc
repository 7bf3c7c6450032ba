// Building blocks of the byte cache: fingerprint, byte queue, bloom filter,
// in-flight window and the fingerprint index.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <unordered_map>

#include "dedup/countingbloom.hh"
#include "dedup/fingerprintindex.hh"
#include "dedup/inflightwindow.hh"
#include "dedup/wbuf.hh"
#include "dedup/whasher.hh"
#include "dedup_test_util.hh"

TEST(DedupHasher, TableIsTheDocumentedGenerator) {
  EXPECT_EQ(WHasher::CharacterHash[0], 0x1FAC931DCC4564BFULL);
  EXPECT_EQ(WHasher::CharacterHash[1], 0x52E70BA9030DB04DULL);
  EXPECT_EQ(WHasher::CharacterHash[2], 0x56247C0A4DFC01ABULL);
  EXPECT_EQ(WHasher::CharacterHash[3], 0x50C3EA56276E59B3ULL);
  EXPECT_EQ(WHasher::CharacterHash[255], 0x385B1D45533E62CFULL);
  uint64_t state = 0x5155494C4F574231ULL;
  for (int i = 4; i < 255; ++i) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    ASSERT_EQ(WHasher::CharacterHash[i], z ^ (z >> 31)) << "entry " << i;
  }
}

TEST(DedupHasher, RollingEqualsFromScratchAndKnownValues) {
  const uint8_t one[1] = {1};
  EXPECT_EQ(WHasher::hash(one, 1), WHasher::CharacterHash[1]);
  const uint8_t two[2] = {0, 255};
  EXPECT_EQ(WHasher::hash(two, 2), WHasher::CharacterHash[0] * 37 + WHasher::CharacterHash[255]);
  // Every length, whole blocks of eight and a tail: one Horner step a byte.
  Bytes some = random_bytes(40, 8);
  uint64_t horner = 0;
  for (size_t n = 1; n <= some.size(); ++n) {
    horner = horner * 37 + WHasher::CharacterHash[some[n - 1]];
    ASSERT_EQ(WHasher::hash(some.data(), n), horner) << n;
  }

  const size_t W = 330;
  Bytes data = random_bytes(5000, 7);
  WRollingHash r(W);
  for (size_t i = 0; i < data.size(); ++i) {
    if (i < W)
      r.feed(data[i]);
    else
      r.roll(data[i - W], data[i]);
    if (i + 1 >= W) {
      ASSERT_EQ(r.value(), WHasher::hash(&data[i + 1 - W], W)) << i;
    }
  }
}

TEST(DedupHasher, RolledWindowFingerprintsEqualFromScratch) {
  // Other chunk lengths build their own table of leaving-byte weights.
  Bytes data = random_bytes(2400, 8);
  std::vector<uint64_t> fps(data.size());
  for (size_t W : {size_t(330), size_t(7), size_t(1)}) {
    WindowFingerprints wf(W);
    for (size_t from : {size_t(1), size_t(2), size_t(700)}) {
      fps[from - 1] = WHasher::hash(&data[from - 1], W);
      wf.roll(data.data(), from, data.size() - W + 1, fps.data());
      for (size_t i = from; i + W <= data.size(); ++i)
        ASSERT_EQ(fps[i], WHasher::hash(&data[i], W)) << "W " << W << " from " << from << " at " << i;
    }
  }
}

TEST(DedupWBuf, SegmentsAppendDropShareAndMove) {
  WBuf q;
  Bytes a = random_bytes(1800, 1);
  q.append(a.data(), a.size());
  EXPECT_EQ(q.segment_count(), 1u);
  // 330 bytes do not fit into the 248 bytes left: a new segment.
  Bytes c = random_bytes(330, 2);
  q.append(c.data(), c.size());
  EXPECT_EQ(q.segment_count(), 2u);
  EXPECT_EQ(q.segment(1)->len, 330u);
  // Bytes dropped from the front make room that a later append reuses.
  q.drop_front(1800);
  EXPECT_EQ(q.segment_count(), 1u);
  Bytes d = random_bytes(1700, 3);
  q.append(d.data(), d.size());
  EXPECT_EQ(q.segment_count(), 1u);
  EXPECT_EQ(q.segment(0)->start, 0u);
  Bytes out(q.size());
  ASSERT_TRUE(q.copy_out(0, out.size(), out.data()));
  Bytes want(c);
  want.insert(want.end(), d.begin(), d.end());
  EXPECT_EQ(out, want);
  EXPECT_FALSE(q.copy_out(1, q.size(), out.data()));

  // A large append is cut into 2048-byte segments.
  WBuf big;
  Bytes e = random_bytes(5000, 4);
  big.append(e.data(), e.size());
  EXPECT_EQ(big.segment_count(), 3u);
  big.append(0xAB);
  EXPECT_EQ(big.size(), 5001u);

  // Sharing a segment: a shared last segment is never appended into, and
  // dropping in one queue leaves the other's view intact.
  WBuf other;
  other.append_segment(const_cast<chunk_buf*>(q.segment(0)));
  other.append(1);
  EXPECT_EQ(other.segment_count(), 2u);
  q.drop_front(100);
  Bytes view(other.size());
  ASSERT_TRUE(other.copy_out(0, view.size(), view.data()));
  want.push_back(1);
  EXPECT_EQ(view, want);
  Bytes qv(q.size());
  ASSERT_TRUE(q.copy_out(0, qv.size(), qv.data()));
  EXPECT_EQ(qv, Bytes(want.begin() + 100, want.end() - 1));

  WBuf dst;
  other.move_to(dst);
  EXPECT_TRUE(other.empty());
  EXPECT_EQ(dst.size(), want.size());
  dst.clear();
  EXPECT_EQ(dst.size(), 0u);
}

TEST(DedupBloom, MurmurAndSizing) {
  uint64_t out[2];
  MurmurHash3_x64_128("", 0, 0, out);
  EXPECT_EQ(out[0], 0u);
  EXPECT_EQ(out[1], 0u);
  const char* fox = "The quick brown fox jumps over the lazy dog";
  MurmurHash3_x64_128(fox, std::strlen(fox), 0, out);
  EXPECT_EQ(out[0], 0xe34bbc7bbc071b6cULL);
  EXPECT_EQ(out[1], 0x7a433ca9c49a9347ULL);

  counting_bloom_t* b = new_counting_bloom(1000, 0.05);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->nfuncs, 5u);
  EXPECT_EQ(b->counts_per_func,
            static_cast<unsigned>(std::ceil(1000 * std::fabs(std::log(0.05)) / (5 * std::log(2) * std::log(2)))));
  EXPECT_EQ(b->num_bytes, (b->size + 1) / 2 + 16);
  free_counting_bloom(b);
  EXPECT_EQ(free_counting_bloom(nullptr), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(new_counting_bloom(100, 1.5), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("could not realloc"), std::string::npos);
}

TEST(DedupBloom, CountersAddRemoveOverflowAndZero) {
  counting_bloom_t* b = new_counting_bloom(5000, 0.05);
  ASSERT_NE(b, nullptr);
  Bytes before(b->bitmap, b->bitmap + b->num_bytes);
  uint64_t key = 0x1122334455667788ULL;
  EXPECT_EQ(counting_bloom_check(b, &key, 8), 0);
  counting_bloom_add(b, &key, 8);
  EXPECT_EQ(counting_bloom_check(b, &key, 8), 1);
  EXPECT_EQ(counting_bloom_count(b), 1u);
  counting_bloom_remove(b, &key, 8);
  EXPECT_EQ(Bytes(b->bitmap, b->bitmap + b->num_bytes), before);

  // No false negatives, few false positives.
  for (uint64_t k = 1; k <= 5000; ++k) counting_bloom_add(b, &k, 8);
  int fp = 0;
  for (uint64_t k = 1; k <= 5000; ++k) ASSERT_EQ(counting_bloom_check(b, &k, 8), 1);
  for (uint64_t k = 100001; k <= 110000; ++k) fp += counting_bloom_check(b, &k, 8);
  EXPECT_LT(fp, 1000);  // 5% expected
  EXPECT_EQ(counting_bloom_count(b), 5000u);
  free_counting_bloom(b);

  b = new_counting_bloom(100, 0.05);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 15; ++i) counting_bloom_add(b, &key, 8);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  counting_bloom_add(b, &key, 8);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error, 4 bit int Overflow\n"), std::string::npos);
  for (unsigned i = 0; i < b->nfuncs; ++i) EXPECT_EQ(counting_bloom_counter(b, b->hashes[i]), 15u);
  uint64_t never = 42;
  counting_bloom_check(b, &never, 8);
  unsigned zeros = 0;
  for (unsigned i = 0; i < b->nfuncs; ++i) zeros += counting_bloom_counter(b, b->hashes[i]) == 0;
  testing::internal::CaptureStderr();
  counting_bloom_remove(b, &never, 8);
  std::string err = testing::internal::GetCapturedStderr();
  size_t n = 0;
  for (size_t p = 0; (p = err.find("Error, Decrementing zero\n", p)) != std::string::npos; ++p) ++n;
  EXPECT_EQ(n, zeros);
  free_counting_bloom(b);
}

TEST(DedupWindow, RingEvictionAndStability) {
  InflightWindow w(330);
  Bytes chunk = random_bytes(330, 9);
  for (uint64_t fp = 1; fp <= 256; ++fp) w.add(fp, chunk.data(), 330);
  EXPECT_EQ(w.position_of(1), 0);
  EXPECT_EQ(w.position_of(256), 255);
  w.add(100, chunk.data(), 330);  // present: does not move
  EXPECT_EQ(w.position_of(100), 99);
  w.add(0, chunk.data(), 330);  // ignored
  EXPECT_EQ(w.next_position(), 0);
  w.add(257, chunk.data() + 1, 329);
  EXPECT_EQ(w.position_of(257), 0);
  EXPECT_EQ(w.position_of(1), -1);
  EXPECT_EQ(w.fingerprint_at(0), 257u);
  EXPECT_EQ(w.chunk_len_at(0), 329u);
  EXPECT_EQ(0, std::memcmp(w.chunk_at(0), chunk.data() + 1, 329));
  w.add(258, nullptr, 0);  // placeholder of a missing chunk
  EXPECT_EQ(w.position_of(258), 1);
  EXPECT_EQ(w.chunk_len_at(1), 0u);
  w.reset();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(w.fingerprint_at(i), 0u);
  for (uint64_t fp = 1; fp <= 300; ++fp) EXPECT_EQ(w.position_of(fp), -1);
  // Heavy churn keeps the map and the ring in agreement.
  for (uint64_t fp = 1; fp < 5000; ++fp) {
    w.add(fp * 0x9E3779B97F4A7C15ULL, chunk.data(), 330);
    if (fp % 97 == 0) {
      for (int i = 0; i < 256; ++i)
        if (uint64_t f = w.fingerprint_at(i)) {
          ASSERT_EQ(w.position_of(f), i);
        }
    }
  }
}

TEST(DedupIndex, MatchesAModelUnderChurn) {
  FingerprintIndex idx;
  ASSERT_TRUE(idx.init(20000));
  EXPECT_EQ(idx.buckets(), 32768u);
  EXPECT_EQ(idx.bound(), static_cast<uint64_t>(32768 * 0.77 + 0.5));
  std::unordered_map<uint64_t, int32_t> model;
  std::mt19937_64 rng(5);
  std::vector<uint64_t> keys;
  for (int step = 0; step < 200000; ++step) {
    int op = static_cast<int>(rng() % 10);
    if (op < 6 && model.size() < 20000) {
      // Skewed keys crowd some groups so overflow chains form.
      uint64_t k = (rng() % 4 == 0) ? (rng() & 0xFFFF0000FFFFULL) : rng();
      int32_t v = static_cast<int32_t>(rng() % 1000000);
      ASSERT_GE(idx.insert(k, v), 0);
      model[k] = v;
      keys.push_back(k);
    } else if (!keys.empty()) {
      uint64_t k = keys[rng() % keys.size()];
      bool in = model.count(k) != 0;
      if (op == 9 && in) {
        EXPECT_FALSE(idx.erase_if(k, model[k] + 1));
        EXPECT_TRUE(idx.erase_if(k, model[k]));
      } else {
        EXPECT_EQ(idx.erase(k), in);
      }
      model.erase(k);
    }
    if (step % 20000 == 0) {
      ASSERT_EQ(idx.size(), model.size());
      for (auto& [k, v] : model) ASSERT_EQ(idx.find(k), v);
    }
  }
  for (auto& [k, v] : model) ASSERT_EQ(idx.find(k), v);
  for (int i = 0; i < 1000; ++i) {
    uint64_t k = rng();
    if (!model.count(k)) {
      EXPECT_EQ(idx.find(k), -1);
    }
  }
  // Keys that all share one home bucket spill across many later groups:
  // every one stays findable through inserts and erases in any order, and
  // keys with that home that were never inserted (or are gone) are absent.
  {
    FingerprintIndex one;
    ASSERT_TRUE(one.init(20000));
    const uint32_t home = 0x12345678;
    auto same_home = [&](uint64_t hi) {
      hi &= 0xFFFFFFFFu;
      // low32(k ^ k << 11 ^ k >> 33) == home: solve the xorshift for the low half.
      uint32_t y = home ^ static_cast<uint32_t>(hi >> 1);
      uint32_t lo = y ^ (y << 11) ^ (y << 22);
      uint64_t k = (hi << 32) | lo;
      EXPECT_EQ(FingerprintIndex::bucket_hash(k), home);
      return k;
    };
    std::vector<uint64_t> crowd;
    for (uint64_t i = 0; i < 3000; ++i) crowd.push_back(same_home(i * 0x9E3779B9ULL + 7));
    for (size_t i = 0; i < crowd.size(); ++i) ASSERT_EQ(one.insert(crowd[i], static_cast<int32_t>(i)), 1);
    for (size_t i = 0; i < crowd.size(); i += 2) ASSERT_TRUE(one.erase(crowd[i]));
    for (size_t i = 0; i < crowd.size(); ++i) {
      ASSERT_EQ(one.find(crowd[i]), i % 2 ? static_cast<int32_t>(i) : -1) << i;
      if (i % 2) {
        ASSERT_TRUE(one.may_contain(crowd[i]));
      }
    }
    for (uint64_t i = 0; i < 500; ++i) ASSERT_EQ(one.find(same_home(i * 0x51ED27ULL + 3)), -1);
    for (size_t i = 0; i < crowd.size(); i += 2) ASSERT_EQ(one.insert(crowd[i], 9), 1);
    for (size_t i = 1; i < crowd.size(); i += 2) ASSERT_TRUE(one.erase_if(crowd[i], static_cast<int32_t>(i)));
    for (size_t i = 0; i < crowd.size(); ++i) ASSERT_EQ(one.find(crowd[i]), i % 2 ? -1 : 9) << i;
    EXPECT_EQ(one.size(), 1500u);
  }

  // At its bound the table refuses new keys but still replaces values.
  FingerprintIndex small;
  ASSERT_TRUE(small.init(10));
  uint64_t k = 1;
  for (; small.size() < small.bound(); ++k) ASSERT_EQ(small.insert(k * 7919, 1), 1);
  EXPECT_EQ(small.insert(k * 7919, 1), -1);
  EXPECT_EQ(small.insert(7919, 5), 0);
  EXPECT_EQ(small.find(7919), 5);
}

TEST(DedupIndex, TagCheckPassesEveryStoredKeyInAnySlot) {
  // Filled to its bound, every slot of a group holds a key, the last ones
  // included; the check the encoder makes before a lookup must pass each.
  FingerprintIndex idx;
  ASSERT_TRUE(idx.init(20000));
  std::mt19937_64 rng(9);
  std::vector<uint64_t> keys;
  while (idx.size() < idx.bound()) {
    keys.push_back(rng());
    ASSERT_EQ(idx.insert(keys.back(), 1), 1);
  }
  for (uint64_t k : keys) ASSERT_TRUE(idx.may_contain(k)) << k;
  int passed = 0;
  for (int i = 0; i < 100000; ++i) passed += idx.may_contain(rng());
  EXPECT_LT(passed, 2000);  // absent keys: a tag or overflow filter match by chance
}
