// Helpers shared by the byte-cache tests.
#ifndef QUILO_TESTS_DEDUP_UTIL_HH
#define QUILO_TESTS_DEDUP_UTIL_HH

#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dedup/wdedup.hh"
#include "dedup/wdedupimpl.hh"

using Bytes = std::vector<uint8_t>;

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Collects datastore messages while alive (and keeps them off stdout).
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  std::string text() const;
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
  void clear();
};

Bytes random_bytes(size_t n, uint32_t seed);
// Up to `limit` bytes of regular files found under the given directories
// (binaries and documentation of this machine), in a fixed order.
Bytes real_file_data(size_t limit, const std::vector<std::string>& dirs = {"/usr/bin",
                                                                          "/usr/share/doc"});
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// An engine on path dir/peer<ds>, with its preparation awaited.
std::unique_ptr<WDedup> open_engine(const std::string& dir, int ds, int size_mb = 1, int level = 4,
                                    bool boost = false);

// Both ends of a link, driven the way the Dedup element drives them:
// encode at A, decode at B, missing-chunk sync and checksum sync back to A.
struct DedupLink {
  WDedup* a;
  WDedup* b;
  uint64_t bytes_in = 0, bytes_out = 0, packets = 0;
  uint64_t missing_syncs = 0, checksum_syncs = 0, unencoded = 0, mismatches = 0;

  // Sends one payload; returns the payload as delivered on B's side (or as
  // rehydrated by A after a sync), so callers can compare it.
  Bytes send(const Bytes& payload);
  // Splits data into payloads of `size` bytes and sends each; returns the
  // number of payloads that did not arrive byte-identical.
  uint64_t send_all(const Bytes& data, size_t size);
};

#endif
