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

 public:

 private:
  PersistentCache* cache_;
  InflightWindow& window_;
  std::vector<uint64_t>& dropped_;
  const int hash_method_ = 2;
  const size_t W_;
};

#endif
