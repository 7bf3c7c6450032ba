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
                                       std::vector<uint64_t>& queued, DedupScanBuffers* buffers)
    : cache_(cache),
      window_(window),
      scratch_(scratch),
      queued_(queued),
      own_(buffers ? nullptr : std::make_unique<DedupScanBuffers>(chunk_len)),
      buf_(buffers ? *buffers : *own_),
      W_(chunk_len) {
  window_.reset();
  queued_.clear();
}

namespace {

// Where the scan stands between two candidates: the next window it
// examines (by its first byte), the first pending byte, the run counter and
// the window waiting to be sent as a new chunk.
struct ScanState {
  size_t at;
  size_t base;
  unsigned c;
  bool has_nc;
  size_t nc_at;
};

// Lists the windows the scan looks up from `st` on, up to `want` of them
// (or the end of the payload), on the assumption that every lookup misses,
// which is what new data does. Advances st past them. `last` is the last
// window start of the payload.
//
// Which windows the scan looks up: with s pending bytes up to the window's
// end and c the number of runs that reached W + 1 pending bytes, level 0
// none; level 1 all until c > 1, then those with s a multiple of W; level 2
// all until c > 1, then those with s even; level 3 the same from c > 2;
// level 4 and any other all.
size_t plan(ScanState& st, size_t last, size_t W, int level, DedupScanBuffers::Candidate* out,
            size_t n, size_t want) {
  size_t at = st.at;
  if (level < 1 || level > 3) {
    // Every position is a candidate, and a window that goes out as a new
    // chunk never moves the first pending byte past the window examined
    // next; the run counter plays no part.
    for (; n < want && at <= last; ++at) out[n++] = {static_cast<uint32_t>(at), st.c};
    st.at = at;
    return n;
  }
  size_t base = st.base, nc_at = st.nc_at;
  unsigned c = st.c;
  bool has_nc = st.has_nc;
  // Up to this many runs every position is a candidate.
  const unsigned dense_runs = level == 3 ? 2 : 1;
  while (n < want && at <= last) {
    const size_t s = at + W - base;  // pending bytes up to the window's end, at least W
    if (s == W + 1) ++c;
    if (c > dense_runs) {
      // Level 1 looks only at multiples of W from here on, levels 2 and 3
      // at even counts.
      if (level == 1) {
        if (const size_t r = s % W) {
          at += W - r;
          continue;
        }
      } else if (s & 1) {
        ++at;
        continue;
      }
    }
    out[n++] = {static_cast<uint32_t>(at), c};
    if (has_nc && nc_at + W <= at) {
      base = nc_at + W;  // the waiting window goes out as a new chunk
      has_nc = false;
    }
    if (!has_nc) {
      has_nc = true;
      nc_at = at;
    }
    at = std::max(at + 1, base);
    // Inside a dense run, past its first two windows and short of the end
    // of the waiting chunk, every position is a candidate and nothing
    // changes: they are listed in one go.
    if (c <= dense_runs && at > base + 1) {
      const size_t end = std::min({nc_at + W, last + 1, at + (want - n)});
      for (; at < end; ++at) out[n++] = {static_cast<uint32_t>(at), c};
    }
  }
  st = {at, base, c, has_nc, nc_at};
  return n;
}

}  // namespace

void DedupScanBuffers::begin(const uint8_t* in, size_t len) {
  if (fps_.size() < len) {
    fps_.resize(len);
    cand_.resize(len);
    groups_.resize(len);
  }
  in_ = in;
  windows_ = len - hasher_.chunk_len() + 1;
  lo_ = hi_ = 0;
}

uint64_t DedupScanBuffers::fill(size_t at) {
  if (rollable(at)) {
    const size_t to = std::min(windows_, std::max(at + 1, hi_ + ROLL_BLOCK));
    hasher_.roll(in_, hi_, to, fps_.data());
    hi_ = to;
  } else {
    const size_t W = hasher_.chunk_len();
    fps_[at] = WHasher::hash(in_ + at, W, WHasher::KARP_RABIN, W);
    lo_ = at;
    hi_ = at + 1;
  }
  return fps_[at];
}

uint64_t DedupScanBuffers::fingerprint_ahead(size_t at) {
  if (at - lo_ < hi_ - lo_ || rollable(at)) return fingerprint(at);
  const size_t W = hasher_.chunk_len();
  return WHasher::hash(in_ + at, W, WHasher::KARP_RABIN, W);
}

void QuiloDedupCompress::w_compress(ByteSink& out, const uint8_t* in, size_t len,
                                    DedupCarry& carry, int level) {
  const size_t W = W_;
  if (len == 0) return;
  if (len < W) {
    out.literals(in, len);
    return;
  }

  // Does the tail of the previous payload complete a stored chunk? Its
  // index line starts loading now; the lookup comes further down.
  const size_t cn = carry.n;
  const bool continued = cn >= 1 && cn <= DedupCarry::MAX;
  uint64_t cont_fp = 0;
  if (continued) {
    std::memcpy(scratch_, carry.bytes, cn);
    std::memcpy(scratch_ + cn, in, W - cn);
    cont_fp = WHasher::hash(scratch_, W, hash_method_, W);
    cache_->prefetch(cont_fp);
  }
  carry.n = 0;

  // Fingerprints depend only on the bytes. They are rolled out in blocks
  // just ahead of the windows the scan requests, so that computing them
  // overlaps the index reads already under way.
  buf_.begin(in, len);
  const size_t windows = len - W + 1;

  // Index lines requested ahead of the candidate examined, into the
  // second-level cache (which keeps many in flight). The distance starts at
  // RAMP, at a payload's start and again after a match, and grows by one
  // with each miss up to AHEAD: new data then has its accesses overlap at
  // the rate the scan examines candidates, and repeated data, which matches
  // again soon, does not request lines it will never examine.
  constexpr size_t AHEAD = 64, RAMP = 16;
  size_t ahead = RAMP;
  uint64_t probes = 0;          // fingerprints checked against the store
  size_t start = 0;
  if (continued) {
    ++probes;
    // While the continued chunk's index line loads, the first windows'
    // start loading too: unless the chunk matches, they come first.
    if (level != 0)
      for (size_t at = 0; at < std::min(ahead, windows); ++at)
        cache_->prefetch_probe(buf_.fingerprint(at));
    const uint8_t* stored = cache_->lookup(cont_fp);
    if (stored && std::memcmp(stored, scratch_, W) == 0) {
      uint8_t tok[11] = {ESC, T_CONTINUED, static_cast<uint8_t>(cn - 1)};
      put_be64(tok + 3, cont_fp);
      out.put(tok, sizeof tok);
      start = W - cn;
    }
  }

  size_t base = start;  // first pending byte
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
    // The encoder reads back fingerprints only, never chunk bytes.
    window_.add(nc_fp, nullptr, 0);
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
      window_.add(fp, nullptr, 0);
    }
    base = at + W;
  };

  // The scan visits the candidates a plan lists. Plans assume that nothing
  // matches, so the index lines of the candidates ahead are requested before
  // they are needed, one for each candidate examined, and their memory
  // accesses overlap. When a lookup does match (or a waiting new chunk
  // equals the window), the scan leaves the plan and plans again from where
  // it stands. Which windows are looked up, and in what order, is exactly as
  // in a byte-by-byte scan.
  constexpr size_t BATCH = 8;  // candidates planned at a time
  DedupScanBuffers::Candidate* cand = buf_.candidates();
  uint32_t* group = buf_.groups();
  const size_t last = len - W;
  ScanState plan_st{start, start, 0, false, 0};
  size_t k = 0, n = 0;  // cand[k, n) are planned and not yet examined
  size_t req = 0;       // cand[0, req) have their index lines requested
  while (level != 0) {
    if (n <= k + AHEAD && plan_st.at <= last)
      n = plan(plan_st, last, W, level, cand, n, k + AHEAD + BATCH);
    for (const size_t upto = std::min(n, k + ahead + 1); req < upto; ++req)
      group[req] = static_cast<uint32_t>(cache_->prefetch_probe(buf_.fingerprint(cand[req].at)));
    if (k == n) break;
    // New data mostly: while a new chunk waits and is not yet due, a miss
    // changes nothing but the position, so a run of them is examined here
    // without the rest of the bookkeeping. A candidate that may be stored,
    // or the one at which the chunk is due, goes through the steps below.
    if (has_nc) {
      const size_t due = nc_at + W;
      size_t i = k;
      for (; i < n && cand[i].at < due; ++i) {
        if (cache_->may_hold(buf_.known(cand[i].at), group[i])) break;
        if (req < n) {
          group[req] = static_cast<uint32_t>(cache_->prefetch_probe(buf_.fingerprint(cand[req].at)));
          ++req;
          if (ahead < AHEAD && req < n) {
            group[req] = static_cast<uint32_t>(cache_->prefetch_probe(buf_.fingerprint(cand[req].at)));
            ++req;
            ++ahead;
          }
        }
      }
      probes += i - k;
      k = i;
      if (k == n) continue;
    }

    const size_t at = cand[k].at;
    const uint64_t h = buf_.known(at);
    bool left_plan = false;
    if (has_nc && nc_at + W <= at) {
      const bool same_fp = nc_fp == h;
      const size_t prev = nc_at;
      emit_new();
      if (same_fp) {
        if (std::memcmp(in + prev, in + at, W) == 0) emit_ref(at, h);
        left_plan = true;
      }
    }
    if (!left_plan) {
      ++probes;
      const uint8_t* stored = cache_->may_hold(h, group[k]) ? cache_->lookup(h) : nullptr;
      if (stored) {
        if (std::memcmp(stored, in + at, W) == 0) {
          has_nc = false;
          emit_ref(at, h);
          // Repeated data tends to match chunk after chunk: the next
          // window's entry and the one after it start loading now.
          if (base <= last) cache_->prefetch_entry(buf_.fingerprint(base));
          if (base + W <= last) cache_->prefetch_probe(buf_.fingerprint_ahead(base + W));
        }
        left_plan = true;
      } else if (!has_nc) {
        has_nc = true;
        nc_fp = h;
        nc_at = at;
      }
    }
    if (left_plan) {
      plan_st = {std::max(at + 1, base), base, cand[k].runs, has_nc, nc_at};
      k = n = req = 0;
      ahead = RAMP;
    } else {
      ++k;
    }
  }
  cache_->count_probes(probes);
  if (has_nc) emit_new();
  out.literals(in + base, len - base);
  carry.set(in + base, len - base);
}
