#include <host/controlsocket.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

const char greeting[] = "Click::ControlSocket/1.3\r\n";
const char permission_denied[] = "530 Permission denied\r\n";

std::atomic<bool> tcp_writes{false};

void set_nonblock(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

// Splits off the first space-separated word.
std::string shift_word(std::string& s) {
    size_t b = 0;
    while (b < s.size() && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    size_t e = b;
    while (e < s.size() && s[e] != ' ' && s[e] != '\t')
        ++e;
    std::string w = s.substr(b, e - b);
    if (e < s.size())
        ++e;   // one separator
    s = s.substr(e);
    return w;
}

// "code-line\r\n" for every line but the last, "code last\r\n".
void reply(std::string& out, int code, const std::vector<std::string>& messages, const std::string& last) {
    for (auto& m : messages)
        out += std::to_string(code) + "-" + m + "\r\n";
    out += std::to_string(code) + " " + last + "\r\n";
}

std::vector<std::string> message_lines(const StringErrorHandler& e) {
    std::vector<std::string> v;
    for (auto& l : e.lines()) {
        std::string s = l;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        v.push_back(s);
    }
    return v;
}

}  // namespace

ControlSocketServer::ControlSocketServer(Master* master) : _master(master) {}

void ControlSocketServer::allow_tcp_writes(bool allow) {
    tcp_writes.store(allow);
}

bool ControlSocketServer::tcp_writes_allowed() {
    return tcp_writes.load();
}

ControlSocketServer::~ControlSocketServer() {
    RouterThread* t0 = _master->thread(0);
    std::vector<int> fds;
    for (auto& kv : _conns)
        fds.push_back(kv.first);
    for (int fd : fds)
        close_conn(fd);
    if (_listen_fd >= 0) {
        t0->remove_select(_listen_fd, 1, nullptr);
        close(_listen_fd);
    }
    if (!_unix_path.empty())
        unlink(_unix_path.c_str());
}

int ControlSocketServer::listen_tcp(const std::string& where, ErrorHandler* errh) {
    std::string addr = "127.0.0.1", port = where;
    size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        addr = where.substr(0, colon);
        port = where.substr(colon + 1);
    }
    char* end;
    long p = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 0 || p > 65535)
        return errh->error("control socket: bad port %<%s%>", where.c_str());
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(uint16_t(p));
    if (inet_pton(AF_INET, addr.c_str(), &sin.sin_addr) != 1)
        return errh->error("control socket: bad address %<%s%>", addr.c_str());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errh->error("control socket: %s", strerror(errno));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) < 0) {
        int err = errno;
        close(fd);
        return errh->error("control socket: bind %s: %s", where.c_str(), strerror(err));
    }
    socklen_t len = sizeof(sin);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    _port = ntohs(sin.sin_port);
    _writable = tcp_writes_allowed();
    return start_listening(fd, errh);
}

int ControlSocketServer::listen_unix(const std::string& path, ErrorHandler* errh) {
    struct sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(sun.sun_path))
        return errh->error("control socket: bad path %<%s%>", path.c_str());
    memcpy(sun.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errh->error("control socket: %s", strerror(errno));
    unlink(path.c_str());
    // Linux creates the socket file with the socket's own mode less the
    // umask: 0600 before bind leaves no moment in which others may connect;
    // the chmod after it makes the mode exactly 0600 whatever the umask.
    if (fchmod(fd, S_IRUSR | S_IWUSR) < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof(sun)) < 0) {
        int err = errno;
        close(fd);
        return errh->error("control socket: bind %s: %s", path.c_str(), strerror(err));
    }
    if (chmod(path.c_str(), S_IRUSR | S_IWUSR) < 0) {
        int err = errno;
        close(fd);
        unlink(path.c_str());
        return errh->error("control socket: chmod %s: %s", path.c_str(), strerror(err));
    }
    _unix_path = path;
    _writable = true;
    return start_listening(fd, errh);
}

int ControlSocketServer::start_listening(int fd, ErrorHandler* errh) {
    if (listen(fd, 16) < 0) {
        int err = errno;
        close(fd);
        return errh->error("control socket: listen: %s", strerror(err));
    }
    set_nonblock(fd);
    _listen_fd = fd;
    _master->thread(0)->add_select(fd, 1, nullptr, [this](int, int) { accept_ready(); });
    return 0;
}

void ControlSocketServer::accept_ready() {
    while (true) {
        int fd = accept4(_listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        Conn& c = _conns[fd];
        c.fd = fd;
        c.out = greeting;
        _master->thread(0)->add_select(fd, 1, nullptr, [this](int f, int) { conn_readable(f); });
        flush(c);
    }
}

void ControlSocketServer::conn_readable(int fd) {
    auto it = _conns.find(fd);
    if (it == _conns.end())
        return;
    Conn& c = it->second;
    char buf[16384];
    while (true) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) {
            c.in.append(buf, size_t(n));
            if (c.in.size() > max_data + max_line) {
                c.out += "521 Data too big\r\n";
                c.closing = true;
                break;
            }
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // Peer closed: answer what is complete, then close.
            run_commands(c);
            flush(c);
            close_conn(fd);
            return;
        }
        if (errno == EAGAIN)
            break;
    }
    run_commands(c);
    flush(c);
}

void ControlSocketServer::conn_writable(int fd) {
    auto it = _conns.find(fd);
    if (it != _conns.end())
        flush(it->second);
}

void ControlSocketServer::flush(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = write(c.fd, c.out.data(), c.out.size());
        if (n > 0) {
            c.out.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            int fd = c.fd;
            _master->thread(0)->add_select(fd, 2, nullptr, [this](int f, int) { conn_writable(f); });
            return;
        }
        close_conn(c.fd);
        return;
    }
    _master->thread(0)->remove_select(c.fd, 2, nullptr);
    if (c.closing)
        close_conn(c.fd);
}

void ControlSocketServer::close_conn(int fd) {
    auto it = _conns.find(fd);
    if (it == _conns.end())
        return;
    _master->thread(0)->remove_select(fd, 3, nullptr);
    close(fd);
    _conns.erase(it);
}

std::string ControlSocketServer::process(const std::string& input) {
    Conn c;
    c.in = input;
    run_commands(c);
    return c.out;
}

void ControlSocketServer::run_commands(Conn& c) {
    while (!c.closing) {
        if (c.in_data) {
            if (c.in.size() < c.want_data)
                return;
            std::string value = c.in.substr(0, c.want_data);
            c.in.erase(0, c.want_data);
            c.in_data = false;
            if (c.data_handler.empty())
                c.out += permission_denied;
            else
                do_write(c, c.data_handler, value);
            continue;
        }
        size_t nl = c.in.find('\n');
        if (nl == std::string::npos) {
            if (c.in.size() > max_line) {
                c.out += "500 Line too long\r\n";
                c.closing = true;
            }
            return;
        }
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        command(c, line);
    }
}

void ControlSocketServer::command(Conn& c, const std::string& line) {
    std::string rest = line;
    std::string cmd = upper(shift_word(rest));
    if (cmd.empty())
        return;
    if (cmd == "QUIT") {
        c.out += "200 Goodbye!\r\n";
        c.closing = true;
    } else if (cmd == "READ") {
        std::string h = shift_word(rest);
        if (h.empty())
            c.out += "500 Syntax error: READ needs a handler\r\n";
        else
            do_read(c, h, rest);
    } else if (cmd == "WRITE") {
        std::string h = shift_word(rest);
        if (h.empty())
            c.out += "500 Syntax error: WRITE needs a handler\r\n";
        else if (!_writable)
            c.out += permission_denied;
        else
            do_write(c, h, rest);
    } else if (cmd == "WRITEDATA") {
        std::string h = shift_word(rest);
        std::string n = shift_word(rest);
        char* end;
        unsigned long long len = strtoull(n.c_str(), &end, 10);
        if (h.empty() || n.empty() || *end || n[0] == '-')
            c.out += "500 Syntax error: WRITEDATA needs a handler and a length\r\n";
        else if (len > max_data) {
            c.out += "521 Data too big\r\n";
            c.closing = true;
        } else {
            // A refused write still reads its data, which must not be taken
            // for commands; the refusal follows the data.
            c.in_data = true;
            c.want_data = size_t(len);
            c.data_handler = _writable ? h : std::string();
        }
    } else if (cmd == "CHECKREAD" || cmd == "CHECKWRITE") {
        std::string h = shift_word(rest);
        if (h.empty())
            c.out += "500 Syntax error: " + cmd + " needs a handler\r\n";
        else if (cmd == "CHECKWRITE" && !_writable)
            c.out += permission_denied;
        else
            do_check(c, h, cmd == "CHECKWRITE");
    } else
        c.out += "501 Unimplemented command '" + cmd + "'\r\n";
}

namespace {

// Finds the handler or writes the error reply.
const Handler* lookup(Master* m, const std::string& hname, Element** e, std::string& out) {
    Router* r = m->router();
    if (!r) {
        out += "540 No router installed\r\n";
        return nullptr;
    }
    size_t dot = hname.find('.');
    if (dot != std::string::npos && !r->find(hname.substr(0, dot))) {
        out += "510 No element named '" + hname.substr(0, dot) + "'\r\n";
        return nullptr;
    }
    const Handler* h = r->find_handler(hname, e, nullptr);
    if (!h)
        out += "511 No handler named '" + hname + "'\r\n";
    return h;
}

}  // namespace

void ControlSocketServer::do_read(Conn& c, const std::string& hname, const std::string& param) {
    Element* e = nullptr;
    const Handler* h = lookup(_master, hname, &e, c.out);
    if (!h)
        return;
    if (!h->readable()) {
        c.out += "530 Handler '" + hname + "' is write-only\r\n";
        return;
    }
    if (!param.empty() && !h->read_param()) {
        c.out += "530 Handler '" + hname + "' does not take parameters\r\n";
        return;
    }
    StringErrorHandler errh;
    std::string value = h->call_read(e, param, &errh);
    if (errh.nerrors()) {
        reply(c.out, 520, message_lines(errh), "Read handler '" + hname + "' error");
        return;
    }
    c.out += "200 Read handler '" + hname + "' OK\r\nDATA " + std::to_string(value.size()) + "\r\n";
    c.out += value;
}

void ControlSocketServer::do_write(Conn& c, const std::string& hname, const std::string& value) {
    Element* e = nullptr;
    const Handler* h = lookup(_master, hname, &e, c.out);
    if (!h)
        return;
    if (!h->writable()) {
        c.out += "530 Handler '" + hname + "' is read-only\r\n";
        return;
    }
    StringErrorHandler errh;
    int r = h->call_write(value, e, &errh);
    std::vector<std::string> msgs = message_lines(errh);
    if (r < 0 || errh.nerrors()) {
        if (msgs.empty())
            msgs.push_back(strerror(r < 0 ? -r : EINVAL));
        reply(c.out, 520, msgs, "Write handler '" + hname + "' error");
    } else
        reply(c.out, msgs.empty() ? 200 : 220, msgs, "Write handler '" + hname + "' OK");
}

void ControlSocketServer::do_check(Conn& c, const std::string& hname, bool write) {
    Element* e = nullptr;
    const Handler* h = lookup(_master, hname, &e, c.out);
    if (!h)
        return;
    if (write ? !h->writable() : !h->readable())
        c.out += "530 Handler '" + hname + (write ? "' is read-only\r\n" : "' is write-only\r\n");
    else
        c.out += std::string("200 ") + (write ? "Write" : "Read") + " handler '" + hname + "' OK\r\n";
}
