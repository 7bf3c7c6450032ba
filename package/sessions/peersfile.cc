#include "sessions/peersfile.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace peersfile {

long crash_after_bytes = -1;

bool parse_line(const std::string& line, PeerInfo* out) {
    std::vector<std::string> conf = cp_argvec(line);
    PeerInfo p;
    int port = -1;
    if (Args(conf, nullptr, nullptr)
            .read_mp("PEER_IP", p.peer)
            .read_mp("OUTPUT_PORT", BoundedIntArg(0, 0x7FFFFFFF), port)
            .read_p("HOSTNAME", StringArg(), p.hostname)
            .read_p("PEER_MAC", p.mac)
            .complete() < 0)
        return false;
    p.port = port;
    *out = p;
    return true;
}

std::string format_line(const PeerInfo& p) {
    // An empty name stays empty, as in files written before names were quoted.
    std::string name = p.hostname.empty() ? std::string() : cp_quote(p.hostname);
    return p.peer.unparse() + ", " + std::to_string(p.port) + ", " + name + ", " + p.mac.unparse_dash();
}

int read(const std::string& path, std::vector<PeerInfo>* out, ErrorHandler* errh) {
    // Opened for reading and appending, so a missing file is created empty.
    FILE* f = std::fopen(path.c_str(), "a+");
    if (!f)
        return errh->error("Unable to open peers config file: %s", path.c_str());
    std::rewind(f);
    std::vector<PeerInfo> peers;
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    int r = 0;
    while ((n = getline(&buf, &cap, f)) >= 0) {
        std::string line(buf, size_t(n));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        PeerInfo p;
        if (!parse_line(line, &p)) {
            r = errh->error("Peer config file parse error: %s", line.c_str());
            break;
        }
        peers.push_back(p);
    }
    std::free(buf);
    std::fclose(f);
    if (r < 0)
        return -1;
    *out = std::move(peers);
    return 0;
}

static bool write_all(int fd, const std::string& s, long* budget) {
    const char* p = s.data();
    size_t left = s.size();
    if (*budget >= 0 && long(left) > *budget) {
        left = size_t(*budget);
        while (left) {
            ssize_t w = ::write(fd, p, left);
            if (w <= 0)
                break;
            p += w;
            left -= size_t(w);
        }
        *budget = 0;
        errno = EIO;
        return false;
    }
    while (left) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        left -= size_t(w);
    }
    if (*budget >= 0)
        *budget -= long(s.size());
    return true;
}

int write(const std::string& path, const std::vector<PeerInfo>& peers, std::string* err) {
    static std::atomic<unsigned> serial{0};
    std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = std::string(std::strerror(errno));
        return -1;
    }
    long budget = crash_after_bytes;
    bool ok = true;
    for (const PeerInfo& p : peers)
        if (!(ok = write_all(fd, format_line(p) + "\n", &budget)))
            break;
    if (!ok && crash_after_bytes >= 0) {
        // Simulated crash: the temporary file stays, the peers file is untouched.
        ::close(fd);
        *err = "simulated crash";
        return -1;
    }
    if (ok && ::fsync(fd) < 0)
        ok = false;
    int saved = errno;
    if (::close(fd) < 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) < 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        *err = std::string(std::strerror(saved));
        return -1;
    }
    return 0;
}

}  // namespace peersfile
