#include "dedup/fingerprintindex.hh"

#include <sys/mman.h>

FingerprintIndex::~FingerprintIndex() {
  if (groups_) munmap(groups_, memory_bytes());
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
  groups_ = static_cast<Group*>(p);
  size_ = 0;
  return true;
}

bool FingerprintIndex::locate(uint64_t key, uint64_t& group, int& slot) const {
  if (!groups_) return false;
  const uint64_t home = group_of(key);
  const Group& h = groups_[home];
  for (int i = 0; i < SLOTS; ++i)
    if (h.recs[i] && h.keys[i] == key) {
      group = home;
      slot = i;
      return true;
    }
  uint32_t remaining = h.overflow;
  for (uint64_t g = next(home); remaining > 0 && g != home; g = next(g)) {
    const Group& G = groups_[g];
    for (int i = 0; i < SLOTS; ++i) {
      if (!G.recs[i]) continue;
      if (G.keys[i] == key) {
        group = g;
        slot = i;
        return true;
      }
      if (group_of(G.keys[i]) == home && --remaining == 0) return false;
    }
  }
  return false;
}

int32_t FingerprintIndex::find(uint64_t key) const {
  uint64_t g;
  int s;
  if (!locate(key, g, s)) return -1;
  return static_cast<int32_t>(groups_[g].recs[s] - 1);
}

int FingerprintIndex::insert(uint64_t key, int32_t record) {
  if (!groups_ || record < 0) return -1;
  uint64_t g;
  int s;
  if (locate(key, g, s)) {
    groups_[g].recs[s] = static_cast<uint32_t>(record) + 1;
    return 0;
  }
  if (size_ >= bound_) return -1;
  const uint64_t home = group_of(key);
  for (g = home;; g = next(g)) {
    Group& G = groups_[g];
    for (int i = 0; i < SLOTS; ++i) {
      if (G.recs[i]) continue;
      G.keys[i] = key;
      G.recs[i] = static_cast<uint32_t>(record) + 1;
      if (g != home) ++groups_[home].overflow;
      ++size_;
      return 1;
    }
  }
}

void FingerprintIndex::clear_slot(uint64_t home, uint64_t group, int slot) {
  groups_[group].recs[slot] = 0;
  groups_[group].keys[slot] = 0;
  if (group != home) --groups_[home].overflow;
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
  if (!locate(key, g, s) || groups_[g].recs[s] != static_cast<uint32_t>(record) + 1) return false;
  clear_slot(group_of(key), g, s);
  return true;
}
