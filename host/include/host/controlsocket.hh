// The control socket: Click's line protocol over TCP (loopback) or a Unix
// socket, served on router thread 0 of a Master.  Handler calls go to the
// master's running router.
//
//   greeting  "Click::ControlSocket/1.3"
//   READ h [PARAM]       200 Read handler 'h' OK / DATA n / <n bytes>
//   WRITE h VALUE        200 Write handler 'h' OK
//   WRITEDATA h n        (then n bytes of value)
//   CHECKREAD h, CHECKWRITE h, QUIT
// Replies: three-digit code, '-' on continuation lines, CRLF line ends.
// Codes: 200 OK, 220 OK with messages, 500 syntax error, 501 unknown
// command, 510 no such element, 511 no such handler, 520 handler error,
// 521 data too big, 530 permission denied, 540 no router.
//
// Who may change the router.  The driver runs as root, and a write (above
// all to "hotconfig") can make the router write files anywhere or forward
// differently.  A Unix socket is created mode 0600 whatever the umask, so
// only its owner (and root) can connect, and it accepts writes.  A TCP
// socket accepts connections from every local user and is therefore
// read-only unless writes over TCP were allowed for the whole process
// (allow_tcp_writes, the driver's --allow-tcp-writes): WRITE, WRITEDATA and
// CHECKWRITE answer "530 Permission denied" and change nothing.  The data of
// a refused WRITEDATA is read and dropped.
#ifndef QUILO_HOST_CONTROLSOCKET_HH
#define QUILO_HOST_CONTROLSOCKET_HH

#include <map>
#include <string>

class ErrorHandler;
class Master;

class ControlSocketServer {
 public:
    static constexpr size_t max_line = 65536;
    static constexpr size_t max_data = 64u << 20;

    explicit ControlSocketServer(Master* master);
    ~ControlSocketServer();
    ControlSocketServer(const ControlSocketServer&) = delete;
    ControlSocketServer& operator=(const ControlSocketServer&) = delete;

    // "PORT" (loopback) or "ADDRESS:PORT"; port 0 picks a free port.
    // Read-only unless allow_tcp_writes(true) was called before.
    int listen_tcp(const std::string& port, ErrorHandler* errh);
    // Mode 0600, writes allowed.
    int listen_unix(const std::string& path, ErrorHandler* errh);
    // Process-wide: whether TCP control sockets opened from now on accept
    // writes (off by default).
    static void allow_tcp_writes(bool allow);
    static bool tcp_writes_allowed();
    // Whether this server accepts writes.
    bool writable() const { return _writable; }
    // The bound TCP port (after listen_tcp), or 0.
    int port() const { return _port; }
    const std::string& unix_path() const { return _unix_path; }

    // One protocol exchange without a socket: feeds `input`, returns what
    // the server would send (greeting excluded).  For tests and tools.
    std::string process(const std::string& input);

 private:
    struct Conn {
        int fd = -1;
        std::string in;
        std::string out;
        size_t want_data = 0;      // bytes still expected after WRITEDATA
        bool in_data = false;
        std::string data_handler;   // empty: the data of a refused WRITEDATA
        bool closing = false;
    };
    int start_listening(int fd, ErrorHandler* errh);
    void accept_ready();
    void conn_readable(int fd);
    void conn_writable(int fd);
    void flush(Conn& c);
    void close_conn(int fd);
    // Consumes complete commands from c.in, appends replies to c.out.
    void run_commands(Conn& c);
    void command(Conn& c, const std::string& line);
    void do_read(Conn& c, const std::string& hname, const std::string& param);
    void do_write(Conn& c, const std::string& hname, const std::string& value);
    void do_check(Conn& c, const std::string& hname, bool write);

    Master* _master;
    int _listen_fd = -1;
    int _port = 0;
    std::string _unix_path;
    bool _writable = false;
    std::map<int, Conn> _conns;
};

#endif
