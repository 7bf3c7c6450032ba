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
// payload allocates nothing once it has seen its longest payload.
class DedupScanBuffers {
 public:
  explicit DedupScanBuffers(size_t chunk_len) : hasher(chunk_len) {}
  // A window the scan looks up (by its first byte), with the scan's run
  // counter there.
  struct Candidate {
    uint32_t at;
    uint32_t runs;
  };
  void reserve(size_t len) {
    if (fps.size() < len) {
      fps.resize(len);
      cand.resize(len);
      groups.resize(len);
    }
  }
  WindowFingerprints hasher;
  std::vector<uint64_t> fps;   // fingerprint of the window starting at each offset
  std::vector<Candidate> cand;
  std::vector<uint64_t> groups;  // index group of each candidate, once requested
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
