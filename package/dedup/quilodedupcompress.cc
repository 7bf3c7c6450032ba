#include "dedup/quilodedupcompress.hh"

#include <algorithm>
#include <cstring>

#include "dedup/whasher.hh"

using namespace dedupstream;

void DedupCarry::set(const uint8_t* p, size_t len) {
  n = len;
  if (len <= MAX) std::memcpy(bytes, p, len);
}

QuiloDedupCompress::QuiloDedupCompress(PersistentCache* cache, InflightWindow& window,
                                       uint8_t* scratch, unsigned chunk_len,
                                       std::vector<uint64_t>& queued)
    : cache_(cache), window_(window), scratch_(scratch), queued_(queued), W_(chunk_len) {
  window_.reset();
  queued_.clear();
}

namespace {

// Whether the window ending with pending byte number s is looked up.
// c counts the runs that reached W + 1 pending bytes.
inline bool is_candidate(int level, unsigned c, size_t s, size_t W) {
  switch (level) {
    case 0: return false;
    case 1: return c > 1 ? s % W == 0 : true;
    case 2: return !(c > 1 && (s & 1));
    case 3: return !(c > 2 && (s & 1));
    default: return true;
  }
}

}  // namespace

void QuiloDedupCompress::w_compress(ByteSink& out, const uint8_t* in, size_t len,
                                    DedupCarry& carry, int level) {
  const size_t W = W_;
  if (len == 0) return;
  if (len < W) {
    out.literals(in, len);
    return;
  }

  size_t start = 0;
  if (carry.n >= 1 && carry.n <= DedupCarry::MAX) {
    // Does the tail of the previous payload complete a stored chunk?
    const size_t n = carry.n;
    std::memcpy(scratch_, carry.bytes, n);
    std::memcpy(scratch_ + n, in, W - n);
    uint64_t fp = WHasher::hash(scratch_, W, hash_method_, W);
    const uint8_t* stored = cache_->lookup(fp);
    if (stored && std::memcmp(stored, scratch_, W) == 0) {
      uint8_t tok[11] = {ESC, T_CONTINUED, static_cast<uint8_t>(n - 1)};
      put_be64(tok + 3, fp);
      out.put(tok, sizeof tok);
      start = W - n;
    }
  }
  carry.n = 0;

  size_t base = start;  // first pending byte
  unsigned c = 0;
  bool has_nc = false;  // a window waiting to be sent as a new chunk
  uint64_t nc_fp = 0;
  size_t nc_at = 0;

  auto emit_new = [&]() {
    out.literals(in + base, nc_at - base);
    out.put2(ESC, T_NEW);
    out.put(in + nc_at, W);
    if (send_new_) {
      cache_->queue(nc_fp, in + nc_at);
      queued_.push_back(nc_fp);
    }
    window_.add(nc_fp, in + nc_at, W);
    base = nc_at + W;
    has_nc = false;
  };
  auto emit_ref = [&](size_t at, uint64_t fp) {
    out.literals(in + base, at - base);
    int pos = window_.position_of(fp);
    if (pos >= 0) {
      uint8_t tok[3] = {ESC, T_WINDOW, static_cast<uint8_t>(pos)};
      out.put(tok, 3);
    } else {
      uint8_t tok[10] = {ESC, T_STORED};
      put_be64(tok + 2, fp);
      out.put(tok, 10);
      window_.add(fp, in + at, W);
    }
    base = at + W;
  };

  // Window fingerprints depend only on the bytes, so they are computed in
  // tight runs ahead of the scan, into a ring indexed by window end position.
  // The scan visits candidate positions only, and before it looks one up it
  // prefetches the index lines of the candidates it expects next (assuming
  // no match in between), so lookups overlap instead of waiting for memory
  // one by one. Which windows are looked up, and in what order, is exactly
  // as in a byte-by-byte scan; only the memory accesses start earlier.
  constexpr size_t RING = 1024, MASK = RING - 1;
  constexpr size_t NEAR = 24;  // prefetch distance where candidates are dense
  uint64_t ring[RING];
  const uint64_t* const T = WHasher::CharacterHash;
  const uint64_t out_mul = WHasher::out_weight(W);
  uint64_t h_roll = 0;
  const bool scan = level != 0 && len - start >= W;
  size_t q = start;  // next window end position to fingerprint
  if (scan) {
    for (; q < start + W; ++q) h_roll = h_roll * WHasher::MULTIPLIER + T[in[q]];
    ring[(q - 1) & MASK] = h_roll;
  }
  auto fingerprint_to = [&](size_t target) {
    if (target >= len) target = len - 1;
    for (; q <= target; ++q) {
      h_roll = h_roll * WHasher::MULTIPLIER - T[in[q - W]] * out_mul + T[in[q]];
      ring[q & MASK] = h_roll;
    }
  };
  size_t pf = start + W - 1;  // next position considered for a prefetch
  size_t ahead_at = 0;        // a window end fingerprinted ahead (0: none)
  uint64_t ahead_fp = 0;

  for (size_t p = start + W - 1; scan && p < len;) {
    const size_t s = p + 1 - base;
    if (level != 4 && s == W + 1) ++c;
    if (!is_candidate(level, c, s, W)) {
      // Level 1 after two runs looks only at multiples of W; elsewhere the
      // next position may be a candidate again.
      p += (level == 1 && c > 1) ? W - s % W : 1;
      continue;
    }
    uint64_t h;
    if (level == 1 && c > 1) {
      // Level 1 after two runs: candidates lie W apart, so each window is
      // fingerprinted on its own instead of rolling through the positions
      // between, and the next one (if nothing matches here) is prefetched.
      h = p < q ? ring[p & MASK] : p == ahead_at ? ahead_fp : WHasher::hash(in + p + 1 - W, W);
      const size_t next = p + W;
      if (next < len && next != ahead_at) {
        ahead_fp = next < q ? ring[next & MASK] : WHasher::hash(in + next + 1 - W, W);
        ahead_at = next;
        cache_->prefetch(ahead_fp);
      }
    } else {
      const size_t reach = p + NEAR;
      fingerprint_to(reach);
      if (pf <= p) pf = p + 1;
      for (const size_t stop = std::min(reach, len - 1); pf <= stop;) {
        // The candidates to come if nothing matches before them.
        const size_t sp = pf + 1 - base;
        const unsigned cp = (level != 4 && s <= W && sp > W) ? c + 1 : c;
        if (level == 1 && cp > 1) {
          // Only window ends at multiples of W: step from one to the next.
          const size_t r = sp % W;
          if (r == 0) cache_->prefetch(ring[pf & MASK]);
          pf += W - r;
          continue;
        }
        if (sp >= W && is_candidate(level, cp, sp, W)) cache_->prefetch(ring[pf & MASK]);
        ++pf;
      }
      h = ring[p & MASK];
    }
    const size_t at = p + 1 - W;
    ++p;

    if (has_nc && nc_at + W <= at) {
      const bool same_fp = nc_fp == h;
      const size_t prev = nc_at;
      emit_new();
      if (same_fp) {
        if (std::memcmp(in + prev, in + at, W) == 0) emit_ref(at, h);
        p = std::max(p, base + W - 1);
        continue;
      }
    }
    const uint8_t* stored = cache_->may_hold(h) ? cache_->lookup(h) : nullptr;
    if (stored) {
      if (std::memcmp(stored, in + at, W) == 0) {
        has_nc = false;
        emit_ref(at, h);
      }
      p = std::max(p, base + W - 1);
      continue;
    }
    if (!has_nc) {
      has_nc = true;
      nc_fp = h;
      nc_at = at;
    }
    p = std::max(p, base + W - 1);
  }
  if (has_nc) emit_new();
  out.literals(in + base, len - base);
  carry.set(in + base, len - base);
}
