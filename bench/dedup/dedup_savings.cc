// Savings of the byte cache on this machine's own files: a corpus of real
// files goes through an encoder and a decoder (two engines, as the two
// appliances) twice, cut into payloads of a given size; prints bytes out
// against bytes in for each pass and checks every payload comes back intact.
//
//   dedup_savings [corpus MB = 100] [payload sizes... = 1320 1448]
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dedup/persistentcache.hh"
#include "dedup/wdedup.hh"

namespace {

void quiet(const char*) {}

void collect(const std::string& dir, std::vector<std::string>& out, int depth) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    if (n == "." || n == "..") continue;
    std::string p = dir + "/" + n;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode) && st.st_size > 0)
      out.push_back(p);
    else if (S_ISDIR(st.st_mode) && depth < 6)
      collect(p, out, depth + 1);
  }
}

std::vector<uint8_t> corpus(size_t limit) {
  std::vector<std::string> files;
  for (const char* d : {"/usr/bin", "/usr/share/doc", "/usr/lib/x86_64-linux-gnu", "/usr/include",
                        "/usr/share", "/usr/lib"})
    collect(d, files, 0);
  std::set<std::string> seen;
  std::vector<uint8_t> out;
  for (const auto& f : files) {
    if (out.size() >= limit) break;
    if (!seen.insert(f).second) continue;
    std::ifstream in(f, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    size_t take = std::min(s.size(), limit - out.size());
    out.insert(out.end(), s.begin(), s.begin() + static_cast<long>(take));
  }
  return out;
}

struct Pass {
  uint64_t in = 0, out = 0, bad = 0, syncs = 0, plain = 0;
  // Where the output bytes go: tokens by kind, literal bytes by place in the
  // payload (before its first token, after its last, in between), escapes.
  uint64_t refs = 0, ref_bytes = 0, cont = 0, win = 0, fresh = 0, fresh_bytes = 0;
  uint64_t lead = 0, trail = 0, mid = 0, escapes = 0;
  double seconds = 0;

  void account(const uint8_t* e, int n) {
    uint64_t run = 0;
    bool first = true;
    for (int i = 0; i < n;) {
      if (e[i] != 0xF1 || i + 1 >= n || e[i + 1] == 0x00) {
        int k = e[i] == 0xF1 && i + 1 < n ? 2 : 1;
        run += static_cast<uint64_t>(k);
        escapes += k == 2;
        i += k;
        continue;
      }
      (first ? lead : mid) += run;
      run = 0;
      first = false;
      switch (e[i + 1]) {
        case 0x01: ++fresh; fresh_bytes += 332; i += 332; break;
        case 0x02: ++refs; ref_bytes += 10; i += 10; break;
        case 0x03: ++win; ref_bytes += 3; i += 3; break;
        default: ++cont; ref_bytes += 11; i += 11; break;
      }
    }
    (first ? lead : trail) += run;
  }
};

Pass send(WDedup& a, WDedup& b, const std::vector<uint8_t>& data, size_t size) {
  Pass r;
  uint8_t enc[WDedup::MAX_PAYLOAD], dec[WDedup::MAX_PAYLOAD];
  std::set<uint64_t> missing;
  auto t0 = std::chrono::steady_clock::now();
  for (size_t off = 0; off < data.size(); off += size) {
    int len = static_cast<int>(std::min(size, data.size() - off));
    const uint8_t* p = &data[off];
    r.in += static_cast<uint64_t>(len);
    int n = a.compress(p, enc, len, WDedup::MAX_PAYLOAD);
    a.writedisk();
    if (n < 0) {
      r.out += static_cast<uint64_t>(len);
      ++r.plain;
      continue;
    }
    r.out += static_cast<uint64_t>(n);
    r.account(enc, n);
    int m = b.decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, false);
    b.writedisk();
    if (m < 0 && errno == ENOENT) {
      ++r.syncs;
      m = a.decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, true);
      a.writedisk();
    }
    if (m != len || std::memcmp(dec, p, static_cast<size_t>(len)) != 0) ++r.bad;
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mb = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 100;
  std::vector<size_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(static_cast<size_t>(std::atol(argv[i])));
  if (sizes.empty()) sizes = {1320, 1448};
  set_dedup_message_sink(quiet);
  std::vector<uint8_t> data = corpus(mb << 20);
  std::printf("corpus: %.1f MB of files under /usr\n", data.size() / 1048576.0);
  char tmpl[] = "/tmp/quilo-dedup-savings-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  int rc = 0;
  for (size_t size : sizes) {
    std::string sub = dir + "/" + std::to_string(size);
    {
      WDedup a(WDedup::datastore_path(sub + "/a", 1), 16000, 330);
      WDedup b(WDedup::datastore_path(sub + "/b", 1), 16000, 330);
      if (!a.wait_prepared(60000) || !b.wait_prepared(60000)) return 1;
      for (int pass = 1; pass <= 2; ++pass) {
        Pass r = send(a, b, data, size);
        std::printf("payload %4zu pass %d: in %llu out %llu = %.2f%%  (%.1f MB/s encode+decode, "
                    "%llu unencoded, %llu syncs, %llu bad)\n",
                    size, pass, static_cast<unsigned long long>(r.in),
                    static_cast<unsigned long long>(r.out), 100.0 * r.out / r.in,
                    r.in / r.seconds / 1e6, static_cast<unsigned long long>(r.plain),
                    static_cast<unsigned long long>(r.syncs), static_cast<unsigned long long>(r.bad));
        std::printf("  references %llu B (%llu stored, %llu window, %llu continued), new chunks "
                    "%llu B (%llu), literals before the first token %llu B, after the last %llu B, "
                    "between tokens %llu B (%llu escapes)\n",
                    static_cast<unsigned long long>(r.ref_bytes),
                    static_cast<unsigned long long>(r.refs), static_cast<unsigned long long>(r.win),
                    static_cast<unsigned long long>(r.cont),
                    static_cast<unsigned long long>(r.fresh_bytes),
                    static_cast<unsigned long long>(r.fresh), static_cast<unsigned long long>(r.lead),
                    static_cast<unsigned long long>(r.trail), static_cast<unsigned long long>(r.mid),
                    static_cast<unsigned long long>(r.escapes));
        if (r.bad) rc = 1;
      }
    }
    std::string cmd = "rm -rf '" + sub + "'";
    if (std::system(cmd.c_str()) != 0) rc = 1;
  }
  rmdir(dir.c_str());
  return rc;
}
