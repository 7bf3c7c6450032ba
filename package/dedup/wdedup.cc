#include "dedup/wdedup.hh"

#include "dedup/wdedupimpl.hh"

WDedup::WDedup(const std::string& path, int size_mb, unsigned chunk_len, int level,
               bool lookup_boost, double error_rate)
    : impl_(new WDedupImpl(path, size_mb, chunk_len, level, lookup_boost, error_rate)) {}

WDedup::~WDedup() { delete impl_; }

std::string WDedup::datastore_path(const std::string& dir, int ds) {
  std::string p = dir;
  if (p.empty()) p = DEFAULT_DIR;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p != "/") p += '/';
  p += "peer";
  p += ds == 1000 ? std::string("X") : std::to_string(ds);
  return p;
}

void WDedup::configure(int level, bool lookup_boost, double error_rate) {
  impl_->configure(level, lookup_boost, error_rate);
}
bool WDedup::ds_ready() const { return impl_->ds_ready(); }
bool WDedup::wait_prepared(int timeout_ms) const { return impl_->wait_prepared(timeout_ms); }
unsigned WDedup::get_slot() { return impl_->get_slot(); }
int WDedup::compress(const uint8_t* src, uint8_t* dst, int len, int max) {
  return impl_->compress(src, dst, len, max);
}
int WDedup::decompress(const uint8_t* src, uint8_t* dst, int len, int max,
                       std::set<uint64_t>& missing, bool sync) {
  return impl_->decompress(src, dst, len, max, missing, sync);
}
void WDedup::commit() { impl_->commit(); }
void WDedup::writedisk() { impl_->writedisk(); }
