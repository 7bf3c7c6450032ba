#include "dedup/wdedupimpl.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dedup/quilodedupdecompress.hh"

namespace {

[[noreturn]] void die(const char* what, int err) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(err));
  std::exit(1);
}

// Creates every missing directory of `dir`; false with errno on failure.
bool make_dirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash))) return false;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return true;
}

}  // namespace

WDedupImpl::WDedupImpl(const std::string& path, int size_mb, unsigned chunk_len, int level,
                       bool lookup_boost, double error_rate)
    : path_(path),
      size_mb_(size_mb),
      chunk_len_(chunk_len),
      lookup_boost_(lookup_boost),
      error_rate_(error_rate),
      level_(level),
      window_(chunk_len),
      scan_(chunk_len),
      scratch_(chunk_len) {
  dropped_.reserve(256);
  queued_.reserve(64);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  if (int e = pthread_mutex_init(&lock_, &attr)) die("pthread_spin_init", e);
  pthread_mutexattr_destroy(&attr);
  lock_init_ = true;

  bool usable = true;
  if (size_mb_ <= 0 || chunk_len_ == 0 || chunk_len_ > 4096) {
    dedup_printf("Error : Invalid datastore size %d MB or chunk length %u for %s\n", size_mb_,
                 chunk_len_, path_.c_str());
    usable = false;
  } else {
    capacity_ = static_cast<uint64_t>(size_mb_) * 1048576u / (chunk_len_ + 8);
    if (capacity_ == 0 || capacity_ > static_cast<uint64_t>(INT32_MAX) - 200) {
      dedup_printf("Error : Invalid datastore size %d MB for %s\n", size_mb_, path_.c_str());
      usable = false;
    }
  }
  if (usable) {
    size_t slash = path_.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(path_.substr(0, slash))) {
      dedup_printf("Error : Could not create datastore directory %s: %s\n",
                   path_.substr(0, slash).c_str(), std::strerror(errno));
      usable = false;
    }
  }
  if (!usable) {
    prepared_.store(true, std::memory_order_release);
    return;
  }
  saved_slot_ = read_info_file();
  if (int e = pthread_create(&prepare_tid_, nullptr, prepare_thread, this)) die("pthread_create", e);
  prepare_started_ = true;
  if (int e = pthread_create(&slot_log_tid_, nullptr, slot_log_thread, this)) die("pthread_create", e);
  slot_log_started_ = true;
}

WDedupImpl::~WDedupImpl() {
  {
    std::lock_guard<std::mutex> g(stop_mu_);
    stop_.store(true);
  }
  stop_cv_.notify_all();
  if (slot_log_started_) pthread_join(slot_log_tid_, nullptr);
  if (prepare_started_) {
    if (int e = pthread_join(prepare_tid_, nullptr)) die("pthread_join", e);
  }
  if (ds_ready()) {
    if (lock()) {
      write_info_file();
      unlock();
    } else {
      dedup_printf("Error : Lock error in destructor.\n");
    }
  }
  delete cache_;
  if (lock_init_) pthread_mutex_destroy(&lock_);
}

void WDedupImpl::configure(int level, bool lookup_boost, double error_rate) {
  level_.store(level);
  std::lock_guard<std::mutex> g(settings_mu_);
  lookup_boost_ = lookup_boost;
  error_rate_ = error_rate;
}

bool WDedupImpl::wait_prepared(int timeout_ms) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!prepared() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return ds_ready();
}

bool WDedupImpl::lock() { return lock_init_ && pthread_mutex_lock(&lock_) == 0; }

int WDedupImpl::parse_slot(const char* buf, size_t n) {
  if (n <= 5) return 0;
  long long v = 0;
  size_t i = 5;
  if (buf[i] < '0' || buf[i] > '9') return 0;
  for (; i < n && buf[i] >= '0' && buf[i] <= '9'; ++i) {
    v = v * 10 + (buf[i] - '0');
    if (v > INT_MAX) return 0;
  }
  return static_cast<int>(v);
}

int WDedupImpl::read_info_file() {
  std::string info = path_ + ".info";
  int fd = open(info.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    dedup_printf("Error : Could not open persistent datastore info file\n");
    return 0;
  }
  char buf[64];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n < 0) {
    dedup_printf("Error : Could not read persistent datastore info file\n");
    return 0;
  }
  return parse_slot(buf, static_cast<size_t>(n));
}

void WDedupImpl::write_info_file() {
  if (!ds_ready()) return;
  // The slot saved is where writing resumes: what lies before it is in the
  // file first.
  cache_->flush();
  std::string info = path_ + ".info";
  int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    dedup_printf("Error : Could not open persistent datastore info file\n");
    return;
  }
  char buf[32];
  int len = std::snprintf(buf, sizeof buf, "SLOT %d", cache_->current_slot());
  if (write(fd, buf, static_cast<size_t>(len)) != len)
    dedup_printf("Error : Could not write persistent datastore info file\n");
  close(fd);
}

void* WDedupImpl::prepare_thread(void* self) {
  static_cast<WDedupImpl*>(self)->prepare_cache();
  return nullptr;
}

void* WDedupImpl::slot_log_thread(void* self) {
  static_cast<WDedupImpl*>(self)->slot_log();
  return nullptr;
}

void WDedupImpl::prepare_cache() {
  dedup_printf("Debug : Starting Quilo Byte-Cache v%.2f\n", VERSION);
  dedup_printf("Debug : Building datastore %s\n", path_.c_str());
  int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    dedup_printf("Error : Could not open persistent datastore %s\n", path_.c_str());
    dedup_printf("Error : %s: %s\n", path_.c_str(), std::strerror(errno));
    prepared_.store(true, std::memory_order_release);
    return;
  }
  bool boost;
  double rate;
  {
    std::lock_guard<std::mutex> g(settings_mu_);
    boost = lookup_boost_;
    rate = error_rate_;
  }
  auto* cache = new PersistentCache(fd, capacity_, chunk_len_);
  bool ok = cache->build_index(boost, rate);
  if (ok) {
    // Here, before the engine is ready, rather than in the first transfers:
    // a new datastore's index would otherwise fault in its memory under the
    // encoder and decoder, one zeroed huge page at a time.
    cache->populate_index(&stop_);
    ok = cache->load(saved_slot_, &stop_);
  }
  if (!ok) {
    delete cache;
    prepared_.store(true, std::memory_order_release);
    return;
  }
  if (saved_slot_ > 0 && cache->write_position() == static_cast<uint64_t>(saved_slot_))
    dedup_printf("Debug : Init %s %d\n", path_.c_str(), saved_slot_);
  cache_ = cache;
  // Announced before it is published, so that whoever sees the engine ready
  // also finds the message in the log.
  dedup_printf("Debug : Prepare Ready: %s\n", path_.c_str());
  ready_.store(true, std::memory_order_release);
  prepared_.store(true, std::memory_order_release);
}

void WDedupImpl::slot_log() {
  std::unique_lock<std::mutex> g(stop_mu_);
  while (!stop_.load()) {
    g.unlock();
    if (lock()) {
      write_info_file();
      unlock();
    } else {
      dedup_printf("Error : Lock error on log ds slot.\n");
    }
    g.lock();
    stop_cv_.wait_for(g, std::chrono::seconds(60), [this] { return stop_.load(); });
  }
}

unsigned WDedupImpl::get_slot() {
  if (!lock()) {
    errno = ENXIO;
    return ~0u;
  }
  unsigned slot = ds_ready() ? static_cast<unsigned>(cache_->current_slot()) : 0;
  unlock();
  return slot;
}

int WDedupImpl::compress(const uint8_t* src, uint8_t* dst, int len, int max) {
  if (!ds_ready()) {
    errno = EPERM;
    return -1;
  }
  if (len < static_cast<int>(chunk_len_)) {
    errno = EINTR;
    return -1;
  }
  if (!lock()) {
    errno = ENXIO;
    return -1;
  }
  // The peer rehydrates into max bytes as well: a longer payload could not
  // come back out, so it is not encoded.
  if (len > max) {
    unlock();
    errno = EIO;
    return -1;
  }
  dedupstream::ByteSink out(dst, static_cast<size_t>(max));
  QuiloDedupCompress enc(cache_, window_, scratch_.data(), chunk_len_, queued_, &scan_);
  cache_->read_ahead(true);  // only the engine's own calls use what was read ahead
  enc.w_compress(out, src, static_cast<size_t>(len), carry_, level_.load());
  cache_->read_ahead(false);
  if (out.overflow()) {
    // The packet leaves unencoded, so the peer never sees these chunks:
    // keeping them would only make later references fail at the peer.
    for (uint64_t fp : queued_) cache_->remove(fp);
    cache_->commit();
    unlock();
    errno = EIO;
    return -1;
  }
  unlock();
  return static_cast<int>(out.length());
}

int WDedupImpl::decompress(const uint8_t* src, uint8_t* dst, int len, int max,
                           std::set<uint64_t>& missing, bool sync) {
  if (!ds_ready()) {
    errno = EPERM;
    return -1;
  }
  if (!lock()) {
    errno = ENXIO;
    return -1;
  }
  missing.clear();
  dedupstream::ByteSink out(dst, max > 0 ? static_cast<size_t>(max) : 0);
  QuiloDedupDecompress dec(cache_, window_, chunk_len_, dropped_);
  cache_->read_ahead(true);
  bool ok = len <= 0 || dec.w_decompress(src, static_cast<size_t>(len), out, missing, sync);
  cache_->read_ahead(false);
  if (!ok || !missing.empty() || out.overflow()) {
    cache_->commit();
    unlock();
    errno = !ok ? ESRCH : !missing.empty() ? ENOENT : EIO;
    return -1;
  }
  unlock();
  return static_cast<int>(out.length());
}

void WDedupImpl::commit() {
  if (!ds_ready()) return;
  if (!lock()) return;
  cache_->commit();
  unlock();
}

void WDedupImpl::writedisk() {
  if (!ds_ready()) return;
  if (!lock()) return;
  cache_->writedisk();
  unlock();
}
