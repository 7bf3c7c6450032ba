#include "socket.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

namespace {

bool make_un(const std::string& path, sockaddr_storage& ss, socklen_t& len) {
    sockaddr_un* sun = reinterpret_cast<sockaddr_un*>(&ss);
    if (path.empty() || path.size() >= sizeof(sun->sun_path))
        return false;
    memset(&ss, 0, sizeof ss);
    sun->sun_family = AF_UNIX;
    memcpy(sun->sun_path, path.data(), path.size());
    len = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

void make_in(IPAddress a, uint16_t port, sockaddr_storage& ss, socklen_t& len) {
    memset(&ss, 0, sizeof ss);
    sockaddr_in* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = a.addr();
    sin->sin_port = htons(port);
    len = sizeof(sockaddr_in);
}

}  // namespace

int Socket::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string type;
    if (Args(this, errh).bind(conf).read_mp("TYPE", WordArg(), type).consume() < 0)
        return -1;
    bool client = false;
    uint32_t snaplen = 65535, headroom = Packet::default_headroom;
    int burst = 32;
    if (type == "UDP") {
        IPAddress addr, laddr;
        uint16_t port = 0, lport = 0;
        bool have_lport = false;
        if (Args(conf, this, errh)
                .read_mp("ADDR", addr)
                .read_mp("PORT", IPPortArg(IPPROTO_UDP), port)
                .read("LOCAL_ADDR", laddr)
                .read("LOCAL_PORT", IPPortArg(IPPROTO_UDP), lport)
                .read_status(have_lport)
                .read("CLIENT", client)
                .read("SNAPLEN", BoundedIntArg(1, 65535), snaplen)
                .read("HEADROOM", BoundedIntArg(0, 4096), headroom)
                .read("BURST", BoundedIntArg(1, 1024), burst)
                .complete() < 0)
            return -1;
        _unix = false;
        if (have_lport) {
            make_in(laddr, lport, _local, _local_len);
            make_in(addr, port, _remote, _remote_len);
            _have_remote = true;
        } else if (client) {
            make_in(addr, port, _remote, _remote_len);
            _have_remote = true;
            _local_len = 0;
        } else {
            make_in(addr, port, _local, _local_len);
            _have_remote = false;
            _answer_sender = true;
        }
    } else if (type == "UNIX_DGRAM") {
        std::string path, lpath;
        if (Args(conf, this, errh)
                .read_mp("PATH", StringArg(), path)
                .read("LOCAL_PATH", StringArg(), lpath)
                .read("CLIENT", client)
                .read("SNAPLEN", BoundedIntArg(1, 65535), snaplen)
                .read("HEADROOM", BoundedIntArg(0, 4096), headroom)
                .read("BURST", BoundedIntArg(1, 1024), burst)
                .complete() < 0)
            return -1;
        _unix = true;
        _local_len = 0;
        _have_remote = false;
        if (!lpath.empty()) {
            if (!make_un(lpath, _local, _local_len) || !make_un(path, _remote, _remote_len))
                return errh->error("PATH: socket path empty or too long");
            _have_remote = true;
            _local_path = lpath;
        } else if (client) {
            if (!make_un(path, _remote, _remote_len))
                return errh->error("PATH: socket path empty or too long");
            _have_remote = true;
        } else {
            if (!make_un(path, _local, _local_len))
                return errh->error("PATH: socket path empty or too long");
            _local_path = path;
            _answer_sender = true;
        }
        _path = path;
    } else
        return errh->error("TYPE: expected UDP or UNIX_DGRAM, got %<%s%>", type.c_str());
    _client = client;
    _snaplen = snaplen;
    _headroom = headroom;
    _burst = burst;
    return 0;
}

int Socket::initialize(ErrorHandler* errh) {
    _fd = ::socket(_unix ? AF_UNIX : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_fd < 0)
        return errh->error("socket: %s", strerror(errno));
    if (_local_len) {
        if (_unix) {
            // Replace a stale socket file, never another kind of file.
            struct stat st;
            if (lstat(_local_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                unlink(_local_path.c_str());
        } else {
            int one = 1;
            setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        }
        if (bind(_fd, reinterpret_cast<sockaddr*>(&_local), _local_len) < 0)
            return errh->error("bind %s: %s", _unix ? _local_path.c_str() : "address", strerror(errno));
        _bound_path = _unix;
    }
    // A connected datagram socket reports "writable" only when the peer can
    // take more, which is what the pull input waits for.
    if (_unix && _have_remote && !_answer_sender)
        ::connect(_fd, reinterpret_cast<sockaddr*>(&_remote), _remote_len);
    int buf = 4 << 20;
    setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(_fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    if (noutputs())
        add_select(_fd, SELECT_READ);
    if (ninputs() && input_is_pull(0)) {
        _task.initialize(this, true);
        _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    }
    return 0;
}

int Socket::send_packet(Packet* p) {
    if (!_have_remote) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return -1;
    }
    ssize_t r = sendto(_fd, p->data(), p->length(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&_remote), _remote_len);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
        return 0;
    if (r < 0)
        _drops.fetch_add(1, std::memory_order_relaxed);   // peer absent (ECONNREFUSED, ENOENT), too large, ...
    else
        _sent.fetch_add(1, std::memory_order_relaxed);
    p->kill();
    return r < 0 ? -1 : 1;
}

void Socket::push(int, Packet* p) {
    // A push input cannot wait: a full socket drops the datagram.
    if (send_packet(p) == 0) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
    }
}

bool Socket::run_task(Task*) {
    if (_waiting)
        return false;
    int n = 0;
    while (n < _burst) {
        Packet* p = _pending;
        _pending = nullptr;
        if (!p && !(p = input(0).pull()))
            break;
        if (send_packet(p) == 0) {
            _pending = p;
            _waiting = true;
            add_select(_fd, SELECT_WRITE);
            return n > 0;
        }
        ++n;
    }
    if (n > 0 || _signal.active())
        _task.fast_reschedule();
    return n > 0;
}

void Socket::selected(int fd, int mask) {
    if ((mask & SELECT_WRITE) && _waiting) {
        _waiting = false;
        remove_select(fd, SELECT_WRITE);
        _task.reschedule();
    }
    if (!(mask & SELECT_READ) || !noutputs())
        return;
    for (int i = 0; i < _burst; ++i) {
        WritablePacket* p = Packet::make(_headroom, nullptr, _snaplen, 0);
        if (!p) {
            _drops.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        sockaddr_storage from;
        socklen_t fromlen = sizeof from;
        ssize_t r = recvfrom(fd, p->data(), _snaplen, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                             &fromlen);
        if (r < 0) {
            p->kill();
            return;
        }
        if (size_t(r) > _snaplen) {
            _truncated.fetch_add(1, std::memory_order_relaxed);
            p->kill();
            continue;
        }
        if (_answer_sender && fromlen > sizeof(sa_family_t)) {
            memcpy(&_remote, &from, fromlen);
            _remote_len = fromlen;
            _have_remote = true;
        }
        p->take(_snaplen - uint32_t(r));
        p->set_timestamp_anno(Timestamp::now());
        _received.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
    }
}

void Socket::cleanup(CleanupStage) {
    if (_pending)
        _pending->kill();
    _pending = nullptr;
    if (_fd >= 0)
        close(_fd);
    _fd = -1;
    if (_bound_path)
        unlink(_local_path.c_str());
    _bound_path = false;
}

void Socket::add_handlers() {
    add_read_handler("sent", ReadHandlerFunction([this]() { return std::to_string(_sent.load()) + "\n"; }));
    add_read_handler("received", ReadHandlerFunction([this]() { return std::to_string(_received.load()) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_read_handler("truncated", ReadHandlerFunction([this]() { return std::to_string(_truncated.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(Socket);
