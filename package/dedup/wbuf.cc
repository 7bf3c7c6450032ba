#include "dedup/wbuf.hh"

#include <algorithm>
#include <cstring>

chunk_buf::chunk_buf() : data(new uint8_t[SIZE]) {}
chunk_buf::~chunk_buf() { delete[] data; }

void WBuf::append(const uint8_t* p, size_t n) {
  if (n == 0) return;
  if (n < chunk_buf::SIZE && !segs_.empty()) {
    chunk_buf* last = segs_.back();
    if (last->refs == 1 && chunk_buf::SIZE - last->len >= n) {
      if (chunk_buf::SIZE - last->start - last->len < n) {
        std::memmove(last->data, last->data + last->start, last->len);
        last->start = 0;
      }
      std::memcpy(last->data + last->start + last->len, p, n);
      last->len += n;
      total_ += n;
      return;
    }
  }
  while (n > 0) {
    auto* c = new chunk_buf;
    size_t k = std::min(n, chunk_buf::SIZE);
    std::memcpy(c->data, p, k);
    c->len = k;
    segs_.push_back(c);
    total_ += k;
    p += k;
    n -= k;
  }
}

void WBuf::append_segment(chunk_buf* c) {
  segs_.push_back(chunk_buf::ref(c));
  total_ += c->len;
}

void WBuf::drop_front(size_t n) {
  n = std::min(n, total_);
  while (n > 0) {
    chunk_buf* c = segs_.front();
    if (n >= c->len) {
      n -= c->len;
      total_ -= c->len;
      segs_.pop_front();
      chunk_buf::unref(c);
      continue;
    }
    if (c->refs > 1) {
      // Shared with another queue: keep its view intact, copy our remainder.
      auto* own = new chunk_buf;
      own->len = c->len - n;
      std::memcpy(own->data, c->begin() + n, own->len);
      segs_.front() = own;
      chunk_buf::unref(c);
    } else {
      c->start += n;
      c->len -= n;
    }
    total_ -= n;
    n = 0;
  }
}

void WBuf::move_to(WBuf& to) {
  for (chunk_buf* c : segs_) to.segs_.push_back(c);
  to.total_ += total_;
  segs_.clear();
  total_ = 0;
}

void WBuf::clear() {
  for (chunk_buf* c : segs_) chunk_buf::unref(c);
  segs_.clear();
  total_ = 0;
}

bool WBuf::copy_out(size_t off, size_t n, uint8_t* dst) const {
  if (off > total_ || n > total_ - off) return false;
  for (const chunk_buf* c : segs_) {
    if (n == 0) break;
    if (off >= c->len) {
      off -= c->len;
      continue;
    }
    size_t k = std::min(n, c->len - off);
    std::memcpy(dst, c->begin() + off, k);
    dst += k;
    n -= k;
    off = 0;
  }
  return true;
}
