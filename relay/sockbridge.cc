// sockbridge: transparent TCP relay.
//
// The host's packet filter diverts TCP connections to our listening port with
// transparent proxying (nftables "tproxy"), so an accepted socket carries the
// client's address as its peer and the address the client wanted to reach as
// its local address.  For every accepted connection we open a second TCP
// connection to that original destination (optionally from the client's own
// address, -s) and copy bytes both ways with back-pressure until either side
// closes.  Single thread, one libevent event base.
//
// Running out of file descriptors
// -------------------------------
// Every relayed connection holds two descriptors.  At start-up the open-file
// soft limit is raised to the hard limit.  When the limit (or the system-wide
// table) is still exhausted:
//   * accept() failing with EMFILE/ENFILE/ENOBUFS/ENOMEM pauses the listener.
//     Pending connections stay in the kernel's backlog; nothing is accepted
//     and then dropped, and the loop never spins on the readable listener.
//   * Accepting resumes shortly (10 ms) after any relayed connection is
//     released, and at the latest after one second, retrying as long as the
//     condition lasts.
//   * One spare descriptor is kept open.  If the outgoing socket() of a
//     connection that was just accepted fails for lack of descriptors, the
//     spare is given up so that this connection can still be relayed, and
//     accepting pauses; the spare is taken back before accepting resumes.
//   * The process never exits because of descriptor exhaustion.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/util.h>

#include <string>
#include <unordered_set>

namespace {

constexpr const char* kDefaultPort = "4050";
constexpr int kListenBacklog = 1000;
constexpr int kListenerBacklog = 10000;
constexpr int kPriorities = 5;
// Read high-water mark of both sides, and the partner-output threshold that
// stops reading on a side until the partner's output has drained.
constexpr size_t kFlowLimit = 10240;
constexpr int kOutgoingTtl = 64;

struct Relay {
    bool verbose = false;
    bool spoofing_sockets = false;
    std::string port = kDefaultPort;
    in_port_t listen_port = 0;  // network order, from the bound listening socket

    event_base* base = nullptr;
    evconnlistener* listener = nullptr;

    // Descriptor-exhaustion handling (see the comment at the top).
    event* resume_ev = nullptr;
    bool accept_paused = false;
    bool resume_soon = false;
    bool exhaustion_reported = false;
    int spare_fd = -1;

    // Every live buffered event, so that shutdown can release them.
    std::unordered_set<bufferevent*> live;
    // Outgoing sides whose connect has not completed yet.
    std::unordered_set<bufferevent*> connecting;
};

Relay g;

void usage() {
    fputs("/*\n"
          " * sockbridge - transparent TCP relay of the Quilo WAN optimisation appliance.\n"
          " * Accepts TCP connections diverted to it by the packet filter (tproxy) and\n"
          " * splices each one to its original destination.\n"
          " */\n"
          "Usage: sockbridge [-p <listening port>] [-v] [-s] [-h]\n"
          "    -p - specify listening port, default is DEFAULT_PORT\n"
          "    -h - print usage info\n"
          "    -v - verbose logging\n"
          "    -s - spoofing outgoing sockets\n",
          stderr);
}

// A failed system call: the fixed prefix, then the reason.
void sys_error(const char* prefix, int err = errno) {
    fprintf(stderr, "%s%s\n", prefix, strerror(err));
}

void print_address(const char* fmt, const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN];
    if (sa->sa_family == AF_INET) {
        auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
        printf(fmt, text, ntohs(sin->sin_port));
    } else if (sa->sa_family == AF_INET6) {
        auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text);
        printf(fmt, text, ntohs(sin6->sin6_port));
    }
}

// ---------------------------------------------------------------- accepting

void open_spare() {
    if (g.spare_fd < 0)
        g.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool out_of_descriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void pause_accepting(int err) {
    if (!g.accept_paused) {
        evconnlistener_disable(g.listener);
        g.accept_paused = true;
    }
    if (!g.exhaustion_reported) {
        fprintf(stderr, "accept: %s; accepting paused until descriptors are released\n",
                strerror(err));
        g.exhaustion_reported = true;
    }
    g.resume_soon = false;
    timeval backstop{1, 0};
    event_add(g.resume_ev, &backstop);
}

void resume_cb(evutil_socket_t, short, void*) {
    g.resume_soon = false;
    if (!g.accept_paused)
        return;
    open_spare();
    if (g.spare_fd < 0) {
        timeval backstop{1, 0};
        event_add(g.resume_ev, &backstop);
        return;
    }
    g.accept_paused = false;
    evconnlistener_enable(g.listener);
    if (g.verbose)
        puts("Accepting resumed");
}

// A relayed connection released its descriptors.  Their sockets are closed by
// libevent's finalizers later in this loop pass, so retry a little later
// rather than at once.
void descriptors_released() {
    if (g.accept_paused && !g.resume_soon) {
        g.resume_soon = true;
        timeval soon{0, 10000};
        event_add(g.resume_ev, &soon);
    }
}

void free_side(bufferevent* bev) {
    g.live.erase(bev);
    g.connecting.erase(bev);
    bufferevent_free(bev);
    descriptors_released();
}

// True when `dst` is the relay's own listening address: relaying such a
// connection would connect the relay to itself over and over until every
// descriptor is gone.  The port must be ours and the address one of this
// host's own, which a plain (non-transparent) bind accepts.
bool is_own_listening_address(const sockaddr_storage& dst) {
    if (dst.ss_family != AF_INET)
        return false;
    auto& sin = reinterpret_cast<const sockaddr_in&>(dst);
    if (sin.sin_port != g.listen_port)
        return false;
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    sockaddr_in local = sin;
    local.sin_port = 0;
    bool own = bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    close(probe);
    return own;
}

void bev_readcb(bufferevent* bev, void* ctx);
void drained_writecb(bufferevent* bev, void* ctx);
void close_on_finished_writecb(bufferevent* bev, void* ctx);
void bev_eventcb(bufferevent* bev, short events, void* ctx);

void accept_cb(evconnlistener*, evutil_socket_t fd, sockaddr* client, int client_len, void*) {
    g.exhaustion_reported = false;
    if (g.verbose) {
        printf("Incoming connection, socket %d\n", fd);
        print_address("Original source %s:%d\n", client);
    }

    sockaddr_storage dst;
    memset(&dst, 0, sizeof dst);
    socklen_t dst_len = sizeof dst;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&dst), &dst_len) < 0) {
        sys_error("getsockname: ");
        close(fd);
        return;
    }
    if (g.verbose)
        print_address("Original desination %s:%d\n", reinterpret_cast<sockaddr*>(&dst));

    if (is_own_listening_address(dst)) {
        if (g.verbose)
            print_address("Refused connection to the relay's own address %s:%d\n",
                          reinterpret_cast<sockaddr*>(&dst));
        close(fd);
        return;
    }

    int out = socket(dst.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int err = errno;
    if (out < 0 && out_of_descriptors(err)) {
        // Out of descriptors with a connection in hand: spend the spare on it
        // and stop accepting until descriptors come back.
        if (g.spare_fd >= 0) {
            close(g.spare_fd);
            g.spare_fd = -1;
            out = socket(dst.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            err = errno;
        }
        pause_accepting(err);
    }
    if (out < 0) {
        sys_error("socket: ", err);
        close(fd);
        return;
    }

    int one = 1;
    if (setsockopt(out, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        sys_error("setsockopt (SO_REUSEADDR): ");
        close(out);
        close(fd);
        return;
    }
    int ttl = kOutgoingTtl;
    if (setsockopt(out, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0) {
        sys_error("setsockopt (IP_TTL): ");
        close(out);
        close(fd);
        return;
    }
    if (g.spoofing_sockets) {
        if (setsockopt(out, IPPROTO_IP, IP_TRANSPARENT, &one, sizeof one) < 0) {
            sys_error("setsockopt (IP_TRANSPARENT): ");
            close(out);
            close(fd);
            return;
        }
        if (bind(out, client, static_cast<socklen_t>(client_len)) < 0) {
            sys_error("bind: ");
            close(out);
            close(fd);
            return;
        }
    }

    const int options = BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS;
    bufferevent* client_bev = bufferevent_socket_new(g.base, out, options);
    if (client_bev == nullptr) {
        fputs("Cannot create client_bev\n", stderr);
        close(out);
        close(fd);
        return;
    }
    if (bufferevent_socket_connect(client_bev, reinterpret_cast<sockaddr*>(&dst),
                                   static_cast<int>(dst_len)) < 0) {
        fputs("bufferevent_socket_connect() error\n", stderr);
        bufferevent_free(client_bev);
        close(fd);
        return;
    }
    bufferevent* server_bev = bufferevent_socket_new(g.base, fd, options);
    if (server_bev == nullptr) {
        fputs("Cannot create server_bev\n", stderr);
        bufferevent_free(client_bev);
        close(fd);
        return;
    }
    g.live.insert(client_bev);
    g.live.insert(server_bev);
    g.connecting.insert(client_bev);

    bufferevent_setcb(client_bev, bev_readcb, nullptr, bev_eventcb, server_bev);
    bufferevent_setcb(server_bev, bev_readcb, nullptr, bev_eventcb, client_bev);
    bufferevent_setwatermark(client_bev, EV_READ, 0, kFlowLimit);
    bufferevent_setwatermark(server_bev, EV_READ, 0, kFlowLimit);
    bufferevent_enable(client_bev, EV_READ | EV_WRITE);
    bufferevent_enable(server_bev, EV_READ | EV_WRITE);

    if (g.verbose) {
        printf("server socket: %d\n", fd);
        printf("client socket: %d\n", out);
    }
}

void accept_error_cb(evconnlistener*, void*) {
    int err = EVUTIL_SOCKET_ERROR();
    switch (err) {
    // Errors of one pending connection that accept() reports on Linux: that
    // connection is gone, the next one can be accepted.
    case ENETDOWN: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case EPERM: case ETIMEDOUT:
        fprintf(stderr, "accept: %s\n", strerror(err));
        return;
    default:
        // Out of descriptors or memory, or anything unexpected: stop accepting
        // for a while instead of retrying on a listener that stays readable.
        pause_accepting(err);
    }
}

// ---------------------------------------------------------------- relaying

// libevent 2.1 reads at most 4096 bytes per read call, which makes a busy
// connection cost four system calls per 4 KB.  While the partner is connected
// and has nothing queued, relay_direct copies straight from this socket to
// the partner's socket instead, in reads of up to kFlowLimit bytes and at most
// kDirectRounds reads per wakeup (so one busy connection cannot starve the
// others).  Whatever the partner's socket does not take is queued in its
// output as usual, so order and the queue bounds are unchanged.  End of stream
// is left on the socket for the buffered event to report; a read error is
// handled here as the buffered event would.  Returns false when `bev` was
// closed.
constexpr int kDirectRounds = 16;

bool relay_direct(bufferevent* bev, bufferevent* partner) {
    evbuffer* partner_out = bufferevent_get_output(partner);
    const evutil_socket_t partner_fd = bufferevent_getfd(partner);
    evbuffer* in = bufferevent_get_input(bev);
    if (evbuffer_get_length(in) > 0) {
        evbuffer_write(in, partner_fd);
        if (evbuffer_get_length(in) > 0)
            return true;  // the partner's socket is full: the caller queues the rest
    }
    const evutil_socket_t fd = bufferevent_getfd(bev);
    char buf[kFlowLimit];
    for (int round = 0; round < kDirectRounds; ++round) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true;
            bev_eventcb(bev, BEV_EVENT_READING | BEV_EVENT_ERROR, partner);
            return false;
        }
        ssize_t sent = send(partner_fd, buf, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < n) {
            // Queue the rest; on a send error the partner's buffered event
            // runs into the same error when it writes, and reports it.
            size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
            evbuffer_add(partner_out, buf + done, static_cast<size_t>(n) - done);
            return true;
        }
        if (static_cast<size_t>(n) < sizeof buf)
            return true;  // the socket is drained for now
    }
    return true;
}

// One side has data; `ctx` is its partner.
void bev_readcb(bufferevent* bev, void* ctx) {
    auto* partner = static_cast<bufferevent*>(ctx);
    if (g.verbose)
        printf("bev_readcb, socket %d\n", static_cast<int>(bufferevent_getfd(bev)));
    evbuffer* partner_out = bufferevent_get_output(partner);
    if (evbuffer_get_length(partner_out) == 0 && !g.connecting.contains(partner) &&
        !relay_direct(bev, partner))
        return;
    if (bufferevent_read_buffer(bev, partner_out) < 0)
        fprintf(stderr, "bufferevent_read_bufferline: %d\n", 178);
    if (evbuffer_get_length(partner_out) >= kFlowLimit) {
        // Back-pressure: read no more here until the partner's output is empty.
        bufferevent_setcb(partner, bev_readcb, drained_writecb, bev_eventcb, bev);
        bufferevent_disable(bev, EV_READ);
    }
}

// The output of `bev` has drained; `ctx` is the side that was paused.
void drained_writecb(bufferevent* bev, void* ctx) {
    auto* paused = static_cast<bufferevent*>(ctx);
    if (g.verbose)
        printf("drained_writecb, socket %d\n", static_cast<int>(bufferevent_getfd(bev)));
    bufferevent_setcb(bev, bev_readcb, nullptr, bev_eventcb, paused);
    if (paused != nullptr)
        bufferevent_enable(paused, EV_READ);
}

// The partner of `bev` is gone: free `bev` once its pending output is written.
void close_on_finished_writecb(bufferevent* bev, void*) {
    if (evbuffer_get_length(bufferevent_get_output(bev)) == 0)
        free_side(bev);
}

void bev_eventcb(bufferevent* bev, short events, void* ctx) {
    const int err = errno;  // the socket error, restored by libevent for this callback
    auto* partner = static_cast<bufferevent*>(ctx);
    if (g.verbose)
        printf("bev_eventcb, socket %d, events: %d\n", static_cast<int>(bufferevent_getfd(bev)),
               events);
    if (events & BEV_EVENT_CONNECTED) {
        g.connecting.erase(bev);
        if (g.verbose)
            puts("Connected");
        return;
    }
    if (!(events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)))
        return;

    if (events & BEV_EVENT_ERROR) {
        fputs("Buffer event error, close both sockets.", stderr);
        if (err != 0)
            sys_error("connection error: ", err);
    } else if (g.verbose) {
        puts("Got a close");
    }

    if (partner != nullptr) {
        evbuffer* partner_out = bufferevent_get_output(partner);
        if (bufferevent_read_buffer(bev, partner_out) < 0)
            fprintf(stderr, "bufferevent_read_bufferline: %d\n", 136);
        if (evbuffer_get_length(partner_out) == 0) {
            free_side(partner);
            free_side(bev);
            return;
        }
        // Let the partner write out what is queued, then close it.
        bufferevent_setcb(partner, nullptr, close_on_finished_writecb, bev_eventcb, nullptr);
        bufferevent_disable(partner, EV_READ);
    }
    free_side(bev);
}

// ---------------------------------------------------------------- start-up

void signal_cb(evutil_socket_t sig, short, void*) {
    switch (sig) {
    case SIGINT: puts("Got an SIGINT"); break;
    case SIGTERM: puts("Got an SIGTERM"); break;
    case SIGHUP: puts("Got an SIGHUP"); break;
    }
    event_base_loopbreak(g.base);
}

// Each relayed connection holds two descriptors: allow as many as we may.
void raise_open_file_limit() {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) < 0)
            sys_error("setrlimit (RLIMIT_NOFILE): ");
    }
}

int fail_listen(const char* what, int fd) {
    sys_error(what);
    close(fd);
    return -1;
}

int open_listening_socket(const char* port, int backlog) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(nullptr, port, &hints, &res);
    if (rc != 0) {
        // getaddrinfo reports through its own codes, not errno.
        fprintf(stderr, "getaddrinfo: %s\n",
                rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
        exit(1);
    }
    int fd = socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    res->ai_protocol);
    if (fd < 0) {
        sys_error("listen socket: ");
        freeaddrinfo(res);
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        freeaddrinfo(res);
        return fail_listen("setsockopt (SO_REUSEADDR): ", fd);
    }
    if (setsockopt(fd, IPPROTO_IP, IP_TRANSPARENT, &one, sizeof one) < 0) {
        freeaddrinfo(res);
        return fail_listen("setsockopt (IP_TRANSPARENT): ", fd);
    }
    if (bind(fd, res->ai_addr, res->ai_addrlen) < 0) {
        freeaddrinfo(res);
        return fail_listen("bind: ", fd);
    }
    freeaddrinfo(res);
    if (listen(fd, backlog) < 0)
        return fail_listen("listen: ", fd);

    sockaddr_in bound;
    socklen_t bound_len = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) == 0)
        g.listen_port = bound.sin_port;
    printf("Quilo Networks sockbridge started on port %s, socket %d \n", port, fd);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    // Our lines are read by people and by scripts following the log.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int opt;
    while ((opt = getopt(argc, argv, "p:svh")) != -1) {
        switch (opt) {
        case 'p':
            if (atoi(optarg) == 0) {
                usage();
                return 1;
            }
            g.port = optarg;
            break;
        case 's':
            g.spoofing_sockets = true;
            break;
        case 'v':
            g.verbose = true;
            break;
        default:
            usage();
            return 1;
        }
    }

    signal(SIGPIPE, SIG_IGN);
    // Hold the stop signals until their events are in place: a signal that
    // arrives while starting up (the start line is already printed by then)
    // still stops the relay in order instead of killing it.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    raise_open_file_limit();

    int listen_fd = open_listening_socket(g.port.c_str(), kListenBacklog);
    if (listen_fd < 0)
        return 1;

    event_config* cfg = event_config_new();
    g.base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    if (g.base == nullptr) {
        fputs("Cannot create event base\n", stderr);
        close(listen_fd);
        return 1;
    }
    event_base_priority_init(g.base, kPriorities);

    g.listener = evconnlistener_new(g.base, accept_cb, nullptr,
                                    LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE,
                                    kListenerBacklog, listen_fd);
    if (g.listener == nullptr) {
        sys_error("evconnlistener_new: ");
        close(listen_fd);
        event_base_free(g.base);
        return 1;
    }
    evconnlistener_set_error_cb(g.listener, accept_error_cb);
    g.resume_ev = evtimer_new(g.base, resume_cb, nullptr);
    open_spare();

    event* sigint_ev = evsignal_new(g.base, SIGINT, signal_cb, nullptr);
    event* sigterm_ev = evsignal_new(g.base, SIGTERM, signal_cb, nullptr);
    event* sighup_ev = evsignal_new(g.base, SIGHUP, signal_cb, nullptr);
    event_add(sigint_ev, nullptr);
    event_add(sigterm_ev, nullptr);
    event_add(sighup_ev, nullptr);
    sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);

    event_base_dispatch(g.base);

    event_free(sigint_ev);
    event_free(sigterm_ev);
    event_free(sighup_ev);
    evconnlistener_free(g.listener);
    event_free(g.resume_ev);
    // Live connection pairs are closed, not drained.  libevent finishes
    // freeing a buffered event in a finalizer on the loop: give it one pass.
    for (bufferevent* bev : g.live)
        bufferevent_free(bev);
    g.live.clear();
    event_base_loop(g.base, EVLOOP_NONBLOCK);
    event_base_free(g.base);
    if (g.spare_fd >= 0)
        close(g.spare_fd);
    libevent_global_shutdown();
    return 0;
}
