// Control socket round trips on loopback, hot swap through hotconfig, and
// the read-only TCP socket.
#include <host/controlsocket.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

class Client {
 public:
    explicit Client(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(uint16_t(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
    }
    ~Client() { close(fd); }
    void send(const std::string& s) { ASSERT_EQ(write(fd, s.data(), s.size()), ssize_t(s.size())); }
    // Reads until `buf` holds a complete reply (a line "NNN text"), plus
    // `data` body bytes if the reply announces "DATA n".
    std::string reply() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string r;
            if (take(r))
                return r;
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char b[4096];
                ssize_t n = read(fd, b, sizeof(b));
                if (n <= 0)
                    break;
                buf.append(b, size_t(n));
            }
        }
        std::string r = buf;
        buf.clear();
        return r;
    }
    int fd;
    bool ok;

 private:
    bool take(std::string& out) {
        size_t pos = 0;
        while (true) {
            size_t nl = buf.find("\r\n", pos);
            if (nl == std::string::npos)
                return false;
            std::string line = buf.substr(pos, nl - pos);
            pos = nl + 2;
            if (line.size() >= 4 && line[3] == ' ') {
                size_t end = pos;
                if (line.compare(0, 3, "200") == 0 && buf.compare(pos, 5, "DATA ") == 0) {
                    size_t nl2 = buf.find("\r\n", pos);
                    if (nl2 == std::string::npos)
                        return false;
                    size_t n = std::stoul(buf.substr(pos + 5, nl2 - pos - 5));
                    if (buf.size() < nl2 + 2 + n)
                        return false;
                    end = nl2 + 2 + n;
                }
                out = buf.substr(0, end);
                buf.erase(0, end);
                return true;
            }
            if (line.size() < 4 || line[3] != '-') {
                out = buf.substr(0, pos);   // greeting or other line
                buf.erase(0, pos);
                return true;
            }
        }
    }
    std::string buf;
};

// Allows writes over TCP for one scope (the setting is process-wide).
struct TcpWrites {
    explicit TcpWrites(bool allow) { ControlSocketServer::allow_tcp_writes(allow); }
    ~TcpWrites() { ControlSocketServer::allow_tcp_writes(false); }
};

struct Running {
    Master m{2};
    Router* r = nullptr;
    ControlSocketServer server{&m};
    std::thread th;
    explicit Running(const std::string& text, bool tcp_writes = true) {
        StringErrorHandler errh;
        r = Router::create(text, "cs.click", {}, &errh, &m);
        EXPECT_TRUE(r) << errh.text();
        if (!r)
            return;
        EXPECT_EQ(r->initialize(&errh), 0) << errh.text();
        TcpWrites allow(tcp_writes);
        EXPECT_EQ(server.listen_tcp("0", &errh), 0) << errh.text();
        th = std::thread([this] { m.run(r); });
        while (!m.running())
            std::this_thread::yield();
    }
    ~Running() {
        m.please_stop();
        if (th.joinable())
            th.join();
        delete m.router();
    }
};

TEST(ControlSocket, LineProtocolRoundTrip) {
    Running run("s :: InfiniteSource(LIMIT 25) -> c :: Counter -> Discard; Idle -> k :: Paint(3) -> Discard;");
    ASSERT_TRUE(run.r);
    Client c(run.server.port());
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.reply(), "Click::ControlSocket/1.3\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.send("READ c.count\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'c.count' OK\r\nDATA 3\r\n25\n");
    c.send("read k.color\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'k.color' OK\r\nDATA 1\r\n3");
    c.send("WRITE k.color 9\r\n");
    EXPECT_EQ(c.reply(), "200 Write handler 'k.color' OK\r\n");
    c.send("WRITE k.color 300\r\n");
    std::string r = c.reply();
    EXPECT_EQ(r.substr(0, 4), "520-") << r;
    EXPECT_NE(r.find("520 Write handler 'k.color' error\r\n"), std::string::npos) << r;
    c.send("READ k.color\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'k.color' OK\r\nDATA 1\r\n9");   // unchanged by the bad write
    c.send("WRITEDATA k.color 1\r\n4");
    EXPECT_EQ(c.reply(), "200 Write handler 'k.color' OK\r\n");
    c.send("CHECKREAD c.count\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'c.count' OK\r\n");
    c.send("CHECKWRITE c.count\r\n");
    EXPECT_EQ(c.reply(), "530 Handler 'c.count' is read-only\r\n");
    c.send("READ nosuch.count\r\n");
    EXPECT_EQ(c.reply(), "510 No element named 'nosuch'\r\n");
    c.send("READ c.nosuch\r\n");
    EXPECT_EQ(c.reply(), "511 No handler named 'c.nosuch'\r\n");
    c.send("FROB x\r\n");
    EXPECT_EQ(c.reply(), "501 Unimplemented command 'FROB'\r\n");
    c.send("READ list\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'list' OK\r\nDATA 35\r\n6\ns\nc\nDiscard@3\nIdle@4\nk\nDiscard@6\n");
    c.send("QUIT\r\n");
    EXPECT_EQ(c.reply(), "200 Goodbye!\r\n");
}

// Without --allow-tcp-writes a TCP socket reads but changes nothing: a
// refused WRITEDATA still consumes its data, which must not run as commands.
TEST(ControlSocket, TcpIsReadOnlyUnlessWritesAreAllowed) {
    Running run("Idle -> k :: Paint(3) -> Discard;", false);
    ASSERT_TRUE(run.r);
    EXPECT_FALSE(run.server.writable());
    Client c(run.server.port());
    ASSERT_TRUE(c.ok);
    c.reply();
    c.send("WRITE k.color 9\r\n");
    EXPECT_EQ(c.reply(), "530 Permission denied\r\n");
    c.send("CHECKWRITE k.color\r\n");
    EXPECT_EQ(c.reply(), "530 Permission denied\r\n");
    const std::string smuggled = "WRITE stop\nWRITE k.color 7\n";
    c.send("WRITEDATA hotconfig " + std::to_string(smuggled.size()) + "\r\n" + smuggled);
    EXPECT_EQ(c.reply(), "530 Permission denied\r\n");
    c.send("WRITEDATA k.color 1\r\n4READ k.color\r\n");
    EXPECT_EQ(c.reply(), "530 Permission denied\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'k.color' OK\r\nDATA 1\r\n3");
    EXPECT_EQ(run.m.router(), run.r);
    EXPECT_TRUE(run.m.running());
}

TEST(ControlSocket, RandomInputNeverCrashes) {
    Master m(1);
    ControlSocketServer s(&m);
    // No router running: every handler command answers 540.
    EXPECT_EQ(s.process("READ x.y\n"), "540 No router installed\r\n");
    uint32_t seed = 12345;
    for (int i = 0; i < 2000; ++i) {
        std::string in;
        int n = int(seed % 64);
        for (int k = 0; k < n; ++k) {
            seed = seed * 1103515245 + 12345;
            static const char alphabet[] = "READWRITEDATACHECKQUIT .\r\n0123456789-x";
            in += alphabet[(seed >> 16) % (sizeof(alphabet) - 1)];
        }
        s.process(in);
    }
    EXPECT_EQ(s.process("WRITEDATA x 99999999999\n"), "521 Data too big\r\n");
}

TEST(ControlSocket, HotSwapTakesStateAndFailureKeepsOldRouter) {
    const std::string conf = "s :: InfiniteSource(LIMIT 50) -> q :: Queue(100) -> Idle;";
    Running run(conf);
    ASSERT_TRUE(run.r);
    Client c(run.server.port());
    c.reply();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.send("READ q.length\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'q.length' OK\r\nDATA 3\r\n50\n");

    // A broken configuration: every error comes back, the old router runs on.
    std::string bad = "s :: InfiniteSource(LIMIT fifty) -> q :: Queue(100) -> Idle;\nx :: Nonexistent;\n";
    c.send("WRITEDATA hotconfig " + std::to_string(bad.size()) + "\r\n" + bad);
    std::string r = c.reply();
    EXPECT_NE(r.find("Nonexistent"), std::string::npos) << r;
    EXPECT_NE(r.find("520 Write handler 'hotconfig' error"), std::string::npos) << r;
    EXPECT_EQ(run.m.router(), run.r);
    std::string bad2 = "s :: InfiniteSource(LIMIT fifty) -> q :: Queue(100) -> Idle;\n";
    c.send("WRITEDATA hotconfig " + std::to_string(bad2.size()) + "\r\n" + bad2);
    r = c.reply();
    EXPECT_NE(r.find("LIMIT"), std::string::npos) << r;
    EXPECT_EQ(run.m.router(), run.r);

    // A good one: the queue keeps its packets, the source does not restart,
    // and the new counter sees nothing more.
    std::string good = "s :: InfiniteSource(LIMIT 50) -> q :: Queue(100) -> Idle; extra :: Idle;";
    c.send("WRITEDATA hotconfig " + std::to_string(good.size()) + "\r\n" + good);
    EXPECT_EQ(c.reply(), "200 Write handler 'hotconfig' OK\r\n");
    EXPECT_NE(run.m.router(), run.r);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.send("READ q.length\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'q.length' OK\r\nDATA 3\r\n50\n");
    c.send("READ s.count\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 's.count' OK\r\nDATA 3\r\n50\n");
    c.send("READ config\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'config' OK\r\nDATA " + std::to_string(good.size()) + "\r\n" + good);
    c.send("WRITE stop\r\n");
    EXPECT_EQ(c.reply(), "200 Write handler 'stop' OK\r\n");
}

}  // namespace

namespace {

TEST(ControlSocket, ElementSurvivesHotSwap) {
    TcpWrites allow(true);
    Master m(1);
    StringErrorHandler errh;
    const std::string conf = "cs :: ControlSocket(TCP, 0); InfiniteSource(LIMIT 5) -> c :: Counter -> Discard;";
    Router* r = Router::create(conf, "cs.click", {}, &errh, &m);
    ASSERT_TRUE(r && r->initialize(&errh) == 0) << errh.text();
    int port = std::stoi(HandlerCall::call_read(r, "cs.port"));
    ASSERT_GT(port, 0);
    std::thread th([&] { m.run(r); });
    Client c(port);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.reply(), "Click::ControlSocket/1.3\r\n");
    std::string next = "cs :: ControlSocket(TCP, 0); InfiniteSource(LIMIT 5) -> c :: Counter -> Discard; Idle;";
    c.send("WRITEDATA hotconfig " + std::to_string(next.size()) + "\r\n" + next);
    EXPECT_EQ(c.reply(), "200 Write handler 'hotconfig' OK\r\n");
    // Same connection, new router.
    c.send("READ list\r\n");
    EXPECT_EQ(c.reply(), "200 Read handler 'list' OK\r\nDATA 41\r\n5\ncs\nInfiniteSource@2\nc\nDiscard@4\nIdle@5\n");
    c.send("READ cs.port\r\n");
    std::string p = std::to_string(port) + "\n";
    EXPECT_EQ(c.reply(), "200 Read handler 'cs.port' OK\r\nDATA " + std::to_string(p.size()) + "\r\n" + p);
    c.send("WRITE stop\r\n");
    EXPECT_EQ(c.reply(), "200 Write handler 'stop' OK\r\n");
    th.join();
    delete m.router();
}

}  // namespace
