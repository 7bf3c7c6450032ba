// In-memory index of the datastore: chunk fingerprint -> record number.
//
// Sized once at start (next power of two at or above 1.31 x capacity buckets)
// and never grown in service; inserts beyond 0.77 of the buckets are refused.
//
// Layout: the buckets are split into groups of 28. Each group has one 64-byte
// tag line (a 16-bit tag of every key it holds, 0 = empty slot; a count of
// the keys homed here that live in later groups, how far away the farthest
// of them lives and a 16-bit filter of their tags) and a slot block with the
// full keys and record numbers. The encoder looks up nearly every byte
// position and almost all of those lookups miss: the tag line alone answers
// them, so such a lookup costs one memory access. The slot block is read only
// when a tag matches (a stored chunk, or one key in about 2000 by chance), and
// the tag lines of the next groups only when the home group overflowed with
// a key whose tag passes the filter (about one lookup in 200 at the working
// load).
#ifndef QUILO_DEDUP_FINGERPRINTINDEX_HH
#define QUILO_DEDUP_FINGERPRINTINDEX_HH

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

class FingerprintIndex {
 public:
  static constexpr int SLOTS = 28;

  FingerprintIndex() = default;
  ~FingerprintIndex();
  FingerprintIndex(const FingerprintIndex&) = delete;
  FingerprintIndex& operator=(const FingerprintIndex&) = delete;

  // Presizes for `capacity` records; false when the memory cannot be had.
  bool init(uint64_t capacity);
  // Backs the whole index with memory now, rather than page by page as
  // inserts first touch it: the index of a new datastore fills at random
  // places, and each first touch of a 2 MB page stops the inserting thread
  // while the kernel zeroes it. For the thread that prepares the index,
  // before anyone else uses it; returns early once *stop is true.
  void populate(const std::atomic<bool>* stop);

  // Record number of key, or -1.
  int32_t find(uint64_t key) const;
  // Inserts (1) or replaces (0); -1 when the table is at its bound and the
  // key is not stored.
  int insert(uint64_t key, int32_t record);
  // Removes key; false when absent.
  bool erase(uint64_t key);
  // Removes key only while it still names `record`.
  bool erase_if(uint64_t key, int32_t record);

  // False when key is certainly absent; reads only the key's tag line. True
  // means find() has to decide.
  bool may_contain(uint64_t key) const { return tags_ && may_contain(key, group_of(key)); }
  // The same with key's group (group_of(key)) already at hand.
  bool may_contain(uint64_t key, uint64_t group) const {
    if (!tags_) return false;
    const TagLine& t = tags_[group];
    const uint16_t tag = tag_of(key);
    return (t.spill >> (tag & 15) & 1) != 0 || any_match(t, tag);
  }

  // Starts loading key's tag line.
  void prefetch(uint64_t key) const {
    if (tags_) prefetch_line(&tags_[group_of(key)]);
  }
  // Starts loading the tag line of a group into the second-level cache;
  // returns the group. A core has only about a dozen first-level fill
  // buffers, and a scan that requests lines far ahead into the first level
  // stalls whenever they are all taken; the second level keeps several
  // times as many requests in flight, and the tag check then reads the line
  // from there in a few nanoseconds.
  uint64_t prefetch_group(uint64_t group) const {
    if (tags_) prefetch_line_l2(&tags_[group]);
    return group;
  }
  // The group whose tag line answers for key.
  uint64_t group_of(uint64_t key) const {
    return (static_cast<uint64_t>(bucket_hash(key)) * ngroups_) >> 32;
  }
  // Reads key's tag line and starts loading the key and record of the first
  // slot whose tag matches (for a lookup that is expected to succeed).
  void prefetch_entry(uint64_t key) const {
    if (!tags_) return;
    const uint64_t g = group_of(key);
    const uint32_t m = match_mask(tags_[g], tag_of(key));
    if (!m) return;
    const int i = __builtin_ctz(m);
    prefetch_line(&slots_[g].keys[i]);
    prefetch_line(&slots_[g].recs[i]);
  }

  // Reads key's tag line and starts loading what insert(key) writes: the
  // slot of a matching tag (a replace) or else the first empty slot of the
  // home group. For batches of inserts whose tag lines were prefetched.
  void prefetch_insert(uint64_t key) const {
    if (!tags_) return;
    const uint64_t g = group_of(key);
    uint32_t m = match_mask(tags_[g], tag_of(key));
    if (!m) m = match_mask(tags_[g], 0);
    if (!m) return;
    const int i = __builtin_ctz(m);
    prefetch_line(&slots_[g].keys[i]);
    prefetch_line(&slots_[g].recs[i]);
  }

  uint64_t size() const { return size_; }
  uint64_t buckets() const { return buckets_; }
  uint64_t bound() const { return bound_; }
  uint64_t memory_bytes() const { return ngroups_ * (sizeof(TagLine) + sizeof(SlotBlock)); }

  // The home bucket hash of a key (truncated to 32 bits).
  static uint32_t bucket_hash(uint64_t key) {
    return static_cast<uint32_t>((key << 11) ^ (key >> 33) ^ key);
  }

 private:
  struct alignas(64) TagLine {
    uint16_t tags[SLOTS];  // 0 = empty
    uint32_t overflow;     // keys homed here that live in later groups
    // Groups after this one that may hold keys homed here (at least the
    // farthest such key's distance; REACH_UNKNOWN: walk by count instead).
    uint16_t reach;
    // Bit (tag & 15) set for the tag of every key homed here that lives in
    // a later group; cleared when none is left.
    uint16_t spill;
  };
  static constexpr uint16_t REACH_UNKNOWN = 0xFFFF;
  static_assert(sizeof(TagLine) == 64);
  struct SlotBlock {
    uint64_t keys[SLOTS];
    uint32_t recs[SLOTS];
  };

  // Written as an instruction the compiler must keep: GCC's dead-code pass
  // drops a plain __builtin_prefetch in these callers.
  static void prefetch_line(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p);
#endif
  }
  static void prefetch_line_l2(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht2 %0" : : "m"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p, 0, 1);
#endif
  }

  // 16-bit tag from the whole key (independent of the group choice); never 0.
  static uint16_t tag_of(uint64_t key) {
    auto t = static_cast<uint16_t>((key * 0x9E3779B97F4A7C15ULL) >> 48);
    return t ? t : 1;
  }
  // Bit i set when slot i holds tag t.
  static uint32_t match_mask(const TagLine& line, uint16_t t) {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi16(static_cast<short>(t));
    const auto* v = reinterpret_cast<const __m128i*>(&line);
    // Equal lanes are all ones; packing two compares gives one byte per slot.
    __m128i lo = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_load_si128(v), want),
                                 _mm_cmpeq_epi16(_mm_load_si128(v + 1), want));
    __m128i hi = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_load_si128(v + 2), want),
                                 _mm_cmpeq_epi16(_mm_load_si128(v + 3), want));
    uint32_t out = static_cast<uint32_t>(_mm_movemask_epi8(lo)) |
                   static_cast<uint32_t>(_mm_movemask_epi8(hi)) << 16;
    return out & ((1u << SLOTS) - 1);  // lanes 28 to 31 hold the other fields
#else
    uint32_t out = 0;
    for (int i = 0; i < SLOTS; ++i) out |= static_cast<uint32_t>(line.tags[i] == t) << i;
    return out;
#endif
  }

  // match_mask(line, t) != 0, for the lookups that almost always miss: the
  // compares are merged before the one mask is taken.
  static bool any_match(const TagLine& line, uint16_t t) {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi16(static_cast<short>(t));
    const auto* v = reinterpret_cast<const __m128i*>(&line);
    // Only the low half of the last vector holds tags; the upper half loads
    // as zero, which no tag equals.
    const __m128i any = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi16(_mm_load_si128(v), want),
                     _mm_cmpeq_epi16(_mm_load_si128(v + 1), want)),
        _mm_or_si128(_mm_cmpeq_epi16(_mm_load_si128(v + 2), want),
                     _mm_cmpeq_epi16(_mm_loadl_epi64(v + 3), want)));
    return _mm_movemask_epi8(any) != 0;
#else
    return match_mask(line, t) != 0;
#endif
  }

  uint64_t next(uint64_t g) const { return g + 1 == ngroups_ ? 0 : g + 1; }
  // Locates key: sets group and slot, returns false when absent.
  bool locate(uint64_t key, uint64_t& group, int& slot) const;
  void clear_slot(uint64_t home, uint64_t group, int slot);

  TagLine* tags_ = nullptr;
  SlotBlock* slots_ = nullptr;
  uint64_t ngroups_ = 0;
  uint64_t buckets_ = 0;
  uint64_t bound_ = 0;
  uint64_t size_ = 0;
};

#endif
