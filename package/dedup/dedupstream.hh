// Encoded stream of the byte cache: literal bytes, with the escape byte 0xF1
// introducing a token:
//   F1 00                escaped literal 0xF1
//   F1 01 <W bytes>      new chunk (receiver stores it)
//   F1 02 <fp, 8 bytes>  stored chunk, fingerprint most significant byte first
//   F1 03 <index>        chunk at that in-flight window index
//   F1 04 <n-1> <fp>     bytes n..W-1 of a stored chunk whose first n bytes
//                        ended the previous payload
#ifndef QUILO_DEDUP_DEDUPSTREAM_HH
#define QUILO_DEDUP_DEDUPSTREAM_HH

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dedupstream {

constexpr uint8_t ESC = 0xF1;
constexpr uint8_t T_LITERAL = 0x00;
constexpr uint8_t T_NEW = 0x01;
constexpr uint8_t T_STORED = 0x02;
constexpr uint8_t T_WINDOW = 0x03;
constexpr uint8_t T_CONTINUED = 0x04;

inline void put_be64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

inline uint64_t get_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

// Output into a caller's buffer of fixed size. Bytes that would pass the end
// are not written; `overflow` records that it happened, `length` keeps
// counting so the caller can tell how much was wanted.
class ByteSink {
 public:
  ByteSink(uint8_t* buf, size_t cap) : buf_(buf), cap_(cap) {}

  void put(const uint8_t* p, size_t n) {
    if (n == 0) return;
    if (!overflow_ && n <= cap_ - len_) {
      std::memcpy(buf_ + len_, p, n);
    } else {
      overflow_ = true;
    }
    len_ += n;
    if (len_ > cap_) overflow_ = true;
  }
  void put(uint8_t b) { put(&b, 1); }
  void put2(uint8_t a, uint8_t b) {
    uint8_t t[2] = {a, b};
    put(t, 2);
  }
  // Literal bytes, each 0xF1 escaped as F1 00.
  void literals(const uint8_t* p, size_t n) {
    while (n > 0) {
      const void* e = std::memchr(p, ESC, n);
      size_t run = e ? static_cast<size_t>(static_cast<const uint8_t*>(e) - p) : n;
      put(p, run);
      if (!e) return;
      put2(ESC, T_LITERAL);
      p += run + 1;
      n -= run + 1;
    }
  }

  size_t length() const { return len_; }
  bool overflow() const { return overflow_; }

 private:
  uint8_t* buf_;
  size_t cap_;
  size_t len_ = 0;
  bool overflow_ = false;
};

}  // namespace dedupstream

#endif
