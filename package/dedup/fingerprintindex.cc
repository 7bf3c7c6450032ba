#include "dedup/fingerprintindex.hh"

#include <sys/mman.h>

#include <algorithm>

FingerprintIndex::~FingerprintIndex() {
  if (tags_) munmap(tags_, memory_bytes());
}

bool FingerprintIndex::init(uint64_t capacity) {
  uint64_t want = static_cast<uint64_t>(static_cast<double>(capacity) * 1.31);
  uint64_t b = 1;
  while (b < want) b <<= 1;
  if (b > (uint64_t(1) << 34)) return false;
  buckets_ = b;
  bound_ = static_cast<uint64_t>(static_cast<double>(b) * 0.77 + 0.5);
  ngroups_ = (b + SLOTS - 1) / SLOTS;
  // Anonymous pages read as zero (all slots empty) and are only backed
  // by memory once touched.
  void* p = mmap(nullptr, memory_bytes(), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    ngroups_ = 0;
    return false;
  }
  // Huge pages where the system allows them on request: one TLB entry then
  // covers 2 MB of index instead of 4 KB, so a lookup is one memory miss
  // rather than a page walk and a miss.
  madvise(p, memory_bytes(), MADV_HUGEPAGE);
  tags_ = static_cast<TagLine*>(p);
  slots_ = reinterpret_cast<SlotBlock*>(static_cast<char*>(p) + ngroups_ * sizeof(TagLine));
  size_ = 0;
  return true;
}

void FingerprintIndex::populate(const std::atomic<bool>* stop) {
  if (!tags_) return;
  auto* p = reinterpret_cast<char*>(tags_);
  const uint64_t bytes = memory_bytes();
  constexpr uint64_t STEP = uint64_t(32) << 20;
  for (uint64_t off = 0; off < bytes; off += STEP) {
    if (stop && stop->load(std::memory_order_relaxed)) return;
    const uint64_t n = std::min(STEP, bytes - off);
    if (madvise(p + off, n, MADV_POPULATE_WRITE) == 0) continue;
    // Kernels without MADV_POPULATE_WRITE: a write to every page does the
    // same (the pages hold zeros, and nobody else uses them yet).
    for (uint64_t i = 0; i < n; i += 4096) static_cast<volatile char*>(p + off)[i] = 0;
  }
}

bool FingerprintIndex::locate(uint64_t key, uint64_t& group, int& slot) const {
  if (!tags_) return false;
  const uint64_t home = group_of(key);
  const uint16_t tag = tag_of(key);
  for (uint32_t m = match_mask(tags_[home], tag); m; m &= m - 1) {
    int i = __builtin_ctz(m);
    if (slots_[home].keys[i] == key) {
      group = home;
      slot = i;
      return true;
    }
  }
  const TagLine& h = tags_[home];
  if (h.overflow == 0 || !(h.spill >> (tag & 15) & 1)) return false;
  if (h.reach != REACH_UNKNOWN) {
    // Displaced keys live within `reach` groups after home: their tag lines
    // answer, the keys are read only on a tag match.
    uint64_t g = home;
    for (unsigned d = 1; d <= h.reach; ++d) {
      g = next(g);
      for (uint32_t m = match_mask(tags_[g], tag); m; m &= m - 1) {
        int i = __builtin_ctz(m);
        if (slots_[g].keys[i] == key) {
          group = g;
          slot = i;
          return true;
        }
      }
    }
    return false;
  }
  // Far-flung chains: walk until every key homed here has been seen.
  uint32_t remaining = h.overflow;
  for (uint64_t g = next(home); remaining > 0 && g != home; g = next(g)) {
    const TagLine& t = tags_[g];
    const SlotBlock& b = slots_[g];
    for (int i = 0; i < SLOTS; ++i) {
      if (!t.tags[i]) continue;
      if (b.keys[i] == key) {
        group = g;
        slot = i;
        return true;
      }
      if (group_of(b.keys[i]) == home && --remaining == 0) return false;
    }
  }
  return false;
}

int32_t FingerprintIndex::find(uint64_t key) const {
  uint64_t g;
  int s;
  if (!locate(key, g, s)) return -1;
  return static_cast<int32_t>(slots_[g].recs[s]);
}

int FingerprintIndex::insert(uint64_t key, int32_t record) {
  if (!tags_ || record < 0) return -1;
  uint64_t g;
  int s;
  if (locate(key, g, s)) {
    slots_[g].recs[s] = static_cast<uint32_t>(record);
    return 0;
  }
  if (size_ >= bound_) return -1;
  // bound_ < ngroups_ * SLOTS, so a free slot exists and the walk ends.
  const uint64_t home = group_of(key);
  for (g = home;; g = next(g)) {
    TagLine& t = tags_[g];
    if (const uint32_t empty = match_mask(t, 0)) {
      const int i = __builtin_ctz(empty);
      t.tags[i] = tag_of(key);
      slots_[g].keys[i] = key;
      slots_[g].recs[i] = static_cast<uint32_t>(record);
      if (g != home) {
        TagLine& h = tags_[home];
        ++h.overflow;
        h.spill = static_cast<uint16_t>(h.spill | 1u << (tag_of(key) & 15));
        uint64_t d = g > home ? g - home : g + ngroups_ - home;
        if (h.reach != REACH_UNKNOWN) h.reach = static_cast<uint16_t>(std::max<uint64_t>(h.reach, std::min<uint64_t>(d, REACH_UNKNOWN)));
      }
      ++size_;
      return 1;
    }
  }
}

void FingerprintIndex::clear_slot(uint64_t home, uint64_t group, int slot) {
  tags_[group].tags[slot] = 0;
  slots_[group].keys[slot] = 0;
  slots_[group].recs[slot] = 0;
  if (group != home && --tags_[home].overflow == 0) {
    tags_[home].reach = 0;
    tags_[home].spill = 0;
  }
  --size_;
}

bool FingerprintIndex::erase(uint64_t key) {
  uint64_t g;
  int s;
  if (!locate(key, g, s)) return false;
  clear_slot(group_of(key), g, s);
  return true;
}

bool FingerprintIndex::erase_if(uint64_t key, int32_t record) {
  uint64_t g;
  int s;
  if (!locate(key, g, s) || slots_[g].recs[s] != static_cast<uint32_t>(record)) return false;
  clear_slot(group_of(key), g, s);
  return true;
}
