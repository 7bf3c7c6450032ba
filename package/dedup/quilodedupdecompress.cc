#include "dedup/quilodedupdecompress.hh"

#include <cstring>

#include "dedup/whasher.hh"

using namespace dedupstream;

QuiloDedupDecompress::QuiloDedupDecompress(PersistentCache* cache, InflightWindow& window,
                                           unsigned chunk_len, std::vector<uint64_t>& dropped)
    : cache_(cache), window_(window), dropped_(dropped), W_(chunk_len) {
  window_.reset();
}

bool QuiloDedupDecompress::w_decompress(const uint8_t* in, size_t len, ByteSink& out,
                                        std::set<uint64_t>& missing, bool sync) {
  dropped_.clear();
  prefetch_refs(in, len);
  bool ok = decode(in, len, out, missing, sync);
  // Sync mode forgets the referenced chunks once the whole packet is
  // decoded, so a chunk named twice in one packet resolves both times.
  for (uint64_t fp : dropped_) cache_->remove(fp);
  dropped_.clear();
  return ok;
}

void QuiloDedupDecompress::prefetch_refs(const uint8_t* in, size_t len) {
  uint64_t fps[AHEAD_MAX];
  size_t n = 0;
  new_count_ = 0;
  // Walks the tokens as decode() does; every step moves forward or stops.
  // A tag line starts loading as soon as its fingerprint is known, so the
  // hashing of the new chunks that follow overlaps it.
  for (size_t i = 0; i < len && n < AHEAD_MAX && new_count_ < AHEAD_MAX;) {
    const void* e = std::memchr(in + i, ESC, len - i);
    if (!e) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(e) - in);
    const size_t left = len - i;
    if (left < 2) break;
    const uint8_t type = in[i + 1];
    if (type == T_LITERAL) {
      i += 2;
      continue;
    }
    uint64_t fp;
    if (type == T_NEW && left >= W_ + 2) {
      fp = WHasher::hash(in + i + 2, W_, hash_method_, W_);
      new_at_[new_count_] = i;
      new_fp_[new_count_++] = fp;
      i += W_ + 2;
    } else if (type == T_WINDOW) {
      i += 3;
      continue;
    } else if (type == T_STORED && left >= 10) {
      fp = get_be64(in + i + 2);
      i += 10;
    } else if (type == T_CONTINUED && left >= 11) {
      fp = get_be64(in + i + 3);
      i += 11;
    } else {
      break;
    }
    cache_->prefetch(fp);
    fps[n++] = fp;
  }
  // With the tag lines arriving, the key and record lines of the slots the
  // tags point at.
  for (size_t k = 0; k < n; ++k) cache_->prefetch_entry(fps[k]);
}

bool QuiloDedupDecompress::decode(const uint8_t* in, size_t len, ByteSink& out,
                                  std::set<uint64_t>& missing, bool sync) {
  const size_t W = W_;
  size_t i = 0, next_new = 0;
  while (i < len) {
    const void* e = std::memchr(in + i, ESC, len - i);
    if (!e) {
      out.put(in + i, len - i);
      return true;
    }
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(e) - in);
    out.put(in + i, at - i);
    i = at;
    const size_t left = len - i;
    if (left < 2) return true;  // a lone escape byte at the end
    switch (in[i + 1]) {
      case T_LITERAL:
        out.put(ESC);
        i += 2;
        break;
      case T_NEW: {
        if (left < W + 2) return true;
        const uint8_t* chunk = in + i + 2;
        // The walk ahead already fingerprinted the first new chunks.
        const bool known = next_new < new_count_ && new_at_[next_new] == i;
        const uint64_t fp = known ? new_fp_[next_new++] : WHasher::hash(chunk, W, hash_method_, W);
        PersistentCache::Hit hit;
        const uint8_t* stored = cache_->lookup(fp, &hit);
        if (!stored) {
          cache_->queue(fp, chunk);
        } else if (std::memcmp(stored, chunk, W) != 0) {
          dedup_printf("Debug : E10 During rehydrate. Syncing local store");
          cache_->replace(hit, fp, chunk);
        }
        window_.add(fp, chunk, W);
        out.put(chunk, W);
        i += W + 2;
        break;
      }
      case T_STORED: {
        if (left < 10) return true;
        const uint64_t fp = get_be64(in + i + 2);
        const uint8_t* stored = cache_->lookup(fp);
        if (stored) {
          out.put(stored, W);
          window_.add(fp, stored, W);
          if (sync) dropped_.push_back(fp);
        } else {
          missing.insert(fp);
          window_.add(fp, nullptr, 0);  // keeps later window indexes aligned
        }
        i += 10;
        break;
      }
      case T_WINDOW: {
        if (left < 3) return true;
        const int pos = in[i + 2];
        if (window_.fingerprint_at(pos) == 0) {
          dedup_printf("Debug : E11 Corrupt input stream");
          return false;
        }
        out.put(window_.chunk_at(pos), window_.chunk_len_at(pos));
        i += 3;
        break;
      }
      case T_CONTINUED: {
        if (left < 11) return true;
        const size_t skip = static_cast<size_t>(in[i + 2]) + 1;
        const uint64_t fp = get_be64(in + i + 3);
        const uint8_t* stored = cache_->lookup(fp);
        if (stored) {
          if (skip < W) out.put(stored + skip, W - skip);
          if (sync) dropped_.push_back(fp);
        } else {
          missing.insert(fp);
        }
        i += 11;
        break;
      }
      default:
        dedup_printf("Debug : E12 Corrupt input stream");
        return false;
    }
  }
  return true;
}
