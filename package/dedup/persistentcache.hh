// The byte cache's datastore: one file of fixed-size records (8-byte
// little-endian fingerprint, then the chunk bytes), written as a ring, and the
// in-memory index from fingerprint to record number rebuilt at every start.
// New chunks are queued; commit() gives them their records and indexes them,
// and their bytes wait in a write-behind buffer that goes to the file in one
// write once it fills, at writedisk() and before the slot is saved. Reads of
// records still in the buffer are served from it.
//
// Not thread-safe: the engine (WDedupImpl) serialises every call.
#ifndef QUILO_DEDUP_PERSISTENTCACHE_HH
#define QUILO_DEDUP_PERSISTENTCACHE_HH

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dedup/countingbloom.hh"
#include "dedup/fingerprintindex.hh"

// Datastore messages go to standard output; tests may redirect them.
using DedupMessageSink = void (*)(const char* text);
void set_dedup_message_sink(DedupMessageSink sink);  // nullptr: standard output
void dedup_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class PersistentCache {
 public:
  static constexpr unsigned MAX_PENDING = 100;
  static constexpr unsigned EVICT_BATCH = 20;

  // Where a looked-up chunk was found.
  struct Hit {
    enum Kind { NONE, PENDING, DISK } kind = NONE;
    uint64_t where = 0;  // pending index or record number
  };

  // Takes ownership of fd. capacity: records in the ring.
  PersistentCache(int fd, uint64_t capacity, unsigned chunk_len);
  ~PersistentCache();
  PersistentCache(const PersistentCache&) = delete;
  PersistentCache& operator=(const PersistentCache&) = delete;

  // Presizes the index (and the bloom filter when boost is on).
  bool build_index(bool lookup_boost, double error_rate);
  // Backs the index with memory ahead of use (FingerprintIndex::populate).
  void populate_index(const std::atomic<bool>* stop) { index_.populate(stop); }
  // Reads every whole record of the file into the index and positions the
  // writer; saved_slot is the slot from the info file (0: none). Stops early
  // (returning false) when *stop becomes true.
  bool load(int saved_slot, const std::atomic<bool>* stop);

  // Chunk bytes stored under fp (chunk_len bytes, valid until the next call),
  // or nullptr. Queued chunks are found too. A record is trusted only when
  // the fingerprint stored in it equals fp.
  const uint8_t* lookup(uint64_t fp, Hit* hit = nullptr);
  void prefetch(uint64_t fp) const { index_.prefetch(fp); }
  void prefetch_entry(uint64_t fp) const { index_.prefetch_entry(fp); }
  // False when lookup(fp) would certainly find nothing (and do nothing):
  // fp is neither queued nor in the index. Reads one index line at most.
  bool may_hold(uint64_t fp) { return may_hold(fp, index_.group_of(fp)); }
  // The same for a probe that prefetch_probe() started.
  bool may_hold(uint64_t fp, uint64_t group) {
    unsigned bit = pending_bit(fp);
    return (pending_bits_[bit / 64] >> (bit % 64) & 1) != 0 || index_.may_contain(fp, group);
  }
  // Starts the index read of a probe of fp; what it returns goes to may_hold().
  uint64_t prefetch_probe(uint64_t fp) const { return index_.prefetch_group(index_.group_of(fp)); }
  // The encoder counts the fingerprints it checks against the store.
  void count_probes(uint64_t n) { probes_ += n; }
  // While on (the engine turns it on for its encoder and decoder calls),
  // reading a record brings the next READ_AHEAD - 1 records along, and
  // later lookups find them there until the datastore writes over them: the
  // chunks of repeated data were mostly stored one after another, and every
  // read is a system call. Off (the default), a lookup reads its record
  // alone. The engine is the only writer of its datastore file.
  static constexpr unsigned READ_AHEAD = 16;
  void read_ahead(bool on) { ra_on_ = on; }
  // Queues a chunk for the next commit (committing first when the queue is full).
  void queue(uint64_t fp, const uint8_t* chunk);
  // Drops fp from the index, the bloom filter and the queue.
  void remove(uint64_t fp);
  // Received chunk differs from what is stored under fp: rewrite the
  // record in place, forget fp, queue the chunk anew.
  void replace(const Hit& hit, uint64_t fp, const uint8_t* chunk);
  // Commits the queued chunks (when 3 or more): evicts from the index the
  // records about to be overwritten, indexes the new ones and moves their
  // bytes to the write-behind buffer, which is written out when full.
  void commit();
  // Writes the write-behind buffer to the file.
  void flush();
  // commit(), then flush(): every committed record is in the file.
  void writedisk() {
    commit();
    flush();
  }

  // Fingerprints the encoder has checked against the store (a statistic).
  uint64_t probes() const { return probes_; }
  int current_slot() const { return current_slot_; }
  uint64_t write_position() const { return write_pos_; }
  uint64_t capacity() const { return capacity_; }
  unsigned pending_count() const { return pending_count_; }
  // Committed records not yet in the file.
  uint64_t buffered_count() const { return wb_count_; }
  int wrap_count() const { return wrap_count_; }
  uint64_t file_records() const { return file_records_; }
  uint64_t eviction_frontier() const { return frontier_; }
  const FingerprintIndex& index() const { return index_; }
  FingerprintIndex& index() { return index_; }
  counting_bloom_t* bloom() const { return bloom_; }
  bool lookup_boost() const { return boost_; }
  unsigned chunk_len() const { return chunk_len_; }
  unsigned record_size() const { return record_size_; }
  int fd() const { return fd_; }

 private:
  void index_insert(uint64_t fp, uint64_t record);
  void index_erase(uint64_t fp, int64_t record);  // record -1: whatever it names
  void evict(uint64_t from, uint64_t to);
  // The bytes of record `rec` (record_size_ of them), or null after a short read.
  const uint8_t* read_record(uint64_t rec);
  // Records [from, to) are about to change on disk.
  void forget_read_ahead(uint64_t from, uint64_t to);
  unsigned pending_bit(uint64_t fp) const { return static_cast<unsigned>(fp >> 54); }

  int fd_;
  int wrap_count_ = 0;
  uint64_t write_pos_ = 0;
  int current_slot_ = 0;
  unsigned pending_count_ = 0;
  uint64_t pending_fp_[MAX_PENDING] = {};
  bool pending_live_[MAX_PENDING] = {};
  uint64_t pending_bits_[16] = {};  // 1024-bit filter over queued fingerprints
  // The queued records laid out as in the file (fingerprint, then the
  // chunk), so that writedisk() writes them as they stand.
  std::vector<uint8_t> pending_records_;
  FingerprintIndex index_;
  counting_bloom_t* bloom_ = nullptr;
  bool boost_ = false;
  uint64_t capacity_;
  uint64_t frontier_ = 0;       // records in [write_pos_, frontier_) are already evicted
  uint64_t file_records_ = 0;   // whole records present in the file
  uint64_t probes_ = 0;
  unsigned chunk_len_;
  unsigned record_size_;
  std::vector<uint8_t> record_;  // one record, for lookups
  bool ra_on_ = false;
  uint64_t ra_first_ = 0;        // records read ahead: [ra_first_, ra_first_ + ra_count_)
  uint64_t ra_count_ = 0;
  std::vector<uint8_t> ra_buf_;
  std::vector<uint8_t> batch_;   // records read for eviction
  // Write-behind buffer: records [wb_first_, wb_first_ + wb_count_), in file
  // layout, committed but not yet written; wb_max_ records fit.
  std::vector<uint8_t> wb_;
  uint64_t wb_first_ = 0;
  uint64_t wb_count_ = 0;
  uint64_t wb_max_;
  bool buffered(uint64_t rec) const { return rec - wb_first_ < wb_count_; }
};

#endif
