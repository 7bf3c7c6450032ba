// Realistic payload material taken from this machine's own files: text,
// HTML, executables and already-compressed data. Missing files fall back to
// generated data of a similar character, so the tests run anywhere.
#pragma once

#include <algorithm>
#include <filesystem>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace corpus {

struct Sample {
    std::string kind;
    std::string source;
    std::vector<uint8_t> data;
};

inline std::vector<uint8_t> read_file(const std::string& path, size_t max) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return {};
    std::vector<uint8_t> v;
    v.resize(max);
    f.read(reinterpret_cast<char*>(v.data()), std::streamsize(max));
    v.resize(size_t(f.gcount()));
    return v;
}

inline std::vector<uint8_t> first_of(const std::vector<std::string>& paths, size_t max, size_t min, std::string* src) {
    for (const auto& p : paths) {
        auto v = read_file(p, max);
        if (v.size() >= min) {
            *src = p;
            return v;
        }
    }
    return {};
}

// Text-like filler used when no file is found.
inline std::vector<uint8_t> synthetic_text(size_t n, uint32_t seed) {
    static const char* words[] = {"the ", "packet ", "stream ", "peer ", "tunnel ", "compress ", "<div>", "</div>\n",
                                  "data ", "of ", "and ", "window ", "\n", "header ", "class=\"x\" "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const char* w = words[rng() % (sizeof(words) / sizeof(words[0]))];
        v.insert(v.end(), w, w + std::char_traits<char>::length(w));
    }
    v.resize(n);
    return v;
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

// Up to `max` bytes of each kind.
inline std::vector<Sample> load(size_t max = 512 * 1024) {
    std::vector<Sample> out;
    auto add = [&](const char* kind, std::vector<std::string> paths, std::vector<uint8_t> fallback) {
        Sample s{kind, "generated", {}};
        s.data = first_of(paths, max, 64 * 1024, &s.source);
        if (s.data.empty())
            s.data = std::move(fallback);
        out.push_back(std::move(s));
    };
    {
        // Plain text: the licence texts one after another.
        Sample s{"text", "/usr/share/common-licenses/*", {}};
        for (const char* f : {"GPL-3", "GPL-2", "LGPL-3", "LGPL-2.1", "GFDL-1.3", "GFDL-1.2", "Apache-2.0", "MPL-2.0",
                              "Artistic", "CC0-1.0"}) {
            auto v = read_file(std::string("/usr/share/common-licenses/") + f, max - s.data.size());
            s.data.insert(s.data.end(), v.begin(), v.end());
        }
        if (s.data.size() < 64 * 1024) {
            s.source = "generated";
            s.data = synthetic_text(max, 1);
        }
        out.push_back(std::move(s));
    }
    add("html",
        {"/usr/share/doc/socat/socat.html", "/usr/share/doc/python3/python-policy.html",
         "/usr/share/doc/zlib1g-dev/examples/zlib_how.html", "/usr/share/doc/libjs-underscore/index.html"},
        synthetic_text(max, 2));
    add("binary", {"/usr/bin/bash", "/usr/bin/cmake", "/usr/bin/perl", "/bin/ls"}, synthetic_text(max, 3));
    add("compressed",
        {"/usr/share/doc/libgnutls30/changelog.gz", "/usr/share/doc/libgnutls30/NEWS.gz",
         "/usr/share/doc/dbus-daemon/NEWS.gz", "/usr/share/doc/nodejs/contributing/doc_img/compare-boxplot.png"},
        random_bytes(max, 4));
    return out;
}

// Regular files of this machine (programs, libraries, documentation), each
// under 8 MB, in a fixed order, until `want` bytes are read; empty when the
// machine has too few of them for a quarter of that. Unlike load(), no
// payload repeats, as in real traffic.
inline std::vector<Sample> distinct_files(size_t want) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    for (const char* root : {"/usr/share/doc", "/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/include", "/usr/share"}) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
             it != end && !ec; it.increment(ec)) {
            std::error_code fec;
            if (it->is_regular_file(fec) && !it->is_symlink(fec) && it->file_size(fec) > 0 &&
                it->file_size(fec) < 8 * 1024 * 1024)
                paths.push_back(it->path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    std::vector<Sample> out;
    size_t total = 0;
    for (const auto& p : paths) {
        if (total >= want)
            break;
        Sample s{"file", p, read_file(p, want - total)};
        total += s.data.size();
        if (!s.data.empty())
            out.push_back(std::move(s));
    }
    if (total < want / 4)
        out.clear();
    return out;
}

// Cuts a sample into consecutive payloads of `size` bytes (the last may be shorter).
inline std::vector<std::vector<uint8_t>> packets(const std::vector<uint8_t>& data, size_t size, size_t limit = SIZE_MAX) {
    std::vector<std::vector<uint8_t>> v;
    for (size_t off = 0; off < data.size() && v.size() < limit; off += size)
        v.emplace_back(data.begin() + long(off), data.begin() + long(std::min(data.size(), off + size)));
    return v;
}

}  // namespace corpus
