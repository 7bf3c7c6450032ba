// Encoder of the deduplicated stream: slides a W-byte window over a payload,
// replaces windows already in the datastore by references and sends new
// windows once in full (queuing them for the local datastore too).
#ifndef QUILO_DEDUP_QUILODEDUPCOMPRESS_HH
#define QUILO_DEDUP_QUILODEDUPCOMPRESS_HH

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dedup/dedupstream.hh"
#include "dedup/inflightwindow.hh"
#include "dedup/persistentcache.hh"
#include "dedup/whasher.hh"

// The unmatched tail of the previous payload. Only tails of 1 to 255 bytes
// can start a continued chunk, so longer ones keep their length only.
struct DedupCarry {
  static constexpr size_t MAX = 255;
  size_t n = 0;
  uint8_t bytes[MAX];
  void set(const uint8_t* p, size_t len);
};

// Working memory of the encoder that outlives a call, so that encoding a
// payload allocates nothing once it has seen its longest payload; and the
// payload's window fingerprints, computed as the scan asks for them.
class DedupScanBuffers {
 public:
  explicit DedupScanBuffers(size_t chunk_len) : hasher_(chunk_len) {}
  // A window the scan looks up (by its first byte), with the scan's run
  // counter there.
  struct Candidate {
    uint32_t at;
    uint32_t runs;
  };

  // Starts on a payload of len bytes (at least the chunk length).
  void begin(const uint8_t* in, size_t len);
  // Fingerprint of the window starting at `at`. Windows asked for in
  // increasing order are rolled out in blocks; a window far ahead of the
  // last one, or behind the last one fingerprinted on its own, is hashed
  // on its own.
  uint64_t fingerprint(size_t at) {
    if (at - lo_ < hi_ - lo_) return fps_[at];
    return fill(at);
  }
  // For a guess ahead of the scan: known or cheaply rolled fingerprints go
  // through fingerprint(); anything else is hashed without moving on.
  uint64_t fingerprint_ahead(size_t at);
  uint64_t known(size_t at) const { return fps_[at]; }  // at was asked for before

  Candidate* candidates() { return cand_.data(); }
  // 32 bits each: an index of the largest datastore has fewer groups, and
  // stores of this type cannot change the 64-bit fields the scan keeps.
  uint32_t* groups() { return groups_.data(); }

 private:
  static constexpr size_t ROLL_BLOCK = 64, ROLL_REACH = 128;
  bool rollable(size_t at) const { return hi_ > lo_ && at >= hi_ && at - hi_ < ROLL_REACH; }
  uint64_t fill(size_t at);

  WindowFingerprints hasher_;
  const uint8_t* in_ = nullptr;
  size_t windows_ = 0;
  size_t lo_ = 0, hi_ = 0;       // fps_[lo_, hi_) are known
  std::vector<uint64_t> fps_;    // fingerprint of the window starting at each offset
  std::vector<Candidate> cand_;
  std::vector<uint32_t> groups_;  // index group of each candidate, once requested
};

class QuiloDedupCompress {
 public:
  // window: scratch owned by the engine, emptied here; scratch: W bytes;
  // queued: receives the fingerprints of the chunks this call queues;
  // buffers: the engine's scan buffers (null: the encoder keeps its own).
  QuiloDedupCompress(PersistentCache* cache, InflightWindow& window, uint8_t* scratch,
                     unsigned chunk_len, std::vector<uint64_t>& queued,
                     DedupScanBuffers* buffers = nullptr);

  // Appends the encoding of in[0..len) to out and leaves the new tail in carry.
  void w_compress(dedupstream::ByteSink& out, const uint8_t* in, size_t len, DedupCarry& carry,
                  int level);

 private:
  PersistentCache* cache_;
  InflightWindow& window_;
  uint8_t* scratch_;
  std::vector<uint64_t>& queued_;
  std::unique_ptr<DedupScanBuffers> own_;
  DedupScanBuffers& buf_;
  const bool send_new_ = true;
  const int hash_method_ = 2;
  const size_t W_;
};

#endif
