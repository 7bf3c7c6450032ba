// The byte-cache engine: owns the datastore, its lock and its two threads
// (preparation at start, slot log once a minute), and runs the encoder and
// the decoder under the lock. Plain C++ and POSIX; no router dependency.
#ifndef QUILO_DEDUP_WDEDUPIMPL_HH
#define QUILO_DEDUP_WDEDUPIMPL_HH

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "dedup/inflightwindow.hh"
#include "dedup/persistentcache.hh"
#include "dedup/quilodedupcompress.hh"

class WDedupImpl {
 public:
  static constexpr double VERSION = 1.08;

  // Starts the preparation and slot-log threads. The settings given here
  // are in force before preparation reads them; configure() can change
  // the level at any time, lookup boost and its error rate only until
  // preparation has built the index.
  WDedupImpl(const std::string& path, int size_mb, unsigned chunk_len, int level = 4,
             bool lookup_boost = false, double error_rate = 0.05);
  ~WDedupImpl();
  WDedupImpl(const WDedupImpl&) = delete;
  WDedupImpl& operator=(const WDedupImpl&) = delete;

  void configure(int level, bool lookup_boost, double error_rate);
  bool ds_ready() const { return ready_.load(std::memory_order_acquire); }
  // True once preparation has ended, successfully or not.
  bool prepared() const { return prepared_.load(std::memory_order_acquire); }
  // Waits up to timeout_ms for preparation to end; returns ds_ready().
  bool wait_prepared(int timeout_ms) const;

  // Current slot when ready, else 0; all ones (errno ENXIO) when the lock fails.
  unsigned get_slot();
  // Encoded length of src, or -1 with errno: EPERM not ready, EINTR len below
  // the chunk length, ENXIO lock, EIO the payload or its encoding exceeds max.
  int compress(const uint8_t* src, uint8_t* dst, int len, int max);
  // Rehydrated length, or -1 with errno: EPERM not ready, ENXIO lock, ESRCH
  // malformed stream, ENOENT chunks missing (listed in `missing`), EIO the
  // output exceeds max (nothing is written past dst + max).
  int decompress(const uint8_t* src, uint8_t* dst, int len, int max, std::set<uint64_t>& missing,
                 bool sync);
  // Commits queued chunks to the datastore (under the engine lock); their
  // bytes reach the file when its write-behind buffer fills. Per packet.
  void commit();
  // Commits queued chunks and writes every committed one to the file.
  void writedisk();

  const std::string& path() const { return path_; }
  int level() const { return level_.load(); }
  int saved_slot() const { return saved_slot_; }
  uint64_t capacity() const { return capacity_; }
  // The datastore itself, for diagnostics and tests; null until ready.
  PersistentCache* cache() const { return ds_ready() ? cache_ : nullptr; }

  // "SLOT <n>" parsed within the n bytes read; anything else gives 0.
  static int parse_slot(const char* buf, size_t n);

 private:
  static void* prepare_thread(void* self);
  static void* slot_log_thread(void* self);
  void prepare_cache();
  void slot_log();
  int read_info_file();
  void write_info_file();
  bool lock();
  void unlock() { pthread_mutex_unlock(&lock_); }

  std::string path_;
  int size_mb_;
  unsigned chunk_len_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> prepared_{false};
  const int hash_method_ = 2;
  PersistentCache* cache_ = nullptr;
  std::mutex settings_mu_;
  bool lookup_boost_;
  double error_rate_;
  std::atomic<int> level_;
  uint64_t capacity_ = 0;
  DedupCarry carry_;
  InflightWindow window_;
  DedupScanBuffers scan_;
  std::vector<uint8_t> scratch_;
  std::vector<uint64_t> dropped_;
  std::vector<uint64_t> queued_;
  pthread_t prepare_tid_{};
  bool prepare_started_ = false;
  pthread_mutex_t lock_;
  bool lock_init_ = false;
  int saved_slot_ = 0;
  pthread_t slot_log_tid_{};
  bool slot_log_started_ = false;
  std::atomic<bool> stop_{false};
  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
};

#endif
