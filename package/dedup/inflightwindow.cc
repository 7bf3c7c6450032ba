#include "dedup/inflightwindow.hh"

#include <algorithm>
#include <cstring>

InflightWindow::InflightWindow(size_t chunk_len) : chunk_len_(chunk_len), chunks_(SLOTS * chunk_len) {
  std::fill(std::begin(map_pos_), std::end(map_pos_), int16_t(-1));
}

void InflightWindow::reset() {
  // Only the slots filled since the last reset can be non-empty.
  for (int i = 0; i < used_; ++i) {
    int pos = (position_ - 1 - i) & 0xFF;
    if (items_[pos] != 0) map_erase(items_[pos]);
    items_[pos] = 0;
    lens_[pos] = 0;
  }
  used_ = 0;
  position_ = 0;
}

int InflightWindow::position_of(uint64_t fp) const {
  if (fp == 0) return -1;
  for (unsigned i = home(fp);; i = (i + 1) & (MAP_SLOTS - 1)) {
    if (map_pos_[i] < 0) return -1;
    if (map_keys_[i] == fp) return map_pos_[i];
  }
}

void InflightWindow::map_erase(uint64_t fp) {
  unsigned i = home(fp);
  while (map_pos_[i] >= 0 && map_keys_[i] != fp) i = (i + 1) & (MAP_SLOTS - 1);
  if (map_pos_[i] < 0) return;
  // Backward-shift deletion keeps every probe chain unbroken.
  unsigned hole = i;
  for (unsigned j = (i + 1) & (MAP_SLOTS - 1); map_pos_[j] >= 0; j = (j + 1) & (MAP_SLOTS - 1)) {
    unsigned h = home(map_keys_[j]);
    bool movable = (hole <= j) ? (h <= hole || h > j) : (h <= hole && h > j);
    if (movable) {
      map_keys_[hole] = map_keys_[j];
      map_pos_[hole] = map_pos_[j];
      hole = j;
    }
  }
  map_pos_[hole] = -1;
  map_keys_[hole] = 0;
}

void InflightWindow::add(uint64_t fp, const uint8_t* chunk, size_t len) {
  if (fp == 0 || position_of(fp) >= 0) return;
  int pos = position_;
  if (items_[pos] != 0) map_erase(items_[pos]);
  items_[pos] = fp;
  len = std::min(len, chunk_len_);
  lens_[pos] = static_cast<uint16_t>(len);
  if (len) std::memcpy(chunks_.data() + static_cast<size_t>(pos) * chunk_len_, chunk, len);
  unsigned i = home(fp);
  while (map_pos_[i] >= 0) i = (i + 1) & (MAP_SLOTS - 1);
  map_keys_[i] = fp;
  map_pos_[i] = static_cast<int16_t>(pos);
  position_ = static_cast<uint8_t>(position_ + 1);
  if (used_ < SLOTS) ++used_;
}
