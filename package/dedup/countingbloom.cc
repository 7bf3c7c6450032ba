#include "dedup/countingbloom.hh"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kSeed = 0x97C29B3A;

inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void hash_func(counting_bloom_t* bloom, const void* key, size_t len) {
  uint64_t out[2];
  MurmurHash3_x64_128(key, len, kSeed, out);
  uint64_t h1 = out[0] & 0xFFFFFFFFu;
  uint64_t h2 = out[0] >> 32;
  for (unsigned i = 0; i < bloom->nfuncs; ++i) {
    uint64_t pos = (h1 + i * h2) % bloom->counts_per_func;
    bloom->hashes[i] = i * static_cast<uint64_t>(bloom->counts_per_func) + pos;
  }
}

inline unsigned get_counter(const counting_bloom_t* b, uint64_t j) {
  uint8_t byte = b->bitmap[b->offset + j / 2];
  return (j % 2 == 0) ? (byte >> 4) : (byte & 0x0F);
}

inline void set_counter(counting_bloom_t* b, uint64_t j, unsigned v) {
  uint8_t& byte = b->bitmap[b->offset + j / 2];
  if (j % 2 == 0)
    byte = static_cast<uint8_t>((byte & 0x0F) | (v << 4));
  else
    byte = static_cast<uint8_t>((byte & 0xF0) | (v & 0x0F));
}

void add_to_count(counting_bloom_t* b, int delta) {
  uint32_t c;
  std::memcpy(&c, b->header + 8, 4);
  c += static_cast<uint32_t>(delta);
  std::memcpy(b->header + 8, &c, 4);
}

}  // namespace

void MurmurHash3_x64_128(const void* key, size_t len, uint32_t seed, uint64_t out[2]) {
  const uint8_t* data = static_cast<const uint8_t*>(key);
  const size_t nblocks = len / 16;
  uint64_t h1 = seed, h2 = seed;
  const uint64_t c1 = 0x87c37b91114253d5ULL;
  const uint64_t c2 = 0x4cf5ad432745937fULL;
  for (size_t i = 0; i < nblocks; ++i) {
    uint64_t k1 = load64(data + i * 16);
    uint64_t k2 = load64(data + i * 16 + 8);
    k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;
    h1 = rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;
    k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
    h2 = rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
  }
  const uint8_t* tail = data + nblocks * 16;
  uint64_t k1 = 0, k2 = 0;
  size_t rest = len & 15;
  for (size_t i = rest; i > 8; --i) k2 ^= static_cast<uint64_t>(tail[i - 1]) << ((i - 9) * 8);
  if (rest > 8) { k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2; }
  for (size_t i = rest < 8 ? rest : 8; i > 0; --i) k1 ^= static_cast<uint64_t>(tail[i - 1]) << ((i - 1) * 8);
  if (rest > 0) { k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1; }
  h1 ^= len; h2 ^= len;
  h1 += h2; h2 += h1;
  h1 = fmix64(h1); h2 = fmix64(h2);
  h1 += h2; h2 += h1;
  out[0] = h1;
  out[1] = h2;
}

counting_bloom_t* new_counting_bloom(unsigned capacity, double error_rate) {
  if (capacity == 0 || !(error_rate > 0.0 && error_rate < 1.0)) {
    std::fprintf(stderr, "Error, could not realloc a new bloom filter\n");
    return nullptr;
  }
  auto* b = new (std::nothrow) counting_bloom_t{};
  if (!b) {
    std::fprintf(stderr, "Error, could not realloc a new bloom filter\n");
    return nullptr;
  }
  const double ln2 = std::log(2.0);
  b->capacity = capacity;
  b->error_rate = error_rate;
  b->offset = 16;
  b->nfuncs = static_cast<unsigned>(std::ceil(std::log(1.0 / error_rate) / ln2));
  if (b->nfuncs == 0) b->nfuncs = 1;
  b->counts_per_func = static_cast<unsigned>(
      std::ceil(capacity * std::fabs(std::log(error_rate)) / (b->nfuncs * ln2 * ln2)));
  b->size = static_cast<uint64_t>(b->nfuncs) * b->counts_per_func;
  b->num_bytes = (b->size + 1) / 2 + 16;
  b->hashes = new (std::nothrow) uint64_t[b->nfuncs];
  b->bitmap = static_cast<uint8_t*>(std::calloc(b->num_bytes, 1));
  if (!b->hashes || !b->bitmap) {
    std::fprintf(stderr, "Error, could not realloc a new bloom filter\n");
    free_counting_bloom(b);
    return nullptr;
  }
  b->header = b->bitmap;
  return b;
}

int free_counting_bloom(counting_bloom_t* bloom) {
  if (!bloom) return 0;
  delete[] bloom->hashes;
  std::free(bloom->bitmap);
  delete bloom;
  return 0;
}

int counting_bloom_add(counting_bloom_t* bloom, const void* key, size_t len) {
  hash_func(bloom, key, len);
  for (unsigned i = 0; i < bloom->nfuncs; ++i) {
    unsigned v = get_counter(bloom, bloom->hashes[i]);
    if (v == 15) {
      std::fprintf(stderr, "Error, 4 bit int Overflow\n");
      continue;
    }
    set_counter(bloom, bloom->hashes[i], v + 1);
  }
  add_to_count(bloom, 1);
  return 0;
}

int counting_bloom_remove(counting_bloom_t* bloom, const void* key, size_t len) {
  hash_func(bloom, key, len);
  for (unsigned i = 0; i < bloom->nfuncs; ++i) {
    unsigned v = get_counter(bloom, bloom->hashes[i]);
    if (v == 0) {
      std::fprintf(stderr, "Error, Decrementing zero\n");
      continue;
    }
    set_counter(bloom, bloom->hashes[i], v - 1);
  }
  add_to_count(bloom, -1);
  return 0;
}

int counting_bloom_check(counting_bloom_t* bloom, const void* key, size_t len) {
  hash_func(bloom, key, len);
  for (unsigned i = 0; i < bloom->nfuncs; ++i)
    if (get_counter(bloom, bloom->hashes[i]) == 0) return 0;
  return 1;
}

uint32_t counting_bloom_count(const counting_bloom_t* bloom) {
  uint32_t c;
  std::memcpy(&c, bloom->header + 8, 4);
  return c;
}

unsigned counting_bloom_counter(const counting_bloom_t* bloom, uint64_t j) {
  return j < bloom->size ? get_counter(bloom, j) : 0;
}
