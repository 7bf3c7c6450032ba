// The quilo-router command line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string driver() {
    const char* b = getenv("QUILO_BUILD_DIR");
    return std::string(b ? b : "build") + "/bin/quilo-router";
}

// Runs the driver through the shell; returns the exit status, fills out
// (stdout) and err (stderr).
int run(const std::string& args, std::string& out, std::string& err) {
    std::string errfile = "/tmp/quilo-driver-test-" + std::to_string(getpid()) + ".err";
    std::string cmd = "timeout 20 " + driver() + " " + args + " 2>" + errfile;
    FILE* f = popen(cmd.c_str(), "r");
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    int st = pclose(f);
    std::ifstream in(errfile);
    err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(errfile.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(Driver, CountsAMillionPacketsAndStops) {
    std::string out, err;
    int st = run("-e 'InfiniteSource(LIMIT 1000000, STOP true) -> c :: Counter -> Discard;' -h c.count", out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "1000000\n");
}

TEST(Driver, SeveralHandlersDefinesAndThreads) {
    std::string out, err;
    int st = run("-j 2 -e 'InfiniteSource(LIMIT $N, LENGTH 60, STOP true) -> c :: Counter -> Discard;' "
                 "-h c.count -h c.byte_count N=10",
                 out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "c.count:\n10\n\nc.byte_count:\n600\n\n");
}

TEST(Driver, StaticThreadSchedPlacesTasks) {
    std::string out, err;
    int st = run("-j 3 -e 's :: InfiniteSource(LIMIT 10, STOP true) -> c :: Counter -> q :: Queue -> u :: Unqueue "
                 "-> Discard; StaticThreadSched(s 1, u 5)' -h s.home_thread -h u.home_thread -h c.count",
                 out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "s.home_thread:\n1\n\nu.home_thread:\n2\n\nc.count:\n10\n\n");
    EXPECT_EQ(run("-e 'Idle -> Discard; StaticThreadSched(nosuch 1)'", out, err), 1);
    EXPECT_NE(err.find("'nosuch' does not name an element"), std::string::npos) << err;
}

TEST(Driver, ConfigurationErrorsExitOneWithEveryLine) {
    std::string path = "/tmp/quilo-driver-test-" + std::to_string(getpid()) + ".click";
    {
        std::ofstream f(path);
        f << "src :: InfiniteSource(LIMIT 10);\n"
             "x :: Frobnicate;\n"
             "src -> c :: Counter;\n"
             "c [1] -> Discard;\n"
             "c -> Discard;\n";
    }
    std::string out, err;
    int st = run(path, out, err);
    unlink(path.c_str());
    EXPECT_EQ(st, 1);
    EXPECT_NE(err.find(path + ":2: unknown element class 'Frobnicate'"), std::string::npos) << err;
    EXPECT_NE(err.find(path + ":4: 'c :: Counter' has no output 1"), std::string::npos) << err;
    // Unconnected ports are reported along with an unknown class too.
    EXPECT_EQ(run("-e 'a :: Counter; b :: NoSuch(1);\nInfiniteSource -> a'", out, err), 1);
    EXPECT_NE(err.find("<expr>:1: unknown element class 'NoSuch'"), std::string::npos) << err;
    EXPECT_NE(err.find("'a :: Counter' output 0 not connected"), std::string::npos) << err;
}

TEST(Driver, BadArgumentsAndQuitMode) {
    std::string out, err;
    EXPECT_EQ(run("-e 'Idle -> Counter(FOO 1) -> Discard'", out, err), 1);
    EXPECT_NE(err.find("unknown keyword 'FOO'"), std::string::npos) << err;
    EXPECT_EQ(run("-j zero -e 'Idle -> Discard'", out, err), 1);
    EXPECT_EQ(run("/nonexistent/file.click", out, err), 1);
    EXPECT_EQ(run("-l /nonexistent/libx.so -e 'Idle -> Discard'", out, err), 1);
    // -q builds and initializes, prints handlers, and does not run.
    EXPECT_EQ(run("-q -e 'i :: InfiniteSource -> c :: Counter -> Discard' -h c.count -h i.config", out, err), 0) << err;
    EXPECT_EQ(out, "c.count:\n0\n\ni.config:\n\n\n");
    // -h naming a missing handler is an error.
    EXPECT_EQ(run("-q -e 'Idle -> Discard' -h nosuch.count", out, err), 1);
    EXPECT_NE(err.find("no element named 'nosuch'"), std::string::npos) << err;
}

TEST(Driver, StopsOnSigterm) {
    // The driver catches SIGTERM before it creates its control socket: once
    // the socket is there, the signal stops it in order.
    std::string sock = "/tmp/quilo-driver-test-" + std::to_string(getpid()) + ".sock";
    std::string out, err;
    int st = run("-u " + sock + " -e 'InfiniteSource -> c :: Counter -> Discard' -h c.class & P=$!; i=0; " +
                     "while [ $i -lt 400 ] && [ ! -S " + sock + " ]; do sleep 0.05; i=$((i+1)); done; " +
                     "kill -TERM $P; wait $P",
                 out, err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out, "Counter\n") << err;
    EXPECT_NE(access(sock.c_str(), F_OK), 0) << "the control socket is removed at exit";
}

// One line-protocol exchange as the current user: connects to `where` (a
// Unix path, or a loopback TCP port), sends `input` and returns everything
// read until the server closes; "connect: <errno text>" when refused.
std::string converse(const std::string& where, bool tcp, const std::string& input) {
    int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (tcp) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(uint16_t(std::stoi(where)));
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(sockaddr_in);
    } else {
        auto* sun = reinterpret_cast<sockaddr_un*>(&ss);
        sun->sun_family = AF_UNIX;
        snprintf(sun->sun_path, sizeof sun->sun_path, "%s", where.c_str());
        len = sizeof(sockaddr_un);
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) < 0) {
        std::string e = std::string("connect: ") + strerror(errno);
        close(fd);
        return e;
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string all = input + "QUIT\r\n", got;
    if (write(fd, all.data(), all.size()) != ssize_t(all.size()))
        got = "short write";
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got.append(buf, size_t(n));
    close(fd);
    return got;
}

// What the driver's owner may do and what any other local user may: the Unix
// socket is 0600 under any umask, and a user without rights cannot even
// connect; a TCP socket serves that user's reads but refuses every write.
TEST(Driver, ControlSocketsOwnerWritesOthersOnlyRead) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: drops to user nobody";
    char tmpl[] = "/tmp/quilo-driver-perm-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    std::string dir = tmpl, sock = dir + "/ctl.sock";
    chmod(dir.c_str(), 0755);   // only the socket's own mode may keep others out
    pid_t pid = fork();
    if (pid == 0) {
        umask(0);
        execl(driver().c_str(), "quilo-router", "-u", sock.c_str(), "-e",
              "cs :: ControlSocket(TCP, 0); Idle -> k :: Paint(3) -> Discard;", nullptr);
        _exit(127);
    }
    std::string port;
    for (int i = 0; i < 400 && port.empty(); ++i) {
        std::string r = converse(sock, false, "READ cs.port\r\n");
        size_t d = r.find("DATA ");
        if (d != std::string::npos)
            port = r.substr(r.find("\r\n", d) + 2);
        else
            usleep(50000);
    }
    ASSERT_FALSE(port.empty()) << "the driver never answered on " << sock;
    struct stat st;
    ASSERT_EQ(stat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(converse(sock, false, "WRITE k.color 9\r\n").find("200 Write handler 'k.color' OK"), std::string::npos);

    // As nobody, in a child that reports both transcripts through a pipe.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t child = fork();
    if (child == 0) {
        close(p[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        const std::string hot = "Idle -> Discard;";
        std::string t = converse(sock, false, "WRITE k.color 1\r\n") + "|" +
                        converse(port, true,
                                 "READ k.color\r\nWRITE k.color 1\r\nWRITEDATA hotconfig " +
                                     std::to_string(hot.size()) + "\r\n" + hot + "READ k.color\r\n");
        ssize_t w = write(p[1], t.data(), t.size());
        _exit(w == ssize_t(t.size()) ? 0 : 3);
    }
    close(p[1]);
    std::string t;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        t.append(buf, size_t(n));
    close(p[0]);
    int cst;
    waitpid(child, &cst, 0);
    EXPECT_TRUE(WIFEXITED(cst) && WEXITSTATUS(cst) == 0) << cst;
    EXPECT_EQ(t.substr(0, t.find('|')), "connect: Permission denied");
    const std::string read9 = "200 Read handler 'k.color' OK\r\nDATA 1\r\n9";
    EXPECT_EQ(t.substr(t.find('|') + 1), "Click::ControlSocket/1.3\r\n" + read9 + "530 Permission denied\r\n" +
                                             "530 Permission denied\r\n" + read9 + "200 Goodbye!\r\n");

    kill(pid, SIGTERM);
    int dst;
    waitpid(pid, &dst, 0);
    EXPECT_TRUE(WIFEXITED(dst) && WEXITSTATUS(dst) == 0) << dst;
    rmdir(dir.c_str());
}

}  // namespace
