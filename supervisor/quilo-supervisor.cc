// quilo-supervisor: fail-to-wire for an appliance.
//
// An appliance is a bump in the wire: when its router dies or hangs, nothing
// crosses between the local network and the WAN.  The supervisor runs
// quilo-router as its child, watches it, and while no router answers it
// joins the two interfaces in the kernel, so that frames cross unoptimised:
//
//   quilo-supervisor [OPTIONS] [--] ROUTER-ARGUMENTS...
//
//   quilo-supervisor --socket /run/quilo.sock -- conf/appliance.click
//       LAN_DEV=eth1 WAN_DEV=eth2 LOCAL_IP=... (the interfaces from the
//       router's LAN_DEV and WAN_DEV, or --lan and --wan)
//
// Watching.  The router counts as failed when it exits (for any reason,
// also with status 0) or when its control socket has not answered a probe
// ("READ version") for --hang-timeout seconds; a router stopped with
// SIGSTOP is a hang.  A new router has --start-timeout seconds to answer
// first.  A hung router is killed (SIGKILL).
//
// The kernel path.  While no router answers (from the supervisor's start
// until the first router answers, and from a failure until a new router
// answers) a tc "mirred" redirect on the ingress of each interface sends
// every frame out of the other one.  The supervisor puts a clsact qdisc on
// both interfaces (if none is there) and switches the interfaces to
// promiscuous mode for its lifetime; on failure it adds one filter that
// matches every frame (u32, which every kernel has; preference 49) per
// interface, which takes a few milliseconds, and removes them once the new
// router answers.  Sessions that the router carried end as
// their peers allow; new sessions cross at once.  A new router sees frames
// from the moment it opens its interfaces, so until the supervisor sees it
// answer (it asks a starting router every 20 ms) a frame may cross twice.
//
// Restarts.  A failed router is restarted after --restart-delay seconds;
// one that fails within 10 s of its start waits twice as long as the time
// before, up to 30 s, so that a router that cannot start (a bad
// configuration) does not spin.
//
// For a service manager (a systemd unit): runs in the foreground, logs to
// standard error (the router's output goes to the same place), takes its
// settings from arguments or from the environment, and on SIGTERM or SIGINT
// stops the router (SIGTERM, SIGKILL after --stop-timeout), removes the
// kernel path and the qdiscs it added, restores promiscuous mode and exits 0.
// Exits 1 on bad usage or when the interfaces cannot be set up.
//
// Options (environment variable in brackets; a command-line option wins):
//   --lan DEV, --wan DEV      interfaces to join [QUILO_LAN_DEV, QUILO_WAN_DEV];
//                             default: LAN_DEV= and WAN_DEV= among the
//                             router's arguments
//   --socket PATH             the router's Unix control socket
//                             [QUILO_CONTROL_SOCKET]; default: the router's
//                             "-u PATH"; the supervisor adds "-u PATH" to the
//                             router's arguments when they have none
//   --router PATH             quilo-router binary [QUILO_ROUTER]; default:
//                             quilo-router beside the supervisor, else $PATH
//   --hang-timeout S          [QUILO_HANG_TIMEOUT] default 2
//   --probe-interval S        [QUILO_PROBE_INTERVAL] default 0.2
//   --start-timeout S         [QUILO_START_TIMEOUT] default 120
//   --restart-delay S         [QUILO_RESTART_DELAY] default 0.2
//   --stop-timeout S          [QUILO_STOP_TIMEOUT] default 10
//   --router-pid-file PATH    [QUILO_ROUTER_PID_FILE] holds the running
//                             router's pid (removed while there is none)
//   -h, --help
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kFilterPref = "49";
constexpr double kQuickFailure = 10;   // a router that fails sooner backs off
constexpr double kMaxRestartDelay = 30;
constexpr double kStartingProbe = 0.02;

struct Settings {
    std::string lan, wan, socket, router, pid_file;
    double hang_timeout = 2, probe_interval = 0.2, start_timeout = 120, restart_delay = 0.2, stop_timeout = 10;
    std::vector<std::string> router_args;
};

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void say(const char* fmt, ...) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(stderr, "quilo-supervisor: [%lld.%03ld] %s\n", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000000,
            line);
}

void usage(FILE* f) {
    fputs("Usage: quilo-supervisor [--lan DEV] [--wan DEV] [--socket PATH] [--router PATH]\n"
          "                        [--hang-timeout S] [--probe-interval S] [--start-timeout S]\n"
          "                        [--restart-delay S] [--stop-timeout S] [--router-pid-file PATH]\n"
          "                        [--] ROUTER-ARGUMENTS...\n"
          "Runs quilo-router and joins the LAN and WAN interfaces in the kernel (tc mirred)\n"
          "while no router answers on its control socket. Settings also from QUILO_LAN_DEV,\n"
          "QUILO_WAN_DEV, QUILO_CONTROL_SOCKET, QUILO_ROUTER, QUILO_HANG_TIMEOUT,\n"
          "QUILO_PROBE_INTERVAL, QUILO_START_TIMEOUT, QUILO_RESTART_DELAY, QUILO_STOP_TIMEOUT,\n"
          "QUILO_ROUTER_PID_FILE.\n",
          f);
}

[[noreturn]] void die(const char* fmt, const char* arg) {
    fprintf(stderr, "quilo-supervisor: ");
    fprintf(stderr, fmt, arg);
    fputc('\n', stderr);
    exit(1);
}

double seconds_arg(const char* name, const std::string& v) {
    char* end;
    double d = strtod(v.c_str(), &end);
    if (v.empty() || *end || !(d > 0) || d > 86400)
        die("%s: expected seconds (more than 0)", name);
    return d;
}

// Starts `argv` (a path, or a name looked up in $PATH) with the given file
// actions; the child does not inherit our blocked signals.  0 or an errno.
int spawn_process(pid_t* pid, const std::vector<std::string>& argv, const posix_spawn_file_actions_t* fa) {
    std::vector<char*> a;
    for (auto& s : argv)
        a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawnp(pid, a[0], fa, &at, a.data(), environ);
    posix_spawnattr_destroy(&at);
    return rc;
}

// Runs commands side by side (their output dropped, error messages kept
// unless quiet); true when every one exits with status 0.
bool run_all(const std::vector<std::vector<std::string>>& cmds, bool quiet = true) {
    std::vector<pid_t> pids;
    for (auto& argv : cmds) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        if (quiet)
            posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid;
        pids.push_back(spawn_process(&pid, argv, &fa) == 0 ? pid : -1);
        posix_spawn_file_actions_destroy(&fa);
    }
    bool ok = true;
    for (pid_t pid : pids) {
        int st = 0;
        while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        ok &= pid > 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    return ok;
}

bool run(const std::vector<std::string>& argv) {
    return run_all({argv});
}

// --------------------------------------------------------------- kernel path

class KernelPath {
  public:
    KernelPath(std::string lan, std::string wan) : _dev{std::move(lan), std::move(wan)} {}

    // Qdiscs and promiscuous mode; stale filters of an earlier run go.
    void prepare() {
        for (int i = 0; i < 2; ++i) {
            if (if_nametoindex(_dev[i].c_str()) == 0)
                die("no interface %s", _dev[i].c_str());
            _added_qdisc[i] = run({"tc", "qdisc", "add", "dev", _dev[i], "clsact"});
            run({"tc", "filter", "del", "dev", _dev[i], "ingress", "pref", kFilterPref});
            _was_promisc[i] = set_promisc(_dev[i], true);
        }
    }

    bool on() const { return _on; }

    void join() {
        if (_on)
            return;
        std::vector<std::vector<std::string>> cmds;
        for (int i = 0; i < 2; ++i)
            cmds.push_back({"tc", "filter", "add", "dev", _dev[i], "ingress", "pref", kFilterPref, "protocol", "all",
                            "u32", "match", "u32", "0", "0", "action", "mirred", "egress", "redirect", "dev",
                            _dev[1 - i]});
        if (!run_all(cmds, false))
            say("could not join %s and %s in the kernel", _dev[0].c_str(), _dev[1].c_str());
        _on = true;
    }

    void part() {
        if (!_on)
            return;
        run_all({{"tc", "filter", "del", "dev", _dev[0], "ingress", "pref", kFilterPref},
                 {"tc", "filter", "del", "dev", _dev[1], "ingress", "pref", kFilterPref}});
        _on = false;
    }

    // Everything back as it was.
    void tidy() {
        part();
        for (int i = 0; i < 2; ++i) {
            if (_added_qdisc[i])
                run({"tc", "qdisc", "del", "dev", _dev[i], "clsact"});
            if (!_was_promisc[i])
                set_promisc(_dev[i], false);
        }
    }

  private:
    // Sets or clears IFF_PROMISC; returns whether it was set before.
    static bool set_promisc(const std::string& dev, bool on) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", dev.c_str());
        bool was = false;
        if (fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0) {
            was = ifr.ifr_flags & IFF_PROMISC;
            ifr.ifr_flags = static_cast<short>(on ? ifr.ifr_flags | IFF_PROMISC : ifr.ifr_flags & ~IFF_PROMISC);
            if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0)
                say("%s: cannot change promiscuous mode: %s", dev.c_str(), strerror(errno));
        }
        if (fd >= 0)
            close(fd);
        return was;
    }

    std::string _dev[2];
    bool _added_qdisc[2] = {false, false};
    bool _was_promisc[2] = {false, false};
    bool _on = false;
};

// --------------------------------------------------------------- probe

// One "READ version" exchange on the control socket, without blocking: the
// router answers when the greeting and a 200 reply have arrived.
class Probe {
  public:
    ~Probe() { stop(); }
    bool active() const { return _fd >= 0; }
    int fd() const { return _fd; }

    void start(const std::string& path) {
        stop();
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        if (path.size() >= sizeof sun.sun_path)
            return;
        memcpy(sun.sun_path, path.c_str(), path.size());
        _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (_fd < 0)
            return;
        // A Unix stream connect completes at once or fails (nobody listens).
        static const char ask[] = "READ version\r\nQUIT\r\n";
        if (connect(_fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) < 0 ||
            send(_fd, ask, sizeof ask - 1, MSG_NOSIGNAL) != ssize_t(sizeof ask - 1)) {
            stop();
            return;
        }
        _got.clear();
    }

    // Reads what is there: 1 answered, 0 not yet, -1 failed (probe ended).
    int readable() {
        char buf[512];
        while (true) {
            ssize_t n = recv(_fd, buf, sizeof buf, 0);
            if (n > 0) {
                _got.append(buf, size_t(n));
                if (_got.find("\r\n200 ") != std::string::npos) {
                    stop();
                    return 1;
                }
                if (_got.size() > 4096)
                    break;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return 0;
            break;
        }
        stop();
        return -1;
    }

    void stop() {
        if (_fd >= 0)
            close(_fd);
        _fd = -1;
    }

  private:
    int _fd = -1;
    std::string _got;
};

// --------------------------------------------------------------- supervisor

class Supervisor {
  public:
    explicit Supervisor(Settings s) : _s(std::move(s)), _path(_s.lan, _s.wan) {}

    int run() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        _sigfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (_sigfd < 0)
            die("signalfd: %s", strerror(errno));
        signal(SIGPIPE, SIG_IGN);

        _path.prepare();
        _path.join();   // until the first router answers
        say("kernel path on: %s <-> %s, until the router answers", _s.lan.c_str(), _s.wan.c_str());
        spawn();
        while (!_stopping)
            step();
        shutdown();
        return 0;
    }

  private:
    enum class State { Starting, Running, Killing, Down };

    void spawn() {
        std::vector<std::string> argv{_s.router};
        argv.insert(argv.end(), _s.router_args.begin(), _s.router_args.end());
        int rc = spawn_process(&_pid, argv, nullptr);
        _started = now();
        _next_probe = _started + std::min(_s.probe_interval, kStartingProbe);
        if (rc != 0) {
            _pid = -1;
            say("cannot start %s: %s", _s.router.c_str(), strerror(rc));
            failed("could not start", false);
            return;
        }
        _state = State::Starting;
        write_pid_file();
        say("router %d started", int(_pid));
    }

    void write_pid_file() {
        if (_s.pid_file.empty())
            return;
        if (_pid <= 0) {
            unlink(_s.pid_file.c_str());
            return;
        }
        std::string tmp = _s.pid_file + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f)
            return;
        fprintf(f, "%d\n", int(_pid));
        fclose(f);
        rename(tmp.c_str(), _s.pid_file.c_str());
    }

    // The router failed: frames cross in the kernel from now on; a router
    // that is still there (hung) is killed, and restarted once it is reaped.
    void failed(const char* why, bool alive) {
        double t0 = now();
        _path.join();
        say("router %d %s; kernel path on (%.0f ms)", int(_pid), why, (now() - t0) * 1000);
        _probe.stop();
        double ran = t0 - _started;
        _delay = ran < kQuickFailure ? std::min(_delay > 0 ? _delay * 2 : _s.restart_delay, kMaxRestartDelay)
                                     : _s.restart_delay;
        if (alive) {
            kill(_pid, SIGKILL);
            _state = State::Killing;
        } else
            down();
    }

    void down() {
        _pid = -1;
        write_pid_file();
        _state = State::Down;
        _restart_at = now() + _delay;
    }

    void reap() {
        int st;
        pid_t p;
        while ((p = waitpid(-1, &st, WNOHANG)) > 0) {
            if (p != _pid)
                continue;
            if (_state == State::Killing) {
                down();
                continue;
            }
            char why[64];
            if (WIFSIGNALED(st))
                snprintf(why, sizeof why, "killed by signal %d", WTERMSIG(st));
            else
                snprintf(why, sizeof why, "exited with status %d", WEXITSTATUS(st));
            failed(why, false);
        }
    }

    void step() {
        double t = now();
        // Decide on the router's health first.
        if (_state == State::Starting && t - _started > _s.start_timeout)
            failed("did not answer within the start timeout", true);
        else if (_state == State::Running && t - _last_ok > _s.hang_timeout)
            failed("stopped answering on its control socket", true);
        if (_state == State::Down && now() >= _restart_at)
            spawn();
        if ((_state == State::Starting || _state == State::Running) && !_probe.active() && now() >= _next_probe) {
            _probe.start(_s.socket);
            // A starting router is asked often: until it answers, frames
            // may cross twice (through it and in the kernel).
            _next_probe = now() + (_state == State::Starting ? std::min(_s.probe_interval, kStartingProbe)
                                                              : _s.probe_interval);
        }

        double wake = _state == State::Down ? _restart_at : _next_probe;
        if (_state == State::Running)
            wake = std::min(wake, _last_ok + _s.hang_timeout);
        if (_state == State::Starting)
            wake = std::min(wake, _started + _s.start_timeout);
        if (_state == State::Killing)
            wake = now() + 1;
        pollfd p[2] = {{_sigfd, POLLIN, 0}, {_probe.fd(), POLLIN, 0}};
        int ms = std::max(0, int((wake - now()) * 1000) + 1);
        if (poll(p, _probe.active() ? 2 : 1, ms) < 0)
            return;
        if (p[0].revents & POLLIN)
            signals();
        if (_probe.active() && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) && _probe.readable() == 1)
            answered();
    }

    void answered() {
        _last_ok = now();
        if (_state != State::Starting)
            return;
        _state = State::Running;
        _path.part();
        say("router %d answers after %.2f s; kernel path off", int(_pid), _last_ok - _started);
    }

    void signals() {
        signalfd_siginfo si;
        while (read(_sigfd, &si, sizeof si) == ssize_t(sizeof si)) {
            if (si.ssi_signo == SIGCHLD)
                reap();
            else if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGINT) {
                say("got signal %d: stopping", int(si.ssi_signo));
                _stopping = true;
            }
        }
    }

    // Stops the router in order, then tidies the kernel path.
    void shutdown() {
        _probe.stop();
        if (_pid > 0 && _state != State::Down) {
            kill(_pid, _state == State::Killing ? SIGKILL : SIGTERM);
            double deadline = now() + _s.stop_timeout;
            bool gone = false;
            while (!gone) {
                int st;
                pid_t p = waitpid(_pid, &st, WNOHANG);
                gone = p == _pid || (p < 0 && errno == ECHILD);
                if (!gone && now() > deadline) {
                    say("router %d ignores SIGTERM: killing it", int(_pid));
                    kill(_pid, SIGKILL);
                    waitpid(_pid, &st, 0);
                    gone = true;
                }
                if (!gone)
                    usleep(20000);
            }
        }
        _pid = -1;
        write_pid_file();
        _path.tidy();
        say("stopped; kernel path removed");
    }

    Settings _s;
    KernelPath _path;
    Probe _probe;
    int _sigfd = -1;
    pid_t _pid = -1;
    State _state = State::Down;
    double _started = 0, _last_ok = 0, _next_probe = 0, _restart_at = 0, _delay = 0;
    bool _stopping = false;
};

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

std::string router_beside_us() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::string dir(self);
        std::string r = dir.substr(0, dir.rfind('/')) + "/quilo-router";
        if (access(r.c_str(), X_OK) == 0)
            return r;
    }
    return "quilo-router";
}

// Finds NAME=value among the router's arguments.
std::string router_define(const std::vector<std::string>& args, const std::string& name) {
    for (auto& a : args)
        if (a.compare(0, name.size() + 1, name + "=") == 0)
            return a.substr(name.size() + 1);
    return "";
}

// A program name as posix_spawn needs it: a path, or found in $PATH.
std::string resolve(const std::string& prog) {
    if (prog.find('/') != std::string::npos)
        return prog;
    std::string path = env("PATH");
    size_t b = 0;
    while (b <= path.size()) {
        size_t e = path.find(':', b);
        if (e == std::string::npos)
            e = path.size();
        std::string cand = path.substr(b, e - b) + "/" + prog;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        b = e + 1;
    }
    return prog;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    s.lan = env("QUILO_LAN_DEV");
    s.wan = env("QUILO_WAN_DEV");
    s.socket = env("QUILO_CONTROL_SOCKET");
    s.router = env("QUILO_ROUTER");
    s.pid_file = env("QUILO_ROUTER_PID_FILE");
    struct Timing {
        const char* option;
        const char* var;
        double* value;
    } timings[] = {{"--hang-timeout", "QUILO_HANG_TIMEOUT", &s.hang_timeout},
                   {"--probe-interval", "QUILO_PROBE_INTERVAL", &s.probe_interval},
                   {"--start-timeout", "QUILO_START_TIMEOUT", &s.start_timeout},
                   {"--restart-delay", "QUILO_RESTART_DELAY", &s.restart_delay},
                   {"--stop-timeout", "QUILO_STOP_TIMEOUT", &s.stop_timeout}};
    for (auto& t : timings)
        if (!env(t.var).empty())
            *t.value = seconds_arg(t.var, env(t.var));

    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        }
        if (a.empty() || a[0] != '-')
            break;
        if (i + 1 >= argc)
            die("%s needs a value", a.c_str());
        std::string v = argv[++i];
        bool known = true;
        if (a == "--lan")
            s.lan = v;
        else if (a == "--wan")
            s.wan = v;
        else if (a == "--socket")
            s.socket = v;
        else if (a == "--router")
            s.router = v;
        else if (a == "--router-pid-file")
            s.pid_file = v;
        else {
            known = false;
            for (auto& t : timings)
                if (a == t.option) {
                    *t.value = seconds_arg(t.option, v);
                    known = true;
                }
        }
        if (!known) {
            usage(stderr);
            die("unknown option %s", a.c_str());
        }
    }
    s.router_args.assign(argv + i, argv + argc);
    if (s.router_args.empty()) {
        usage(stderr);
        return 1;
    }
    if (s.lan.empty())
        s.lan = router_define(s.router_args, "LAN_DEV");
    if (s.wan.empty())
        s.wan = router_define(s.router_args, "WAN_DEV");
    if (s.lan.empty() || s.wan.empty() || s.lan == s.wan)
        die("%s", "give two different interfaces (--lan, --wan, or LAN_DEV= and WAN_DEV= for the router)");
    // The driver serves one control socket, and a TCP one would win over
    // the "-u" the supervisor watches.
    for (auto& a : s.router_args)
        if (a == "-p" || a == "--port")
            die("%s", "the router's control socket is a Unix one under the supervisor (-u or --socket, not -p)");
    for (size_t k = 0; k + 1 < s.router_args.size(); ++k)
        if (s.router_args[k] == "-u" || s.router_args[k] == "--unix-socket") {
            if (s.socket.empty())
                s.socket = s.router_args[k + 1];
            else if (s.socket != s.router_args[k + 1])
                die("%s", "--socket and the router's -u name different sockets");
        }
    if (s.socket.empty())
        die("%s", "give the router's control socket (--socket PATH)");
    if (std::find(s.router_args.begin(), s.router_args.end(), "-u") == s.router_args.end() &&
        std::find(s.router_args.begin(), s.router_args.end(), "--unix-socket") == s.router_args.end())
        s.router_args.insert(s.router_args.begin(), {"-u", s.socket});
    s.router = resolve(s.router.empty() ? router_beside_us() : s.router);
    if (s.hang_timeout < s.probe_interval)
        die("%s", "--hang-timeout must be at least --probe-interval");

    setvbuf(stderr, nullptr, _IOLBF, 0);
    return Supervisor(std::move(s)).run();
}
