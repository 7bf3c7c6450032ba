// Rolling Karp-Rabin fingerprint of the byte cache.
//
// A chunk of W bytes c1..cW is named by the 64-bit value obtained by starting
// from 0 and, for each byte, multiplying by 37 and adding CharacterHash[byte]
// (all arithmetic modulo 2^64). The value travels on the wire and keys the
// on-disk datastore, so the table below must never change.
#ifndef QUILO_DEDUP_WHASHER_HH
#define QUILO_DEDUP_WHASHER_HH

#include <cstddef>
#include <cstdint>

class WHasher {
 public:
  enum HashMethod { KARP_RABIN = 2 };

  static constexpr uint64_t MULTIPLIER = 37;

  // Entries 0 to 3 and 255 are fixed values shared with every deployed peer.
  // Entries 4 to 254 are, in order, the first 251 outputs of splitmix64
  // seeded with 0x5155494C4F574231 ("QUILOWB1"): state += 0x9E3779B97F4A7C15,
  // z = state, z = (z ^ z>>30) * 0xBF58476D1CE4E5B9,
  // z = (z ^ z>>27) * 0x94D049BB133111EB, output z ^ z>>31.
  static const uint64_t CharacterHash[256];

  // Fingerprint of len bytes computed from scratch. Only method 2 exists;
  // W is the chunk length the caller works with (callers pass len == W).
  static uint64_t hash(const uint8_t* data, size_t len, int method = KARP_RABIN,
                       size_t W = 330);

  // 37^W modulo 2^64: the weight of the byte that leaves a W-byte window.
  static uint64_t out_weight(size_t W);
};

// Fingerprints of consecutive W-byte windows of a buffer. The byte that
// leaves a window is weighted through a table (CharacterHash[b] x 37^W,
// built once per chunk length); each window is rolled on from the one two
// before it, so the odd and the even windows form two independent chains of
// one multiply and one addition per step.
class WindowFingerprints {
 public:
  explicit WindowFingerprints(size_t W);
  size_t chunk_len() const { return W_; }
  // out[i] = WHasher::hash(data + i, W) for i in [from, to), rolled on from
  // out[from - 1] (from >= 1; windows up to to - 1 must lie within the data).
  void roll(const uint8_t* data, size_t from, size_t to, uint64_t* out) const;

 private:
  size_t W_;
  uint64_t leave_[256];
};

// The sliding form: keeps the fingerprint of the last W bytes fed.
class WRollingHash {
 public:
  explicit WRollingHash(size_t W) : out_mul_(WHasher::out_weight(W)) {}
  void reset() { h_ = 0; }
  // Feeds one byte while the window is still filling.
  void feed(uint8_t in) { h_ = h_ * WHasher::MULTIPLIER + WHasher::CharacterHash[in]; }
  // Slides the full window by one byte: `out` leaves, `in` enters.
  void roll(uint8_t out, uint8_t in) {
    h_ = h_ * WHasher::MULTIPLIER - WHasher::CharacterHash[out] * out_mul_ +
         WHasher::CharacterHash[in];
  }
  uint64_t value() const { return h_; }

 private:
  uint64_t out_mul_;
  uint64_t h_ = 0;
};

#endif
