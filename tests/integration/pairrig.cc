#include "pairrig.hh"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace pairtest {

std::string source_dir() {
    const char* s = getenv("QUILO_SOURCE_DIR");
    return s && *s ? s : QUILO_SOURCE_DIR_DEFAULT;
}

std::string build_dir() {
    const char* b = getenv("QUILO_BUILD_DIR");
    return b && *b ? b : QUILO_BUILD_DIR_DEFAULT;
}

int run(const std::string& cmd, std::string* out) {
    std::string full = "( " + cmd + " ) 2>&1";
    FILE* f = popen(full.c_str(), "r");
    if (!f)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    int st = pclose(f);
    if (out)
        *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

static std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

PairRig::PairRig(PairOptions o) : o_(std::move(o)) {
    static std::atomic<int> serial{0};
    name_ = "qi" + std::to_string(getpid() % 100000) + "_" + std::to_string(serial++);
    script_ = source_dir() + "/scripts/pair.sh";
    build_ = build_dir();
    if (o_.conf.empty())
        o_.conf = source_dir() + (o_.dual_wan ? "/conf/appliance-dualwan.click" : "/conf/appliance.click");
}

PairRig::~PairRig() {
    // A router of the sanitizer build that found a fault says so in its log.
    std::string found;
    if (up_ && run("grep -h -A12 -E 'ERROR: (Address|Leak)Sanitizer|runtime error:' " + state_dir() + "/*.log",
                   &found) == 0)
        ADD_FAILURE() << "sanitizer report in a router's log:\n" << found;
    script("down");
}

int PairRig::script(const std::string& args, std::string* out) {
    return run("PAIR_NAME= " + quote(script_) + " -n " + name_ + " -B " + quote(build_) + " " + args, out);
}

bool PairRig::up() {
    std::string args = "-c " + quote(o_.conf) + " -r " + o_.rate + " -d " + o_.delay + " -l " + o_.loss +
                       " -o " + o_.reorder + " -j " + std::to_string(o_.threads) + " --wait-secs 60" +
                       (o_.dual_wan ? " -2" : "") + (o_.spokes ? " -H " + std::to_string(o_.spokes) : "");
    for (auto& d : o_.defines)
        args += " -D " + quote(d);
    for (auto& d : o_.defines_a)
        args += " --define-a " + quote(d);
    for (auto& d : o_.defines_b)
        args += " --define-b " + quote(d);
    if (o_.supervise)
        args += " --supervise";
    std::string env = "env ";
    for (auto& e : o_.env)
        env += quote(e) + " ";
    up_ = run(env + "PAIR_NAME= " + quote(script_) + " -n " + name_ + " -B " + quote(build_) + " " + args + " up",
              &err_) == 0;
    if (!up_) {
        std::string logs;
        run("tail -n 20 /tmp/quilo-pair-" + name_ + "/*.log", &logs);
        err_ += logs;
    }
    return up_;
}

// Handler calls go straight to the router's control socket
// (state_dir()/ROUTER.sock): a few system calls, where pair.sh would start a
// shell and a Python per call, which tests that poll cannot afford on a
// loaded machine. Returns the value read (or "" for a write) and whether the
// router answered 200.
std::pair<bool, std::string> PairRig::control(const std::string& router, const std::string& request) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = state_dir() + "/" + router + ".sock";
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string buf, l, out;
    auto receive = [&]() {
        char chunk[512];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n > 0)
            buf.append(chunk, size_t(n));
        return n > 0;
    };
    auto line = [&](std::string& text) {
        while (buf.find('\n') == std::string::npos && receive())
            ;
        size_t nl = buf.find('\n');
        if (nl == std::string::npos)
            return false;
        text = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return true;
    };
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && line(l) &&
              send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    // Status lines "NNN-text" continue, "NNN text" ends; a read then has
    // "DATA n" and n bytes.
    while (ok && (ok = line(l)) && l.size() > 3 && l[3] == '-')
        ;
    ok = ok && l.compare(0, 3, "200") == 0;
    if (ok && request.compare(0, 5, "READ ") == 0) {
        ok = line(l) && l.compare(0, 5, "DATA ") == 0;
        size_t n = ok ? std::strtoul(l.c_str() + 5, nullptr, 10) : 0;
        while (buf.size() < n && receive())
            ;
        out = buf.substr(0, n);
    }
    close(fd);
    return {ok, out};
}

std::string PairRig::read(const std::string& router, const std::string& handler) {
    std::string out = control(router, "READ " + handler + "\n").second;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

uint64_t PairRig::count(const std::string& router, const std::string& handler) {
    std::string v = read(router, handler);
    return v.empty() ? 0 : std::strtoull(v.c_str(), nullptr, 10);
}

bool PairRig::write(const std::string& router, const std::string& handler, const std::string& value) {
    return control(router, "WRITEDATA " + handler + " " + std::to_string(value.size()) + "\n" + value).first;
}

bool PairRig::stop(const std::string& router, const std::string& sig) {
    return script("stop " + router + " " + sig) == 0;
}

bool PairRig::start(const std::string& router, const std::string& conf) {
    return script((conf.empty() ? "" : "-c " + quote(conf) + " ") + "start " + router, &err_) == 0;
}

bool PairRig::wait_tunnel() {
    return script("--wait-secs 60 wait", &err_) == 0;
}

int PairRig::exec(const std::string& node, const std::string& cmd, std::string* out) {
    return run("ip netns exec " + ns(node) + " sh -c " + quote(cmd), out);
}

// Shell text that waits (at most about 10 s) until something in the server's
// namespace listens on TCP `port` (or has bound UDP `port`).
std::string PairRig::wait_listening(int port, bool udp) const {
    return "i=0; while [ $i -lt 200 ] && ! ip netns exec " + ns("server") + (udp ? " ss -Hlun" : " ss -Hltn") +
           " 'sport = :" + std::to_string(port) + "' | grep -q .; do sleep 0.05; i=$((i+1)); done; ";
}

bool PairRig::server_listening(int port, bool udp) {
    return run(wait_listening(port, udp) + "test $i -lt 200") == 0;
}

// One connection from the client to the server (server_ip()): the
// listener runs in the background and the client connects once it listens.
// A connection attempt refused before that would still leave a session in
// the appliances' flow tables (the client's retry is only a fallback).
bool PairRig::download(const std::string& src, const std::string& dst, int port, int timeout_s,
                       const std::string& client) {
    std::string t = std::to_string(timeout_s), p = std::to_string(port);
    std::string cmd = "ip netns exec " + ns("server") + " timeout " + t + " socat -u OPEN:" + quote(src) +
                      ",rdonly TCP-LISTEN:" + p + ",reuseaddr,bind=" + server_ip() + " & L=$!; " + wait_listening(port) +
                      "ip netns exec " + ns(client) + " timeout " + t + " socat -u TCP:" + server_ip() + ":" + p +
                      ",retry=50,interval=0.1 CREATE:" + quote(dst) + "; C=$?; wait $L; S=$?; " +
                      "test $C = 0 && test $S = 0";
    return run(cmd) == 0;
}

bool PairRig::upload(const std::string& src, const std::string& dst, int port, int timeout_s) {
    std::string t = std::to_string(timeout_s), p = std::to_string(port);
    std::string cmd = "ip netns exec " + ns("server") + " timeout " + t + " socat -u TCP-LISTEN:" + p +
                      ",reuseaddr,bind=" + server_ip() + " CREATE:" + quote(dst) + " & L=$!; " + wait_listening(port) +
                      "ip netns exec " + ns("client") + " timeout " + t + " socat -u OPEN:" + quote(src) +
                      ",rdonly TCP:" + server_ip() + ":" + p + ",retry=50,interval=0.1; C=$?; wait $L; S=$?; " +
                      "test $C = 0 && test $S = 0";
    return run(cmd) == 0;
}

bool PairRig::carried(const std::string& sender, int port, const std::function<bool(int)>& transfer) {
    for (int i = 0; i < 3; ++i) {
        uint64_t before = count(sender, "out_l.count");
        if (!transfer(port + 1000 * i))
            return false;
        if (count(sender, "out_l.count") > before + 100)
            return true;
    }
    return false;
}

bool PairRig::carried_download(const std::string& src, const std::string& dst, int port) {
    return carried("b", port, [&](int p) { return download(src, dst, p); });
}

bool PairRig::carried_upload(const std::string& src, const std::string& dst, int port) {
    return carried("a", port, [&](int p) { return upload(src, dst, p); });
}

uint64_t PairRig::host_rx_bytes(const std::string& node) {
    std::string out;
    exec(node, "cat /sys/class/net/eth0/statistics/rx_bytes", &out);
    return std::strtoull(out.c_str(), nullptr, 10);
}

void write_text_file(const std::string& path, size_t bytes) {
    std::string text;
    for (const char* dir : {"host", "package", "relay", "tests"})
        for (auto& e : std::filesystem::recursive_directory_iterator(source_dir() + "/" + dir)) {
            auto ext = e.path().extension();
            if (!e.is_regular_file() || (ext != ".cc" && ext != ".hh"))
                continue;
            std::ifstream f(e.path(), std::ios::binary);
            text.append(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
            if (text.size() >= bytes)
                break;
        }
    std::ofstream o(path, std::ios::binary | std::ios::trunc);
    for (size_t done = 0; done < bytes && !text.empty();) {
        size_t n = std::min(text.size(), bytes - done);
        o.write(text.data(), std::streamsize(n));
        done += n;
    }
}

void write_random_file(const std::string& path, size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> v((bytes + 3) / 4);
    for (auto& x : v)
        x = rng();
    std::ofstream o(path, std::ios::binary | std::ios::trunc);
    o.write(reinterpret_cast<const char*>(v.data()), std::streamsize(bytes));
}

bool same_file(const std::string& a, const std::string& b) {
    return run("cmp -s " + quote(a) + " " + quote(b)) == 0;
}

TempDir::TempDir() {
    std::string t = "/tmp/quilo-integration-XXXXXX";
    if (mkdtemp(t.data()))
        path = t;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path.empty())
        std::filesystem::remove_all(path, ec);
}

}  // namespace pairtest
