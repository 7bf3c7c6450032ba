// Counting bloom filter with 4-bit counters: answers "certainly not stored"
// for a fingerprint without touching the disk. Kept in step with the
// datastore index on every insert and delete.
#ifndef QUILO_DEDUP_COUNTINGBLOOM_HH
#define QUILO_DEDUP_COUNTINGBLOOM_HH

#include <cstddef>
#include <cstdint>

struct counting_bloom_t {
  uint8_t* header;             // first 16 bytes of `bitmap`; bytes 8..11: element count
  unsigned capacity;
  uint64_t offset;             // counters start 16 bytes into the block
  unsigned counts_per_func;
  uint64_t* hashes;            // scratch: counter index per function for the current key
  unsigned nfuncs;
  uint64_t size;               // nfuncs * counts_per_func counters
  uint64_t num_bytes;          // (size + 1) / 2 + 16
  double error_rate;
  uint8_t* bitmap;             // header, then two counters per byte (even index: high nibble)
};

// MurmurHash3, x64 128-bit variant; out receives two 64-bit words.
void MurmurHash3_x64_128(const void* key, size_t len, uint32_t seed, uint64_t out[2]);

counting_bloom_t* new_counting_bloom(unsigned capacity, double error_rate);
int free_counting_bloom(counting_bloom_t* bloom);
int counting_bloom_add(counting_bloom_t* bloom, const void* key, size_t len);
int counting_bloom_remove(counting_bloom_t* bloom, const void* key, size_t len);
int counting_bloom_check(counting_bloom_t* bloom, const void* key, size_t len);

// Count of elements added minus removed, as kept in the header.
uint32_t counting_bloom_count(const counting_bloom_t* bloom);
// Value of counter j (tests and diagnostics).
unsigned counting_bloom_counter(const counting_bloom_t* bloom, uint64_t j);

#endif
