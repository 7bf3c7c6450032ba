#include "dedup/persistentcache.hh"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<DedupMessageSink> g_sink{nullptr};

void put_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// pread until n bytes, end of file or an error; returns bytes read or -1.
ssize_t pread_full(int fd, uint8_t* buf, size_t n, uint64_t off) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, buf + got, n - got, static_cast<off_t>(off + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return got ? static_cast<ssize_t>(got) : -1;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

ssize_t pwrite_full(int fd, const uint8_t* buf, size_t n, uint64_t off) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pwrite(fd, buf + done, n - done, static_cast<off_t>(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return done ? static_cast<ssize_t>(done) : -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

void set_dedup_message_sink(DedupMessageSink sink) { g_sink.store(sink); }

void dedup_printf(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (DedupMessageSink s = g_sink.load()) {
    s(buf);
  } else {
    std::fputs(buf, stdout);
    std::fflush(stdout);
  }
}

PersistentCache::PersistentCache(int fd, uint64_t capacity, unsigned chunk_len)
    : fd_(fd),
      pending_records_(static_cast<size_t>(MAX_PENDING) * (chunk_len + 8)),
      capacity_(capacity),
      chunk_len_(chunk_len),
      record_size_(chunk_len + 8),
      record_(chunk_len + 8),
      ra_buf_(static_cast<size_t>(READ_AHEAD) * (chunk_len + 8)),
      batch_(static_cast<size_t>(MAX_PENDING + EVICT_BATCH) * (chunk_len + 8)),
      // About 128 KB: a write per few dozen payloads of new data instead
      // of one per payload; never less than a full queue.
      wb_max_(std::max<uint64_t>(MAX_PENDING, (128u << 10) / (chunk_len + 8))) {
  wb_.resize(static_cast<size_t>(wb_max_) * record_size_);
}

PersistentCache::~PersistentCache() {
  flush();
  if (fd_ >= 0) close(fd_);
  free_counting_bloom(bloom_);
}

bool PersistentCache::build_index(bool lookup_boost, double error_rate) {
  if (!index_.init(capacity_)) {
    dedup_printf("Error : Could not allocate the datastore index for %llu records\n",
                 static_cast<unsigned long long>(capacity_));
    return false;
  }
  boost_ = lookup_boost;
  if (boost_) {
    bloom_ = new_counting_bloom(static_cast<unsigned>(capacity_ + 100), error_rate);
    if (!bloom_) return false;
  }
  return true;
}

void PersistentCache::index_insert(uint64_t fp, uint64_t record) {
  int r = index_.insert(fp, static_cast<int32_t>(record));
  if (r < 0) {
    dedup_printf("Error - Unable to set hash table value. Size: %u, Buckets: %u, Occupied: %u\n",
                 static_cast<unsigned>(index_.size()), static_cast<unsigned>(index_.buckets()),
                 static_cast<unsigned>(index_.size()));
    return;
  }
  // A replaced key is already counted in the bloom filter.
  if (r == 1 && bloom_) counting_bloom_add(bloom_, &fp, sizeof fp);
}

void PersistentCache::index_erase(uint64_t fp, int64_t record) {
  bool gone = record < 0 ? index_.erase(fp) : index_.erase_if(fp, static_cast<int32_t>(record));
  if (gone && bloom_) counting_bloom_remove(bloom_, &fp, sizeof fp);
}

bool PersistentCache::load(int saved_slot, const std::atomic<bool>* stop) {
  constexpr size_t kBlockRecords = 4096;
  std::vector<uint8_t> block(kBlockRecords * record_size_);
  uint64_t r = 0;
  for (;;) {
    if (stop && stop->load()) return false;
    ssize_t n = pread_full(fd_, block.data(), block.size(), r * record_size_);
    if (n < 0) {
      dedup_printf("Read error\n");
      break;
    }
    size_t whole = static_cast<size_t>(n) / record_size_;
    for (size_t i = 0; i < whole; ++i, ++r) {
      index_insert(get_le64(block.data() + i * record_size_), r);
      current_slot_ = static_cast<int>(r);
      write_pos_ = r + 1;
    }
    if (static_cast<size_t>(n) < block.size()) break;
  }
  file_records_ = r;
  if (saved_slot > 0 && current_slot_ != 0 && current_slot_ >= saved_slot)
    write_pos_ = static_cast<uint64_t>(saved_slot);
  // The slot shown and saved is where writing resumes, so that a restart
  // without writes does not move it back by one record.
  current_slot_ = static_cast<int>(write_pos_);
  // A file that already holds the whole ring is in its wrapped state: the
  // records ahead of the writer are live and get evicted before reuse.
  if (file_records_ >= capacity_) wrap_count_ = 1;
  if (write_pos_ > capacity_) {
    write_pos_ = 0;
    current_slot_ = 0;
  }
  frontier_ = write_pos_;
  return true;
}

const uint8_t* PersistentCache::lookup(uint64_t fp, Hit* hit) {
  unsigned bit = pending_bit(fp);
  if (pending_bits_[bit / 64] & (uint64_t(1) << (bit % 64))) {
    for (unsigned i = pending_count_; i-- > 0;) {
      if (!pending_live_[i] || pending_fp_[i] != fp) continue;
      if (hit) *hit = Hit{Hit::PENDING, i};
      return pending_records_.data() + static_cast<size_t>(i) * record_size_ + 8;
    }
  }
  int32_t rec = index_.find(fp);
  if (rec < 0) return nullptr;
  if (bloom_ && !counting_bloom_check(bloom_, &fp, sizeof fp)) return nullptr;
  const uint8_t* r = read_record(static_cast<uint64_t>(rec));
  if (!r) {
    dedup_printf("Corrupt datastore\n");
    return nullptr;
  }
  if (get_le64(r) != fp) {
    // The ring has overwritten this record since the index learnt it.
    index_erase(fp, rec);
    return nullptr;
  }
  if (hit) *hit = Hit{Hit::DISK, static_cast<uint64_t>(rec)};
  return r + 8;
}

void PersistentCache::forget_read_ahead(uint64_t from, uint64_t to) {
  if (from < ra_first_ + ra_count_ && ra_first_ < to) ra_count_ = 0;
}

const uint8_t* PersistentCache::read_record(uint64_t rec) {
  if (buffered(rec)) return wb_.data() + (rec - wb_first_) * record_size_;
  if (!ra_on_) {
    ssize_t n = pread_full(fd_, record_.data(), record_size_, rec * record_size_);
    return n == static_cast<ssize_t>(record_size_) ? record_.data() : nullptr;
  }
  if (rec < ra_first_ || rec - ra_first_ >= ra_count_) {
    // What lies in the file from the buffer's first record on is stale or
    // missing: the read stops short of it.
    size_t want = ra_buf_.size();
    if (wb_count_ && rec < wb_first_)
      want = std::min<size_t>(want, static_cast<size_t>(wb_first_ - rec) * record_size_);
    ssize_t n = pread_full(fd_, ra_buf_.data(), want, rec * record_size_);
    ra_first_ = rec;
    ra_count_ = n > 0 ? static_cast<uint64_t>(n) / record_size_ : 0;
    if (ra_count_ == 0) return nullptr;
  }
  return ra_buf_.data() + (rec - ra_first_) * record_size_;
}

void PersistentCache::queue(uint64_t fp, const uint8_t* chunk) {
  if (pending_count_ == MAX_PENDING) commit();
  pending_fp_[pending_count_] = fp;
  pending_live_[pending_count_] = true;
  uint8_t* rec = pending_records_.data() + static_cast<size_t>(pending_count_) * record_size_;
  put_le64(rec, fp);
  std::memcpy(rec + 8, chunk, chunk_len_);
  ++pending_count_;
  // The index line commit() inserts into loads while the payload is worked on.
  index_.prefetch(fp);
  unsigned bit = pending_bit(fp);
  pending_bits_[bit / 64] |= uint64_t(1) << (bit % 64);
}

void PersistentCache::remove(uint64_t fp) {
  for (unsigned i = 0; i < pending_count_; ++i)
    if (pending_fp_[i] == fp) pending_live_[i] = false;
  index_erase(fp, -1);
}

void PersistentCache::replace(const Hit& hit, uint64_t fp, const uint8_t* chunk) {
  if (hit.kind == Hit::PENDING) {
    pending_live_[hit.where] = false;
  } else if (hit.kind == Hit::DISK) {
    if (index_.find(fp) != static_cast<int32_t>(hit.where)) {
      dedup_printf("Error : Dedup update error, hash not found!\n");
    } else {
      forget_read_ahead(hit.where, hit.where + 1);
      uint64_t off = hit.where * record_size_ + 8;
      if (buffered(hit.where))
        std::memcpy(wb_.data() + (hit.where - wb_first_) * record_size_ + 8, chunk, chunk_len_);
      else if (pwrite_full(fd_, chunk, chunk_len_, off) != static_cast<ssize_t>(chunk_len_))
        dedup_printf("Error : Update Write Error\n");
    }
    index_erase(fp, -1);
  }
  queue(fp, chunk);
}

void PersistentCache::evict(uint64_t from, uint64_t to) {
  // Eviction reads the file: records still buffered go there first.
  if (wb_count_ && from < wb_first_ + wb_count_ && wb_first_ < to) flush();
  size_t n = static_cast<size_t>(to - from);
  ssize_t got = pread_full(fd_, batch_.data(), n * record_size_, from * record_size_);
  size_t whole = got > 0 ? static_cast<size_t>(got) / record_size_ : 0;
  for (size_t i = 0; i < whole; ++i)
    index_erase(get_le64(batch_.data() + i * record_size_), static_cast<int64_t>(from + i));
  for (uint64_t r = from + whole; r < to; ++r)
    if (r < capacity_) dedup_printf("Wrap Read Length Error : %lu\n", static_cast<unsigned long>(r));
}

void PersistentCache::flush() {
  if (wb_count_ == 0) return;
  const size_t bytes = static_cast<size_t>(wb_count_) * record_size_;
  const ssize_t w = pwrite_full(fd_, wb_.data(), bytes, wb_first_ * record_size_);
  if (w != static_cast<ssize_t>(bytes)) {
    dedup_printf("Write Error\n");
    // Records that did not reach the file leave the index.
    for (uint64_t r = w > 0 ? static_cast<uint64_t>(w) / record_size_ : 0; r < wb_count_; ++r)
      index_erase(get_le64(wb_.data() + r * record_size_), static_cast<int64_t>(wb_first_ + r));
  }
  wb_count_ = 0;
}

void PersistentCache::commit() {
  if (pending_count_ <= 2) return;
  const uint64_t n = pending_count_;
  // Every record about to be overwritten leaves the index first (its
  // fingerprint only, and only while the index still names that record).
  uint64_t lo = std::max(frontier_, write_pos_);
  if (lo < write_pos_ + n && lo < file_records_) {
    uint64_t hi = std::min(std::max(write_pos_ + n, lo + EVICT_BATCH), file_records_);
    hi = std::min(hi, lo + MAX_PENDING + EVICT_BATCH);
    evict(lo, hi);
    frontier_ = hi;
  }
  current_slot_ = static_cast<int>(write_pos_);
  const uint64_t first = write_pos_;
  forget_read_ahead(first, first + n);
  // The buffer holds one run of consecutive records.
  if (wb_count_ && (wb_first_ + wb_count_ != first || wb_count_ + n > wb_max_)) flush();
  if (wb_count_ == 0) wb_first_ = first;
  std::memcpy(wb_.data() + wb_count_ * record_size_, pending_records_.data(), n * record_size_);
  wb_count_ += n;
  write_pos_ += n;
  file_records_ = std::max(file_records_, write_pos_);
  // The tag lines were requested as the chunks were queued: the slots the
  // inserts fill start loading together, rather than one insert's miss at a
  // time.
  for (uint64_t i = 0; i < n; ++i)
    if (pending_live_[i]) index_.prefetch_insert(pending_fp_[i]);
  for (uint64_t i = 0; i < n; ++i) {
    if (pending_live_[i]) index_insert(pending_fp_[i], first + i);
    ++current_slot_;
  }
  if (wb_count_ == wb_max_) flush();
  if (static_cast<uint64_t>(current_slot_) != write_pos_)
    dedup_printf("slot slot32: %lu %d\n", static_cast<unsigned long>(write_pos_), current_slot_);
  if (write_pos_ > capacity_) {
    ++wrap_count_;
    dedup_printf("Debug : Wrap: %d %lu\n", wrap_count_, static_cast<unsigned long>(write_pos_));
    dedup_printf("HashTable State : Size: %u, Buckets: %u, Occupied: %u, Grow: %i\n",
                 static_cast<unsigned>(index_.size()), static_cast<unsigned>(index_.buckets()),
                 static_cast<unsigned>(index_.size()), 0);
    write_pos_ = 0;
    current_slot_ = 0;
    frontier_ = 0;
  }
  pending_count_ = 0;
  std::memset(pending_bits_, 0, sizeof pending_bits_);
}
