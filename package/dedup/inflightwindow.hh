// Ring of the last 256 distinct chunks an encoder emitted or a decoder
// rehydrated within one payload, so that a repeat costs a one-byte index.
// Both ends perform the same adds in the same order, so positions agree.
#ifndef QUILO_DEDUP_INFLIGHTWINDOW_HH
#define QUILO_DEDUP_INFLIGHTWINDOW_HH

#include <cstddef>
#include <cstdint>
#include <vector>

class InflightWindow {
 public:
  static constexpr int SLOTS = 256;

  // chunk_len: the largest chunk stored (the chunk length W).
  explicit InflightWindow(size_t chunk_len);

  // Empties the window (cost proportional to the entries added since).
  void reset();

  // Adds fp with its chunk (len may be 0 for a placeholder). A zero
  // fingerprint is ignored; a fingerprint already present does not move.
  // The ring slot's previous occupant is evicted.
  void add(uint64_t fp, const uint8_t* chunk, size_t len);

  // Ring position of fp, or -1.
  int position_of(uint64_t fp) const;
  // Fingerprint held at ring position pos (0 = empty).
  uint64_t fingerprint_at(int pos) const { return items_[pos & 0xFF]; }
  // Chunk stored for ring position pos.
  const uint8_t* chunk_at(int pos) const { return chunks_.data() + static_cast<size_t>(pos & 0xFF) * chunk_len_; }
  size_t chunk_len_at(int pos) const { return lens_[pos & 0xFF]; }
  uint8_t next_position() const { return position_; }

 private:
  static constexpr unsigned MAP_SLOTS = 512;  // power of two, at most half full
  static unsigned home(uint64_t fp) { return static_cast<unsigned>((fp ^ (fp >> 29) ^ (fp >> 47)) & (MAP_SLOTS - 1)); }
  void map_erase(uint64_t fp);

  size_t chunk_len_;
  uint64_t items_[SLOTS] = {};
  uint16_t lens_[SLOTS] = {};
  uint8_t position_ = 0;
  int used_ = 0;                 // adds since reset, capped at SLOTS
  uint64_t map_keys_[MAP_SLOTS] = {};
  int16_t map_pos_[MAP_SLOTS];   // -1: empty
  std::vector<uint8_t> chunks_;
};

#endif
