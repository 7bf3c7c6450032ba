// Encoder and decoder of the deduplicated stream, alone and as a link of
// two engines with the element's sync paths.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "dedup/inflightwindow.hh"
#include "dedup/persistentcache.hh"
#include "dedup/quilodedupcompress.hh"
#include "dedup/quilodedupdecompress.hh"
#include "dedup/whasher.hh"
#include "dedup_test_util.hh"

namespace {

constexpr int W = 330;
constexpr int MAXP = WDedup::MAX_PAYLOAD;

Bytes no_f1(Bytes b) {
  for (auto& x : b)
    if (x == 0xF1) x = 0x17;
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes slice(const Bytes& b, size_t from, size_t len) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

Bytes encode(WDedup& e, const Bytes& p) {
  uint8_t out[MAXP];
  int n = e.compress(p.data(), out, static_cast<int>(p.size()), MAXP);
  EXPECT_GE(n, 0) << "errno " << errno;
  return n < 0 ? Bytes{} : Bytes(out, out + n);
}

bool contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

uint64_t fp_of(const Bytes& c) { return WHasher::hash(c.data(), c.size()); }

Bytes fp_be(uint64_t fp) {
  Bytes b(8);
  for (int i = 7; i >= 0; --i, fp >>= 8) b[i] = static_cast<uint8_t>(fp);
  return b;
}

// Where both ends hold a chunk of `data` they hold the same bytes; with
// `all`, every chunk of it that A holds is held by B too.
void expect_in_step(WDedup& a, WDedup& b, const Bytes& data, bool all = true) {
  PersistentCache* pa = a.impl()->cache();
  PersistentCache* pb = b.impl()->cache();
  uint64_t checked = 0;
  Bytes mine(330);
  for (size_t off = 0; off + 330 <= data.size(); ++off) {
    uint64_t fp = WHasher::hash(&data[off], 330);
    const uint8_t* theirs = pa->lookup(fp);
    if (!theirs || std::memcmp(theirs, &data[off], 330) != 0) continue;
    const uint8_t* got = pb->lookup(fp);
    if (!all && !got) continue;
    ASSERT_NE(got, nullptr) << "B lacks a chunk A would reference, offset " << off;
    ASSERT_EQ(0, std::memcmp(got, &data[off], 330)) << "offset " << off;
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

struct Pair {
  TempDir dir;
  MessageCapture cap;
  std::unique_ptr<WDedup> a, b;
  DedupLink link{};
  explicit Pair(int level = 4, int size_mb = 4, bool boost = false) {
    a = open_engine(dir.path() + "/a", 1, size_mb, level, boost);
    b = open_engine(dir.path() + "/b", 1, size_mb, level, boost);
    link.a = a.get();
    link.b = b.get();
  }
};

}  // namespace

TEST(DedupEncoder, DocumentedOutputsAndErrors) {
  Pair p;
  Bytes x = no_f1(random_bytes(1000, 11));
  Bytes e1 = encode(*p.a, x);
  ASSERT_EQ(e1.size(), 1006u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(e1[i * 332], 0xF1);
    EXPECT_EQ(e1[i * 332 + 1], 0x01);
    EXPECT_EQ(slice(e1, i * 332 + 2, 330), slice(x, i * 330, 330));
  }
  EXPECT_EQ(slice(e1, 996, 10), slice(x, 990, 10));
  p.a->writedisk();
  Bytes e2 = encode(*p.a, x);
  ASSERT_EQ(e2.size(), 40u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(e2[i * 10], 0xF1);
    EXPECT_EQ(e2[i * 10 + 1], 0x02);
    EXPECT_EQ(slice(e2, i * 10 + 2, 8), fp_be(fp_of(slice(x, i * 330, 330))));
  }

  uint8_t out[MAXP];
  EXPECT_EQ(p.a->compress(x.data(), out, 329, MAXP), -1);
  EXPECT_EQ(errno, EINTR);
  Bytes big = random_bytes(2001, 3);
  EXPECT_EQ(p.a->compress(big.data(), out, 2001, MAXP), -1);
  EXPECT_EQ(errno, EIO);
  // Six new chunks make 2000 new bytes 2012 long: EIO, and the chunks of
  // the packet that leaves unencoded are not kept.
  Bytes fresh = no_f1(random_bytes(2000, 4));
  EXPECT_EQ(p.a->compress(fresh.data(), out, 2000, MAXP), -1);
  EXPECT_EQ(errno, EIO);
  p.a->writedisk();
  EXPECT_EQ(p.a->impl()->cache()->lookup(fp_of(slice(fresh, 0, 330))), nullptr);
  EXPECT_EQ(p.a->impl()->cache()->lookup(fp_of(slice(fresh, 1650, 330))), nullptr);

  // Level 0: literals only, every 0xF1 escaped; an encoding that would not
  // fit fails with EIO and writes nothing past the buffer.
  p.a->impl()->configure(0, false, 0.05);
  Bytes f = random_bytes(1000, 5);
  for (size_t i = 0; i < f.size(); i += 7) f[i] = 0xF1;
  Bytes ef = encode(*p.a, f);
  Bytes want;
  for (uint8_t c : f) {
    want.push_back(c);
    if (c == 0xF1) want.push_back(0);
  }
  EXPECT_EQ(ef, want);
  Bytes all(1001, 0xF1);
  std::vector<uint8_t> tight(MAXP);
  EXPECT_EQ(p.a->compress(all.data(), tight.data(), 1001, MAXP), -1);
  EXPECT_EQ(errno, EIO);

  // Below the chunk length the encoder itself emits literals.
  PersistentCache* pc = p.a->impl()->cache();
  InflightWindow win(W);
  uint8_t scratch[W];
  DedupCarry carry;
  carry.n = 7;
  dedupstream::ByteSink sink(out, MAXP);
  std::vector<uint64_t> queued;
  QuiloDedupCompress enc(pc, win, scratch, W, queued);
  Bytes s = slice(f, 0, 329);
  enc.w_compress(sink, s.data(), s.size(), carry, 4);
  EXPECT_EQ(Bytes(out, out + sink.length()), slice(want, 0, sink.length()));
  EXPECT_EQ(carry.n, 7u);
}

TEST(DedupEncoder, WindowContinuedAndLevelOneReferences) {
  Pair p;
  // A chunk repeated inside one payload: the second copy is a window reference.
  Bytes x = no_f1(random_bytes(330, 21));
  Bytes pay = cat({x, no_f1(random_bytes(40, 22)), x, no_f1(random_bytes(20, 23))});
  Bytes e = encode(*p.a, pay);
  EXPECT_TRUE(contains(e, {0xF1, 0x03, 0x00}));
  EXPECT_EQ(p.link.send(pay), pay);

  // A payload that completes a stored chunk whose start ended the previous one.
  Bytes d = no_f1(random_bytes(2000, 24));
  EXPECT_EQ(p.link.send(slice(d, 990, 410)), slice(d, 990, 410));  // stores d[990..1320)
  EXPECT_EQ(p.link.send(slice(d, 0, 1000)), slice(d, 0, 1000));    // leaves d[990..1000) over
  Bytes p2 = slice(d, 1000, 800);
  uint8_t out[MAXP];
  int n = p.a->compress(p2.data(), out, static_cast<int>(p2.size()), MAXP);
  ASSERT_GT(n, 11);
  Bytes head(out, out + 11);
  EXPECT_EQ(head, cat({{0xF1, 0x04, 0x09}, fp_be(fp_of(slice(d, 990, 330)))}));
  std::set<uint64_t> missing;
  uint8_t dec[MAXP];
  int m = p.b->decompress(out, dec, n, MAXP, missing, false);
  ASSERT_EQ(m, 800);
  EXPECT_EQ(Bytes(dec, dec + m), p2);

  // Level 1 stops looking at every position after two runs; level 4 does not.
  Bytes z = no_f1(random_bytes(330, 25));
  Bytes probe = cat({no_f1(random_bytes(700, 26)), z, no_f1(random_bytes(300, 27))});
  for (int level : {1, 4}) {
    Pair q(level);
    EXPECT_EQ(q.link.send(cat({z, z})), cat({z, z}));
    Bytes eq = encode(*q.a, probe);
    EXPECT_EQ(contains(eq, cat({{0xF1, 0x02}, fp_be(fp_of(z))})), level == 4) << level;
  }
}

// The encoder as a plain byte-by-byte scan that hashes every candidate
// window from scratch: what the engine's encoder must output exactly, however
// it schedules its fingerprints and index reads.
struct PlainEncoder {
  explicit PlainEncoder(PersistentCache* cache) : pc(cache) {}
  PersistentCache* pc;
  InflightWindow win{W};
  DedupCarry carry;
  std::vector<uint64_t> queued;

  Bytes encode(const Bytes& in, int level) {
    win.reset();
    queued.clear();
    Bytes out;
    auto literals = [&](size_t from, size_t to) {
      for (size_t i = from; i < to; ++i) {
        out.push_back(in[i]);
        if (in[i] == 0xF1) out.push_back(0x00);
      }
    };
    const size_t len = in.size();
    if (len < static_cast<size_t>(W)) {
      literals(0, len);
      return out;
    }
    size_t start = 0;
    if (carry.n >= 1 && carry.n <= DedupCarry::MAX) {
      Bytes w(carry.bytes, carry.bytes + carry.n);
      w.insert(w.end(), in.begin(), in.begin() + static_cast<long>(W - carry.n));
      uint64_t fp = fp_of(w);
      const uint8_t* st = pc->lookup(fp);
      if (st && std::memcmp(st, w.data(), W) == 0) {
        out.insert(out.end(), {0xF1, 0x04, static_cast<uint8_t>(carry.n - 1)});
        Bytes b = fp_be(fp);
        out.insert(out.end(), b.begin(), b.end());
        start = W - carry.n;
      }
    }
    carry.n = 0;
    size_t base = start, nc_at = 0;
    unsigned c = 0;
    bool has_nc = false;
    uint64_t nc_fp = 0;
    auto emit_new = [&] {
      literals(base, nc_at);
      out.insert(out.end(), {0xF1, 0x01});
      out.insert(out.end(), in.begin() + static_cast<long>(nc_at), in.begin() + static_cast<long>(nc_at + W));
      pc->queue(nc_fp, &in[nc_at]);
      queued.push_back(nc_fp);
      win.add(nc_fp, &in[nc_at], W);
      base = nc_at + W;
      has_nc = false;
    };
    auto emit_ref = [&](size_t at, uint64_t fp) {
      literals(base, at);
      int pos = win.position_of(fp);
      if (pos >= 0) {
        out.insert(out.end(), {0xF1, 0x03, static_cast<uint8_t>(pos)});
      } else {
        out.insert(out.end(), {0xF1, 0x02});
        Bytes b = fp_be(fp);
        out.insert(out.end(), b.begin(), b.end());
        win.add(fp, &in[at], W);
      }
      base = at + W;
    };
    for (size_t p = start; p < len; ++p) {
      size_t s = p + 1 - base;
      if (s < static_cast<size_t>(W)) continue;
      if (level != 4 && s == static_cast<size_t>(W) + 1) ++c;
      bool cand = true;
      if (level == 0) cand = false;
      if (level == 1 && c > 1) cand = s % W == 0;
      if (level == 2 && c > 1 && (s & 1)) cand = false;
      if (level == 3 && c > 2 && (s & 1)) cand = false;
      if (!cand) continue;
      size_t at = p + 1 - W;
      uint64_t h = WHasher::hash(&in[at], W);
      if (has_nc && nc_at + W <= at) {
        size_t prev = nc_at;
        uint64_t pfp = nc_fp;
        emit_new();
        if (pfp == h) {
          if (std::memcmp(&in[prev], &in[at], W) == 0) emit_ref(at, h);
          continue;
        }
      }
      if (const uint8_t* st = pc->lookup(h)) {
        if (std::memcmp(st, &in[at], W) == 0) {
          has_nc = false;
          emit_ref(at, h);
        }
        continue;
      }
      if (!has_nc) {
        has_nc = true;
        nc_fp = h;
        nc_at = at;
      }
    }
    if (has_nc) emit_new();
    literals(base, len);
    carry.set(&in[base], len - base);
    return out;
  }
};

TEST(DedupEncoder, OutputIsExactlyThePlainScan) {
  // Data with every kind of match: repeats within and across payloads,
  // shifted repeats, runs of 0xF1, real files; payloads of varied sizes so
  // that carry-over chunks occur.
  Bytes real = real_file_data(120000);
  Bytes base = no_f1(random_bytes(5000, 61));
  Bytes data;
  std::mt19937 rng(62);
  while (data.size() < 160000) {
    switch (rng() % 5) {
      case 0: {
        Bytes r = random_bytes(200 + rng() % 900, rng());
        data.insert(data.end(), r.begin(), r.end());
        break;
      }
      case 1: {
        size_t off = rng() % 4000, n = 330 + rng() % 700;
        data.insert(data.end(), base.begin() + static_cast<long>(off),
                    base.begin() + static_cast<long>(std::min(off + n, base.size())));
        break;
      }
      case 2:
        data.insert(data.end(), 1 + rng() % 700, static_cast<uint8_t>(rng() % 3 ? 0xF1 : 0));
        break;
      default: {
        size_t off = rng() % (real.size() - 3000), n = 100 + rng() % 2500;
        data.insert(data.end(), real.begin() + static_cast<long>(off),
                    real.begin() + static_cast<long>(off + n));
      }
    }
  }
  for (int level : {0, 1, 2, 3, 4, 6}) {
    Pair p(level, 1);  // a small ring, so that it wraps during the run
    PlainEncoder plain(p.b->impl()->cache());
    std::mt19937 sizes(63 + level);
    size_t payloads = 0;
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t off = 0; off < data.size(); ++payloads) {
        size_t n = std::min<size_t>(data.size() - off, 300 + sizes() % 1700);
        Bytes pay = slice(data, off, n);
        off += n;
        uint8_t out[MAXP];
        int got = p.a->compress(pay.data(), out, static_cast<int>(n), MAXP);
        p.a->writedisk();
        Bytes want;
        if (n >= static_cast<size_t>(W)) {
          want = plain.encode(pay, level);
          if (want.size() > static_cast<size_t>(MAXP)) {
            for (uint64_t fp : plain.queued) p.b->impl()->cache()->remove(fp);
            p.b->impl()->cache()->writedisk();
            want.clear();
          }
        }
        p.b->impl()->cache()->writedisk();
        ASSERT_EQ(got < 0 ? Bytes{} : Bytes(out, out + got), want)
            << "level " << level << " pass " << pass << " payload " << payloads;
      }
    }
  }
}

TEST(DedupEncoder, MatchesMidRunAndSelfSimilarDataGiveThePlainScan) {
  // The encoder requests index reads for the windows it expects to look up
  // next, on the assumption that nothing matches; these payloads break that
  // assumption in every way: stored chunks at odd and even offsets after
  // the second run (where levels 1 to 3 skip positions), windows equal to
  // the new chunk waiting to go out (periods of W and 2W), uniform runs,
  // and a stored record that differs under the window's fingerprint.
  Bytes stored = no_f1(random_bytes(W, 71));
  Bytes other = no_f1(random_bytes(W, 72));
  std::vector<Bytes> payloads;
  for (size_t off : {700, 701, 990, 991, 1001, 1320}) {
    Bytes p = no_f1(random_bytes(1800, static_cast<uint32_t>(off)));
    std::copy(stored.begin(), stored.end(), p.begin() + static_cast<long>(off));
    payloads.push_back(slice(p, 0, std::min<size_t>(p.size(), off + W + 37)));
  }
  Bytes periodic = cat({other, other, other, slice(other, 0, 101)});
  payloads.push_back(periodic);
  payloads.push_back(cat({stored, other, stored, other, slice(stored, 0, 200)}));
  payloads.push_back(Bytes(1500, 0x5A));
  payloads.push_back(cat({no_f1(random_bytes(400, 73)), other, no_f1(random_bytes(500, 74))}));
  for (int level : {1, 2, 3, 4}) {
    Pair p(level, 1);
    PlainEncoder plain(p.b->impl()->cache());
    // Both ends hold `stored`; under `other`'s fingerprint they hold
    // `stored`'s bytes, a record that must never be referenced.
    for (WDedup* e : {p.a.get(), p.b.get()}) {
      PersistentCache* pc = e->impl()->cache();
      for (int i = 0; i < 3; ++i) pc->queue(fp_of(stored), stored.data());
      pc->queue(fp_of(other), stored.data());
      e->writedisk();
    }
    for (int pass = 0; pass < 2; ++pass)
      for (size_t i = 0; i < payloads.size(); ++i) {
        const Bytes& pay = payloads[i];
        uint8_t out[MAXP];
        int got = p.a->compress(pay.data(), out, static_cast<int>(pay.size()), MAXP);
        p.a->writedisk();
        Bytes want = plain.encode(pay, level);
        p.b->impl()->cache()->writedisk();
        ASSERT_GE(got, 0);
        ASSERT_EQ(Bytes(out, out + got), want) << "level " << level << " pass " << pass << " payload " << i;
      }
  }
}

TEST(DedupEncoder, CollidingRecordIsNeverReferencedAndDecoderRepairsIt) {
  Pair p;
  Bytes x = no_f1(random_bytes(330, 31));
  Bytes y = no_f1(random_bytes(330, 32));
  uint64_t fx = fp_of(x);
  // Both ends hold y under x's fingerprint.
  for (WDedup* e : {p.a.get(), p.b.get()}) {
    PersistentCache* pc = e->impl()->cache();
    for (int i = 0; i < 3; ++i) pc->queue(fx, y.data());
    e->writedisk();
  }
  Bytes pay = x;
  Bytes enc = encode(*p.a, pay);
  EXPECT_FALSE(contains(enc, {0xF1, 0x02}));
  EXPECT_FALSE(contains(enc, {0xF1, 0x01}));
  EXPECT_EQ(enc, pay);

  // A new-chunk token for x at B: B rewrites its record and keeps x.
  Bytes stream = cat({{0xF1, 0x01}, x});
  std::set<uint64_t> missing;
  uint8_t dec[MAXP];
  ASSERT_EQ(p.b->decompress(stream.data(), dec, static_cast<int>(stream.size()), MAXP, missing, false), 330);
  EXPECT_TRUE(p.cap.contains("Debug : E10 During rehydrate. Syncing local store"));
  p.b->writedisk();
  PersistentCache* pb = p.b->impl()->cache();
  const uint8_t* got = pb->lookup(fx);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(0, std::memcmp(got, x.data(), 330));
}

TEST(DedupDecoder, DocumentedStreams) {
  Pair p;
  PersistentCache* pc = p.b->impl()->cache();
  Bytes c = no_f1(random_bytes(330, 41));
  uint64_t fc = fp_of(c);
  for (int i = 0; i < 3; ++i) pc->queue(fc, c.data());
  p.b->writedisk();

  std::set<uint64_t> missing;
  auto dec = [&](const Bytes& s, bool sync = false) -> std::pair<int, Bytes> {
    std::vector<uint8_t> out(MAXP);
    int n = p.b->decompress(s.data(), out.data(), static_cast<int>(s.size()), MAXP, missing, sync);
    return {n < 0 ? -errno : n, n < 0 ? Bytes{} : Bytes(out.begin(), out.begin() + n)};
  };
  Bytes plain = no_f1(random_bytes(500, 42));
  EXPECT_EQ(dec(plain).second, plain);
  EXPECT_EQ(dec({1, 0xF1, 0x00, 2}).second, Bytes({1, 0xF1, 2}));
  EXPECT_EQ(dec({1, 2, 0xF1}).second, Bytes({1, 2}));
  EXPECT_EQ(dec(cat({{7, 0xF1, 0x01}, slice(c, 0, 329)})).second, Bytes({7}));
  EXPECT_EQ(dec({9, 0xF1, 0x02, 1, 2, 3}).second, Bytes({9}));  // truncated reference
  EXPECT_EQ(dec({0xF1, 0x03, 0x05}).first, -ESRCH);
  EXPECT_TRUE(p.cap.contains("Debug : E11 Corrupt input stream"));
  EXPECT_EQ(dec({0xF1, 0x05, 0x00}).first, -ESRCH);
  EXPECT_TRUE(p.cap.contains("Debug : E12 Corrupt input stream"));
  EXPECT_EQ(dec(cat({{0xF1, 0x04, 9}, fp_be(fc)})).second, slice(c, 10, 320));

  // A reference to an unknown chunk: ENOENT, the fingerprint listed, the
  // rest still decoded; its window slot outputs nothing.
  Bytes unknown = cat({{0xF1, 0x02}, fp_be(0xDEADBEEF), {5, 0xF1, 0x03, 0x00, 6}});
  EXPECT_EQ(dec(unknown).first, -ENOENT);
  EXPECT_EQ(missing, std::set<uint64_t>({0xDEADBEEF}));
  InflightWindow win(W);
  std::vector<uint64_t> dropped;
  QuiloDedupDecompress d(pc, win, W, dropped);
  uint8_t out[MAXP];
  dedupstream::ByteSink sink(out, MAXP);
  std::set<uint64_t> miss2;
  EXPECT_TRUE(d.w_decompress(unknown.data(), unknown.size(), sink, miss2, false));
  EXPECT_EQ(Bytes(out, out + sink.length()), Bytes({5, 6}));

  // A found reference, then the same in sync mode: output, then forgotten.
  Bytes ref = cat({{0xF1, 0x02}, fp_be(fc), {0xF1, 0x03, 0x00}});
  EXPECT_EQ(dec(ref).second, cat({c, c}));
  EXPECT_EQ(dec(ref, true).second, cat({c, c}));
  EXPECT_EQ(pc->lookup(fc), nullptr);

  // Output past the maximum: EIO, nothing written beyond it, but the new
  // chunk at the end of the stream is still stored.
  Bytes d2 = no_f1(random_bytes(330, 43));
  for (int i = 0; i < 3; ++i) pc->queue(fp_of(d2), d2.data());
  p.b->writedisk();
  Bytes longs;
  for (int i = 0; i < 7; ++i) longs = cat({longs, {0xF1, 0x02}, fp_be(fp_of(d2))});
  Bytes fresh = no_f1(random_bytes(330, 44));
  longs = cat({longs, {0xF1, 0x01}, fresh});
  EXPECT_EQ(dec(longs).first, -EIO);
  EXPECT_NE(pc->lookup(fp_of(fresh)), nullptr);
}

TEST(DedupLinkTest, RoundTripsAtEveryLevel) {
  Bytes rnd = random_bytes(60000, 51);
  Bytes rep;
  Bytes block = random_bytes(700, 52);
  for (int i = 0; i < 60; ++i) {
    rep.insert(rep.end(), block.begin(), block.begin() + 300 + (i * 37) % 400);
    rep.push_back(static_cast<uint8_t>(i));
    rep.insert(rep.end(), 50 + i, 0xF1);
  }
  Bytes real = real_file_data(200000);
  ASSERT_GT(real.size(), 50000u);
  for (int level : {0, 1, 2, 3, 4, 7}) {
    for (size_t size : {1320u, 1448u, 333u, 2000u}) {
      Pair p(level);
      for (const Bytes* data : {&rnd, &rep, &real}) {
        ASSERT_EQ(p.link.send_all(*data, size), 0u) << "level " << level << " size " << size;
        ASSERT_EQ(p.link.send_all(*data, size), 0u) << "level " << level << " size " << size;
      }
      EXPECT_EQ(p.link.missing_syncs + p.link.checksum_syncs, 0u)
          << "level " << level << " size " << size << " unencoded " << p.link.unencoded;
      if (level == 4 && size == 1320) {
        // The second pass of the real data costs a fraction of its bytes.
        DedupLink fresh{p.a.get(), p.b.get()};
        fresh.send_all(real, size);
        EXPECT_LT(fresh.bytes_out, fresh.bytes_in / 10);
      }
    }
  }
}

TEST(DedupLinkTest, MissingChunkSyncBringsStoresInStep) {
  Pair p;
  Bytes data = real_file_data(150000);
  // A learns the data with another receiver; B has never seen it.
  TempDir other;
  auto b0 = open_engine(other.path(), 9, 4);
  DedupLink warm{p.a.get(), b0.get()};
  ASSERT_EQ(warm.send_all(data, 1448), 0u);
  ASSERT_EQ(p.link.send_all(data, 1448), 0u);
  EXPECT_GT(p.link.missing_syncs, 0u);
  ASSERT_EQ(p.link.send_all(data, 1448), 0u);
  uint64_t syncs = p.link.missing_syncs;
  DedupLink third{p.a.get(), p.b.get()};
  ASSERT_EQ(third.send_all(data, 1448), 0u);
  EXPECT_EQ(third.missing_syncs, 0u);
  EXPECT_LT(third.bytes_out, third.bytes_in / 5);
  (void)syncs;
  // Chunks A learnt with the other receiver and never referenced since are
  // synced when first referenced; all that both hold agree.
  expect_in_step(*p.a, *p.b, data, false);
}

TEST(DedupLinkTest, ChecksumSyncRepairsDifferingBytes) {
  Pair p;
  Bytes data = no_f1(random_bytes(13200, 61));
  ASSERT_EQ(p.link.send_all(data, 1320), 0u);
  // B's copy of the first chunk goes bad on disk, fingerprint intact.
  PersistentCache* pb = p.b->impl()->cache();
  int32_t rec = pb->index().find(fp_of(slice(data, 0, 330)));
  ASSERT_GE(rec, 0);
  Bytes junk = random_bytes(330, 62);
  ASSERT_EQ(pwrite(pb->fd(), junk.data(), 330, static_cast<off_t>(rec) * 338 + 8), 330);
  ASSERT_EQ(p.link.send_all(data, 1320), 0u);  // delivered through the sync path
  EXPECT_EQ(p.link.checksum_syncs, 1u);
  ASSERT_EQ(p.link.send_all(data, 1320), 0u);
  DedupLink after{p.a.get(), p.b.get()};
  ASSERT_EQ(after.send_all(data, 1320), 0u);
  EXPECT_EQ(after.checksum_syncs + after.missing_syncs, 0u);
  expect_in_step(*p.a, *p.b, data);
}

TEST(DedupLinkTest, RestartKeepsReferencesRightOrReportsThemMissing) {
  Pair p(4, 1);
  Bytes first = random_bytes(300000, 71);
  ASSERT_EQ(p.link.send_all(first, 1320), 0u);
  uint64_t slot_a = p.a->get_slot(), slot_b = p.b->get_slot();
  p.a.reset();
  p.b.reset();
  p.a = open_engine(p.dir.path() + "/a", 1, 1);
  p.b = open_engine(p.dir.path() + "/b", 1, 1);
  p.link.a = p.a.get();
  p.link.b = p.b.get();
  EXPECT_EQ(p.a->get_slot(), slot_a);
  EXPECT_EQ(p.b->get_slot(), slot_b);
  DedupLink again{p.a.get(), p.b.get()};
  Bytes recent = slice(first, first.size() - 132000, 132000);
  ASSERT_EQ(again.send_all(recent, 1320), 0u);
  EXPECT_EQ(again.missing_syncs, 0u);
  EXPECT_LT(again.bytes_out, again.bytes_in / 10);

  // B restarts resuming well inside its file: the chunks it overwrites are
  // reported missing, never rehydrated wrongly.
  std::string bpath = WDedup::datastore_path(p.dir.path() + "/b", 1);
  p.b.reset();
  write_file(bpath + ".info", "SLOT 10");
  p.b = open_engine(p.dir.path() + "/b", 1, 1);
  DedupLink third{p.a.get(), p.b.get()};
  ASSERT_EQ(third.send_all(random_bytes(40000, 72), 1320), 0u);
  ASSERT_EQ(third.send_all(recent, 1320), 0u);
  EXPECT_EQ(third.mismatches, 0u);
  EXPECT_EQ(third.checksum_syncs, 0u);
}

TEST(DedupLinkTest, RingWrapKeepsLinkCorrect) {
  Pair p(4, 1, true);
  Bytes data = random_bytes(1500000, 81);  // about 1.5 laps of a 1 MB ring
  ASSERT_EQ(p.link.send_all(data, 1448), 0u);
  EXPECT_GE(p.a->impl()->cache()->wrap_count(), 1);
  // The same payload boundaries as the first pass.
  Bytes tail = slice(data, (data.size() - 200000) / 1448 * 1448, 199424);
  DedupLink again{p.a.get(), p.b.get()};
  ASSERT_EQ(again.send_all(tail, 1448), 0u);
  EXPECT_LT(again.bytes_out, again.bytes_in / 5);
  expect_in_step(*p.a, *p.b, tail);
}

TEST(DedupLinkTest, ConcurrentCallersAreSerialised) {
  Pair p;
  std::vector<std::thread> th;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    th.emplace_back([&, t] {
      uint8_t out[MAXP], back[MAXP];
      Bytes d = random_bytes(40000, 90 + t % 2);
      std::set<uint64_t> missing;
      for (size_t off = 0; off + 1320 <= d.size(); off += 1320) {
        int n = p.a->compress(d.data() + off, out, 1320, MAXP);
        p.a->writedisk();
        if (n < 0) continue;
        // Decoding at the sender itself: its own chunks are all known.
        int m = p.a->decompress(out, back, n, MAXP, missing, false);
        p.a->writedisk();
        if (m >= 0 && std::memcmp(back, d.data() + off, 1320) != 0) ++bad;
        (void)p.a->get_slot();
      }
    });
  for (auto& x : th) x.join();
  EXPECT_EQ(bad.load(), 0);
}
