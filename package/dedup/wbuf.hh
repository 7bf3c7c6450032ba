// Segmented byte queue of the byte cache. Payload bytes and chunk data travel
// in reference-counted 2048-byte segments that queues share instead of copying.
#ifndef QUILO_DEDUP_WBUF_HH
#define QUILO_DEDUP_WBUF_HH

#include <cstddef>
#include <cstdint>
#include <deque>

// One heap segment: `start` and `len` delimit the live bytes of `data`.
struct chunk_buf {
  static constexpr size_t SIZE = 2048;

  uint8_t* data;
  size_t start = 0;
  size_t len = 0;
  int refs = 1;

  chunk_buf();
  ~chunk_buf();
  chunk_buf(const chunk_buf&) = delete;
  chunk_buf& operator=(const chunk_buf&) = delete;

  const uint8_t* begin() const { return data + start; }
  static chunk_buf* ref(chunk_buf* c) { ++c->refs; return c; }
  static void unref(chunk_buf* c) { if (--c->refs == 0) delete c; }
};

class WBuf {
 public:
  WBuf() = default;
  ~WBuf() { clear(); }
  WBuf(const WBuf&) = delete;
  WBuf& operator=(const WBuf&) = delete;

  size_t size() const { return total_; }
  bool empty() const { return total_ == 0; }
  size_t segment_count() const { return segs_.size(); }
  const chunk_buf* segment(size_t i) const { return segs_[i]; }

  // Appends bytes. An append of fewer than SIZE bytes goes into the last
  // segment when that one is not shared and has room for all of them;
  // otherwise into new segments, so a chunk never straddles two segments.
  void append(const uint8_t* p, size_t n);
  void append(uint8_t b) { append(&b, 1); }
  // Appends a segment by reference (the queue takes one reference).
  void append_segment(chunk_buf* c);
  // Drops n bytes (at most size()) from the front.
  void drop_front(size_t n);
  // Moves every segment to the end of `to`; this queue is left empty.
  void move_to(WBuf& to);
  void clear();
  // Copies n bytes starting at byte `off` into dst; false when out of range.
  bool copy_out(size_t off, size_t n, uint8_t* dst) const;

 private:
  std::deque<chunk_buf*> segs_;
  size_t total_ = 0;
};

#endif
