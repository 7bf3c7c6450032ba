#include "dedup_test_util.hh"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "dedup/persistentcache.hh"

namespace {

std::mutex g_capture_mu;
std::string g_captured;

void capture_sink(const char* text) {
  std::lock_guard<std::mutex> g(g_capture_mu);
  if (g_captured.size() < (1u << 20)) g_captured += text;
}

void remove_tree(const std::string& p) {
  DIR* d = opendir(p.c_str());
  if (d) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      std::string c = p + "/" + n;
      struct stat st;
      if (lstat(c.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        remove_tree(c);
      else
        unlink(c.c_str());
    }
    closedir(d);
  }
  rmdir(p.c_str());
}

void collect_files(const std::string& dir, std::vector<std::string>& out, int depth) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    if (n == "." || n == "..") continue;
    std::string c = dir + "/" + n;
    struct stat st;
    if (lstat(c.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode) && st.st_size > 0)
      out.push_back(c);
    else if (S_ISDIR(st.st_mode) && depth < 3)
      collect_files(c, out, depth + 1);
  }
}

}  // namespace

TempDir::TempDir() {
  char tmpl[] = "/tmp/quilo-dedup-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { remove_tree(path_); }

MessageCapture::MessageCapture() {
  clear();
  set_dedup_message_sink(capture_sink);
}
MessageCapture::~MessageCapture() { set_dedup_message_sink(nullptr); }
std::string MessageCapture::text() const {
  std::lock_guard<std::mutex> g(g_capture_mu);
  return g_captured;
}
void MessageCapture::clear() {
  std::lock_guard<std::mutex> g(g_capture_mu);
  g_captured.clear();
}

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

Bytes real_file_data(size_t limit, const std::vector<std::string>& dirs) {
  std::vector<std::string> files;
  for (const auto& d : dirs) collect_files(d, files, 0);
  Bytes out;
  // Interleave binaries and documents so small limits see both kinds.
  std::vector<size_t> idx(dirs.size(), 0);
  std::vector<std::vector<std::string>> per(dirs.size());
  for (const auto& f : files)
    for (size_t i = 0; i < dirs.size(); ++i)
      if (f.compare(0, dirs[i].size(), dirs[i]) == 0) {
        per[i].push_back(f);
        break;
      }
  bool any = true;
  while (out.size() < limit && any) {
    any = false;
    for (size_t i = 0; i < per.size() && out.size() < limit; ++i) {
      if (idx[i] >= per[i].size()) continue;
      any = true;
      std::string data = read_file(per[i][idx[i]++]);
      size_t take = std::min(data.size(), std::min<size_t>(limit - out.size(), 4u << 20));
      out.insert(out.end(), data.begin(), data.begin() + static_cast<long>(take));
    }
  }
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

std::unique_ptr<WDedup> open_engine(const std::string& dir, int ds, int size_mb, int level,
                                    bool boost) {
  auto e = std::make_unique<WDedup>(WDedup::datastore_path(dir, ds), size_mb, WDedup::CHUNK_LEN,
                                    level, boost, 0.05);
  e->wait_prepared(20000);
  return e;
}

Bytes DedupLink::send(const Bytes& payload) {
  ++packets;
  bytes_in += payload.size();
  uint8_t enc[WDedup::MAX_PAYLOAD];
  uint8_t dec[WDedup::MAX_PAYLOAD];
  int n = a->compress(payload.data(), enc, static_cast<int>(payload.size()), WDedup::MAX_PAYLOAD);
  a->writedisk();
  if (n < 0) {
    // Too short, too long or not fitting: the packet travels as it is.
    ++unencoded;
    bytes_out += payload.size();
    return payload;
  }
  bytes_out += static_cast<uint64_t>(n);
  std::set<uint64_t> missing;
  int m = b->decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, false);
  b->writedisk();
  if (m < 0 && errno == ENOENT) {
    // Back to the sender with the sync flag: it rehydrates the packet itself
    // and forgets the chunks it referenced.
    ++missing_syncs;
    int k = a->decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, true);
    a->writedisk();
    if (k < 0) return {};
    return Bytes(dec, dec + k);
  }
  if (m < 0) return {};
  Bytes got(dec, dec + m);
  if (got != payload) {
    // What the TCP checksum catches at the receiver: decode again in sync
    // mode at both ends.
    ++checksum_syncs;
    b->decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, true);
    b->writedisk();
    int k = a->decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, true);
    a->writedisk();
    if (k < 0) return {};
    return Bytes(dec, dec + k);
  }
  return got;
}

uint64_t DedupLink::send_all(const Bytes& data, size_t size) {
  uint64_t bad = 0;
  for (size_t off = 0; off < data.size(); off += size) {
    size_t len = std::min(size, data.size() - off);
    Bytes p(data.begin() + static_cast<long>(off), data.begin() + static_cast<long>(off + len));
    if (send(p) != p) ++bad;
  }
  mismatches += bad;
  return bad;
}
