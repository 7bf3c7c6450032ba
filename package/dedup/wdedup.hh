// Facade of the byte-cache engine: what the Dedup element holds.
#ifndef QUILO_DEDUP_WDEDUP_HH
#define QUILO_DEDUP_WDEDUP_HH

#include <cstdint>
#include <set>
#include <string>

class WDedupImpl;

class WDedup {
 public:
  static constexpr unsigned CHUNK_LEN = 330;
  // Largest payload either end encodes or rehydrates.
  static constexpr int MAX_PAYLOAD = 2000;
  static constexpr const char* DEFAULT_DIR = "/quilo/ds0";

  WDedup(const std::string& path, int size_mb, unsigned chunk_len, int level = 4,
         bool lookup_boost = false, double error_rate = 0.05);
  ~WDedup();
  WDedup(const WDedup&) = delete;
  WDedup& operator=(const WDedup&) = delete;

  // "<dir>/peer<ds>", with "X" in place of the number for ds 1000.
  static std::string datastore_path(const std::string& dir, int ds);

  void configure(int level, bool lookup_boost, double error_rate);
  bool ds_ready() const;
  bool wait_prepared(int timeout_ms) const;
  unsigned get_slot();
  int compress(const uint8_t* src, uint8_t* dst, int len, int max);
  int decompress(const uint8_t* src, uint8_t* dst, int len, int max, std::set<uint64_t>& missing,
                 bool sync);
  // Commits the chunks the last call queued; the file is written in large
  // writes (what is not yet written is read back from memory).
  void commit();
  // Commits, and writes everything committed to the file.
  void writedisk();
  WDedupImpl* impl() const { return impl_; }

 private:
  WDedupImpl* impl_;
};

#endif
