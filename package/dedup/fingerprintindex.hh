// In-memory index of the datastore: chunk fingerprint -> record number.
//
// Sized once at start (next power of two at or above 1.31 x capacity buckets)
// and never grown in service; inserts beyond 0.77 of the buckets are refused.
// Buckets are laid out five to a 64-byte group (keys, record numbers and an
// overflow count share one cache line), so a lookup usually costs one memory
// miss: a key lives in its home group unless that group was full, and the
// home group counts how many of its keys live further on, so a miss in a
// group with no overflow ends the search there.
#ifndef QUILO_DEDUP_FINGERPRINTINDEX_HH
#define QUILO_DEDUP_FINGERPRINTINDEX_HH

#include <cstddef>
#include <cstdint>

class FingerprintIndex {
 public:
  static constexpr int SLOTS = 5;

  FingerprintIndex() = default;
  ~FingerprintIndex();
  FingerprintIndex(const FingerprintIndex&) = delete;
  FingerprintIndex& operator=(const FingerprintIndex&) = delete;

  // Presizes for `capacity` records; false when the memory cannot be had.
  bool init(uint64_t capacity);

  // Record number of key, or -1.
  int32_t find(uint64_t key) const;
  // Inserts (1) or replaces (0); -1 when the table is at its bound and the
  // key is not stored.
  int insert(uint64_t key, int32_t record);
  // Removes key; false when absent.
  bool erase(uint64_t key);
  // Removes key only while it still names `record`.
  bool erase_if(uint64_t key, int32_t record);

  // Starts loading key's home group. Written as an instruction the compiler
  // must keep: GCC's dead-code pass drops a plain __builtin_prefetch here.
  void prefetch(uint64_t key) const {
    const Group* g = &groups_[group_of(key)];
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*reinterpret_cast<const char*>(g)));
#else
    __builtin_prefetch(g);
#endif
  }

  uint64_t size() const { return size_; }
  uint64_t buckets() const { return buckets_; }
  uint64_t bound() const { return bound_; }
  uint64_t memory_bytes() const { return ngroups_ * sizeof(Group); }

  // The home bucket hash of a key (truncated to 32 bits).
  static uint32_t bucket_hash(uint64_t key) {
    return static_cast<uint32_t>((key << 11) ^ (key >> 33) ^ key);
  }

 private:
  struct alignas(64) Group {
    uint64_t keys[SLOTS];
    uint32_t recs[SLOTS];   // record number + 1; 0 = empty
    uint32_t overflow;      // keys homed here that live in later groups
  };
  static_assert(sizeof(Group) == 64);

  uint64_t group_of(uint64_t key) const {
    return (static_cast<uint64_t>(bucket_hash(key)) * ngroups_) >> 32;
  }
  uint64_t next(uint64_t g) const { return g + 1 == ngroups_ ? 0 : g + 1; }
  // Locates key: sets group and slot, returns false when absent.
  bool locate(uint64_t key, uint64_t& group, int& slot) const;
  void clear_slot(uint64_t home, uint64_t group, int slot);

  Group* groups_ = nullptr;
  uint64_t ngroups_ = 0;
  uint64_t buckets_ = 0;
  uint64_t bound_ = 0;
  uint64_t size_ = 0;
};

#endif
