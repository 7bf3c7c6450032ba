// Decoder of the deduplicated stream: rehydrates a payload from the local
// datastore, stores the new chunks the sender marked and reports the
// fingerprints of referenced chunks it does not hold. In sync mode every
// stored chunk the stream references is dropped from the index after use,
// so that the sender sends it in full again.
#ifndef QUILO_DEDUP_QUILODEDUPDECOMPRESS_HH
#define QUILO_DEDUP_QUILODEDUPDECOMPRESS_HH

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "dedup/dedupstream.hh"
#include "dedup/inflightwindow.hh"
#include "dedup/persistentcache.hh"

class QuiloDedupDecompress {
 public:
  // dropped: scratch for the fingerprints a sync-mode call forgets at its end.
  QuiloDedupDecompress(PersistentCache* cache, InflightWindow& window, unsigned chunk_len,
                       std::vector<uint64_t>& dropped);

  // False on a malformed token; true when the stream was read to its end
  // (a truncated last token ends it). Output beyond out's room is not
  // written but the whole stream is still read.
  bool w_decompress(const uint8_t* in, size_t len, dedupstream::ByteSink& out,
                    std::set<uint64_t>& missing, bool sync);

 private:
  bool decode(const uint8_t* in, size_t len, dedupstream::ByteSink& out,
              std::set<uint64_t>& missing, bool sync);
  // Starts loading the index lines of the chunks the stream names or
  // carries, so that their lookups do not wait for memory one after another;
  // keeps the fingerprints of the first new chunks for decode().
  void prefetch_refs(const uint8_t* in, size_t len);

  static constexpr size_t AHEAD_MAX = 32;
  size_t new_at_[AHEAD_MAX];  // stream offset of a new-chunk token
  uint64_t new_fp_[AHEAD_MAX];  // and the fingerprint of its chunk
  size_t new_count_ = 0;

 public:

 private:
  PersistentCache* cache_;
  InflightWindow& window_;
  std::vector<uint64_t>& dropped_;
  const int hash_method_ = 2;
  const size_t W_;
};

#endif
