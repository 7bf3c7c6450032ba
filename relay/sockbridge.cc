// sockbridge: transparent TCP relay.
//
// The host's packet filter diverts TCP connections to our listening port with
// transparent proxying (nftables "tproxy"), so an accepted socket carries the
// client's address as its peer and the address the client wanted to reach as
// its local address.  For every accepted connection we open a second TCP
// connection to that original destination (optionally from the client's own
// address, -s) and copy bytes both ways with back-pressure until either side
// closes.
//
// Threads
// -------
// One event loop (libevent event base) per core, each with a listening
// socket of its own on the same port (SO_REUSEPORT: the kernel spreads new
// connections over them, tproxy included).  A connection pair lives on the
// loop that accepted it and is never touched by another thread.  The main
// thread runs the first loop and the stop signals.
//
// Moving bytes
// ------------
// Each direction of a pair moves bytes with splice(2): from the sending
// socket into a pipe, and from the pipe into the receiving socket, without
// copying them through user space.  The pipe holds what was read and not yet
// written; it bounds each direction like a buffer did: a side reads at most
// 10240 bytes at a time, and stops reading while its partner has bytes
// queued that the partner's socket does not take (or while the outgoing
// connect is pending), until that queue is empty.  A direction has a pipe
// only while it has bytes in flight: an idle pair holds none.  Empty pipes
// go back to a small per-loop pool, so a busy direction does not create one
// per wakeup.  When no pipe can be had (out of descriptors), a direction
// copies through user space instead: it peeks at the sender's data, sends
// what the receiver takes and only then consumes that much, so nothing is
// held in the relay.
//
// Running out of file descriptors
// -------------------------------
// Every relayed connection holds two descriptors (four while both directions
// have bytes in flight).  At start-up the open-file soft limit is raised to
// the hard limit.  When the limit (or the system-wide table) is still
// exhausted:
//   * accept() failing with EMFILE/ENFILE/ENOBUFS/ENOMEM pauses that loop's
//     listener.  Pending connections stay in the kernel's backlog; nothing is
//     accepted and then dropped, and the loop never spins on the readable
//     listener.  The loop's idle pipes are closed.
//   * Accepting resumes shortly (10 ms) after any relayed connection is
//     released (on any loop), and at the latest after one second, retrying
//     as long as the condition lasts.
//   * Each loop keeps one spare descriptor.  If the outgoing socket() of a
//     connection that was just accepted fails for lack of descriptors, the
//     spare is given up so that this connection can still be relayed, and
//     accepting pauses; the spare is taken back before accepting resumes.
//     Should another loop take the freed descriptor first, the accepted
//     connection waits (open, not closed) and is relayed before the loop
//     accepts again.
//   * The process never exits because of descriptor exhaustion.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <event2/util.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

constexpr const char* kDefaultPort = "4050";
constexpr int kListenBacklog = 1000;
constexpr int kListenerBacklog = 10000;
constexpr int kPriorities = 5;
// Most bytes read from a side at a time, and the most a direction holds
// before that side stops reading (see the comment at the top).
constexpr size_t kFlowLimit = 10240;
constexpr int kOutgoingTtl = 64;
// Splice rounds per wakeup, so that one busy connection cannot starve the
// others on its loop.
constexpr int kRounds = 16;
// Empty pipes a loop keeps for the next direction that needs one.
constexpr size_t kPipePool = 64;
constexpr int kMaxLoops = 64;

struct Worker;
struct Pair;

// One socket of a pair, with the bytes that its partner sent and that this
// socket has not taken yet (in `pipe_r`/`pipe_w`, `queued` bytes).
struct Side {
    Pair* pair = nullptr;
    Side* partner = nullptr;  // null once the partner is gone
    int fd = -1;
    event* rd = nullptr;
    event* wr = nullptr;
    bool rd_on = false, wr_on = false;
    bool connecting = false;  // the outgoing side, until its connect completes
    bool paused = false;      // not reading: the partner's queue is stuck
    bool closing = false;     // the partner is gone: write the queue, then close
    int pipe_r = -1, pipe_w = -1;
    size_t queued = 0;
};

struct Pair {
    Worker* w = nullptr;
    Side server;  // the accepted socket
    Side client;  // the outgoing socket towards the original destination
    int live_sides = 2;
};

struct Worker {
    event_base* base = nullptr;
    evconnlistener* listener = nullptr;
    std::thread thread;

    // Descriptor-exhaustion handling (see the comment at the top).
    event* resume_ev = nullptr;
    event* stop_ev = nullptr;  // made active by the main thread to end the loop
    event* trim_ev = nullptr;  // made active by a loop out of descriptors: close the idle pipes
    std::atomic<bool> accept_paused{false};
    std::atomic<bool> resume_soon{false};
    int spare_fd = -1;
    // Connections accepted whose outgoing socket could not be had even with
    // the spare given up (another loop took the descriptor it freed): they
    // wait here, not closed, and are relayed first when accepting resumes.
    struct Waiting {
        int fd;
        sockaddr_storage client;
        int client_len;
    };
    std::vector<Waiting> waiting;

    std::vector<std::pair<int, int>> pipes;  // empty pipes: read end, write end
    std::unordered_set<Pair*> pairs;         // every live pair, for shutdown
};

struct Relay {
    bool verbose = false;
    bool spoofing_sockets = false;
    std::string port = kDefaultPort;
    in_port_t listen_port = 0;  // network order, from the bound listening socket
    std::vector<std::unique_ptr<Worker>> workers;
    std::atomic<bool> exhaustion_reported{false};
    // Loops whose accepting is paused for lack of descriptors. While there
    // is one, no loop keeps empty pipes: their descriptors go to waiting
    // connections instead.
    std::atomic<int> paused_loops{0};
    bool stopping = false;  // the loops have ended: nothing to resume
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

// ---------------------------------------------------------------- pipes

bool take_pipe(Worker* w, Side* s) {
    if (!w->pipes.empty()) {
        std::tie(s->pipe_r, s->pipe_w) = w->pipes.back();
        w->pipes.pop_back();
        return true;
    }
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) < 0)
        return false;
    s->pipe_r = p[0];
    s->pipe_w = p[1];
    return true;
}

void drop_pipe_pool(Worker* w) {
    for (auto [r, wr] : w->pipes) {
        close(r);
        close(wr);
    }
    w->pipes.clear();
}

// An empty pipe goes back to the pool; one that still holds bytes (its
// receiver is gone) is closed with them. While some loop waits for
// descriptors, every loop closes its empty pipes instead of pooling them.
void release_pipe(Worker* w, Side* s) {
    if (s->pipe_r < 0)
        return;
    const bool scarce = g.paused_loops.load(std::memory_order_relaxed) > 0;
    if (scarce)
        drop_pipe_pool(w);
    if (!scarce && s->queued == 0 && w->pipes.size() < kPipePool) {
        w->pipes.emplace_back(s->pipe_r, s->pipe_w);
    } else {
        close(s->pipe_r);
        close(s->pipe_w);
    }
    s->pipe_r = s->pipe_w = -1;
    s->queued = 0;
}

// ---------------------------------------------------------------- accepting

void open_spare(Worker* w) {
    if (w->spare_fd < 0)
        w->spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool out_of_descriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void pause_accepting(Worker* w, int err) {
    if (!w->accept_paused) {
        evconnlistener_disable(w->listener);
        w->accept_paused = true;
        g.paused_loops.fetch_add(1, std::memory_order_relaxed);
    }
    drop_pipe_pool(w);
    // The other loops' idle pipes go too: a loop with nothing to do would
    // otherwise keep them while connections wait in this loop's backlog.
    for (auto& o : g.workers)
        if (o.get() != w && o->trim_ev)
            event_active(o->trim_ev, EV_TIMEOUT, 0);
    if (!g.exhaustion_reported.exchange(true))
        fprintf(stderr, "accept: %s; accepting paused until descriptors are released\n", strerror(err));
    w->resume_soon = false;
    timeval backstop{1, 0};
    event_add(w->resume_ev, &backstop);
}

void accept_cb(evconnlistener*, evutil_socket_t fd, sockaddr* client, int client_len, void* arg);

void resume_cb(evutil_socket_t, short, void* arg) {
    auto* w = static_cast<Worker*>(arg);
    w->resume_soon = false;
    if (!w->accept_paused)
        return;
    open_spare(w);
    if (w->spare_fd < 0) {
        timeval backstop{1, 0};
        event_add(w->resume_ev, &backstop);
        return;
    }
    // Connections already accepted go first; one that still finds no
    // descriptor waits again, and so does the listener.
    std::vector<Worker::Waiting> waiting;
    waiting.swap(w->waiting);
    for (auto& wt : waiting)
        accept_cb(w->listener, wt.fd, reinterpret_cast<sockaddr*>(&wt.client), wt.client_len, w);
    if (!w->waiting.empty() || w->spare_fd < 0) {
        timeval backstop{1, 0};
        event_add(w->resume_ev, &backstop);
        return;
    }
    w->accept_paused = false;
    g.paused_loops.fetch_sub(1, std::memory_order_relaxed);
    evconnlistener_enable(w->listener);
    if (g.verbose)
        puts("Accepting resumed");
}

// A relayed connection released its descriptors: every loop that stopped
// accepting tries again a little later (event_add is safe across loops).
void descriptors_released() {
    if (g.stopping)
        return;
    for (auto& w : g.workers)
        if (w->accept_paused && !w->resume_soon.exchange(true)) {
            timeval soon{0, 10000};
            event_add(w->resume_ev, &soon);
        }
}

void set_reading(Side* s, bool on) {
    if (s->rd_on != on)
        on ? event_add(s->rd, nullptr) : event_del(s->rd);
    s->rd_on = on;
}

void set_writing(Side* s, bool on) {
    if (s->wr_on != on)
        on ? event_add(s->wr, nullptr) : event_del(s->wr);
    s->wr_on = on;
}

void free_side(Side* s) {
    Pair* pair = s->pair;
    Worker* w = pair->w;
    if (s->rd)
        event_free(s->rd);
    if (s->wr)
        event_free(s->wr);
    s->rd = s->wr = nullptr;
    release_pipe(w, s);
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
    if (s->partner)
        s->partner->partner = nullptr;
    s->partner = nullptr;
    if (--pair->live_sides == 0) {
        w->pairs.erase(pair);
        delete pair;
    }
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

void readable_cb(evutil_socket_t fd, short, void* arg);
void writable_cb(evutil_socket_t fd, short, void* arg);
void side_event(Side* s, short events, int err);

bool init_side(Worker* w, Pair* pair, Side* s, int fd) {
    s->pair = pair;
    s->fd = fd;
    s->rd = event_new(w->base, fd, EV_READ | EV_PERSIST, readable_cb, s);
    s->wr = event_new(w->base, fd, EV_WRITE | EV_PERSIST, writable_cb, s);
    return s->rd != nullptr && s->wr != nullptr;
}

void accept_cb(evconnlistener*, evutil_socket_t fd, sockaddr* client, int client_len, void* arg) {
    auto* w = static_cast<Worker*>(arg);
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
        if (w->spare_fd >= 0) {
            close(w->spare_fd);
            w->spare_fd = -1;
            out = socket(dst.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            err = errno;
        }
        pause_accepting(w, err);
    }
    if (out < 0 && out_of_descriptors(err) && client_len >= 0 && size_t(client_len) <= sizeof(sockaddr_storage)) {
        // Accepting is paused: the connection waits for descriptors with it.
        Worker::Waiting& wt = w->waiting.emplace_back();
        wt.fd = fd;
        memcpy(&wt.client, client, size_t(client_len));
        wt.client_len = client_len;
        return;
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

    auto* pair = new Pair;
    pair->w = w;
    if (!init_side(w, pair, &pair->client, out)) {
        fputs("Cannot create client_bev\n", stderr);
        pair->live_sides = 1;
        free_side(&pair->client);
        close(fd);
        return;
    }
    // A refused connect on this host is reported at once; it is handled
    // below like a refusal that comes later, as an error on the outgoing side.
    int connect_err = 0;
    if (connect(out, reinterpret_cast<sockaddr*>(&dst), dst_len) < 0 && errno != EINPROGRESS) {
        connect_err = errno;
        if (connect_err != ECONNREFUSED) {
            fputs("bufferevent_socket_connect() error\n", stderr);
            pair->live_sides = 1;
            free_side(&pair->client);
            close(fd);
            return;
        }
    }
    if (!init_side(w, pair, &pair->server, fd)) {
        fputs("Cannot create server_bev\n", stderr);
        free_side(&pair->client);
        free_side(&pair->server);
        return;
    }
    w->pairs.insert(pair);
    pair->client.partner = &pair->server;
    pair->server.partner = &pair->client;
    pair->client.connecting = true;
    if (g.verbose) {
        printf("server socket: %d\n", fd);
        printf("client socket: %d\n", out);
    }
    if (connect_err != 0) {
        side_event(&pair->client, BEV_EVENT_ERROR, connect_err);
        return;
    }
    // The write event of the outgoing side tells when the connect is done.
    set_writing(&pair->client, true);
    set_reading(&pair->client, true);
    set_reading(&pair->server, true);
}

void accept_error_cb(evconnlistener*, void* arg) {
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
        pause_accepting(static_cast<Worker*>(arg), err);
    }
}

// ---------------------------------------------------------------- relaying

// End of stream or an error on side `s` (events as libevent's buffered
// events report them).  What `s` sent is still written to its partner,
// which is closed once its queue is empty; there is no half-duplex relaying.
void side_event(Side* s, short events, int err) {
    if (g.verbose)
        printf("bev_eventcb, socket %d, events: %d\n", s->fd, events);
    if (events & BEV_EVENT_ERROR) {
        fputs("Buffer event error, close both sockets.", stderr);
        if (err != 0)
            sys_error("connection error: ", err);
    } else if (g.verbose) {
        puts("Got a close");
    }
    if (Side* partner = s->partner) {
        if (partner->queued == 0) {
            free_side(partner);
        } else {
            // Let the partner write out what is queued, then close it.
            partner->closing = true;
            partner->paused = false;
            set_reading(partner, false);
            set_writing(partner, true);
        }
    }
    free_side(s);
}

// Writes what `dst` has queued: 1 when bytes went out, 0 when its socket
// takes nothing now, -1 when `dst` failed (and may be freed, with its
// partner).
int write_queued(Side* dst) {
    ssize_t n = splice(dst->pipe_r, nullptr, dst->fd, nullptr, dst->queued, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
        dst->queued -= static_cast<size_t>(n);
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    side_event(dst, BEV_EVENT_WRITING | BEV_EVENT_ERROR, n < 0 ? errno : EPIPE);
    return -1;
}

// No pipe to be had: copy what `dst` takes now straight from `src`'s socket,
// consuming only what was sent, so nothing stays in the relay.
void copy_without_pipe(Side* src, Side* dst) {
    char buf[kFlowLimit];
    ssize_t n = recv(src->fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
        side_event(src, BEV_EVENT_READING | BEV_EVENT_EOF, 0);
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR)
            side_event(src, BEV_EVENT_READING | BEV_EVENT_ERROR, errno);
        return;
    }
    ssize_t sent = dst->connecting ? -1 : send(dst->fd, buf, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && !dst->connecting && errno != EAGAIN && errno != EINTR) {
        side_event(dst, BEV_EVENT_WRITING | BEV_EVENT_ERROR, errno);
        return;
    }
    if (sent > 0)
        (void)recv(src->fd, buf, static_cast<size_t>(sent), MSG_DONTWAIT);
    if (sent < n) {
        // The receiver is full (or not connected yet): wait until it takes more.
        src->paused = true;
        set_reading(src, false);
        set_writing(dst, true);
    }
}

// Moves bytes from `src` to its partner: splices into the partner's pipe
// while it holds less than kFlowLimit bytes, and from the pipe into the
// partner's socket.  Bytes that the partner's socket does not take stay
// queued and stop reading on `src` until the queue is empty.
void relay(Side* src) {
    Side* dst = src->partner;
    Worker* w = src->pair->w;
    for (int round = 0; round < kRounds; ++round) {
        bool moved = false;
        if (dst->queued < kFlowLimit) {
            if (dst->pipe_w < 0 && !take_pipe(w, dst)) {
                copy_without_pipe(src, dst);
                return;
            }
            ssize_t n = splice(src->fd, nullptr, dst->pipe_w, nullptr, kFlowLimit, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                // What was read before the end is written to the partner first.
                side_event(src, n == 0 ? BEV_EVENT_READING | BEV_EVENT_EOF : BEV_EVENT_READING | BEV_EVENT_ERROR,
                           n == 0 ? 0 : errno);
                return;
            }
            if (n > 0) {
                dst->queued += static_cast<size_t>(n);
                moved = true;
            }
        }
        if (dst->queued > 0 && !dst->connecting) {
            int r = write_queued(dst);
            if (r < 0)
                return;
            moved |= r > 0;
        }
        if (!moved)
            break;
    }
    if (dst->queued > 0) {
        src->paused = true;
        set_reading(src, false);
        set_writing(dst, true);
    } else {
        release_pipe(w, dst);
    }
}

void readable_cb(evutil_socket_t, short, void* arg) {
    auto* s = static_cast<Side*>(arg);
    if (g.verbose)
        printf("bev_readcb, socket %d\n", s->fd);
    if (s->partner)
        relay(s);
}

// The outgoing connect finished, or `dst` can take more of its queue.
void writable_cb(evutil_socket_t, short, void* arg) {
    auto* dst = static_cast<Side*>(arg);
    if (dst->connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(dst->fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err != 0) {
            side_event(dst, BEV_EVENT_ERROR, err);
            return;
        }
        dst->connecting = false;
        if (g.verbose) {
            printf("bev_eventcb, socket %d, events: %d\n", dst->fd, BEV_EVENT_CONNECTED);
            puts("Connected");
        }
    }
    if (dst->queued > 0 && write_queued(dst) < 0)
        return;
    if (dst->queued > 0)
        return;
    set_writing(dst, false);
    release_pipe(dst->pair->w, dst);
    if (dst->closing) {
        free_side(dst);
        return;
    }
    Side* src = dst->partner;
    if (src != nullptr && src->paused) {
        if (g.verbose)
            printf("drained_writecb, socket %d\n", dst->fd);
        src->paused = false;
        set_reading(src, true);
    }
}

// ---------------------------------------------------------------- start-up

void signal_cb(evutil_socket_t sig, short, void*) {
    switch (sig) {
    case SIGINT: puts("Got an SIGINT"); break;
    case SIGTERM: puts("Got an SIGTERM"); break;
    case SIGHUP: puts("Got an SIGHUP"); break;
    }
    // Each loop ends itself: an active event reaches a loop even before it
    // has started running.
    for (auto& w : g.workers)
        event_active(w->stop_ev, EV_TIMEOUT, 0);
}

void stop_cb(evutil_socket_t, short, void* arg) {
    event_base_loopbreak(static_cast<Worker*>(arg)->base);
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

// Opens one listening socket on `port`.  `shared` sockets join the port's
// SO_REUSEPORT group; the first one of the process first checks with a
// plain socket that no other process listens there, since a group would
// silently take it in.
int open_listening_socket(const char* port, int backlog, bool first) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(nullptr, port, &hints, &res);
    if (rc != 0) {
        // getaddrinfo reports through its own codes, not errno.
        fprintf(stderr, "getaddrinfo: %s\n", rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
        exit(1);
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(res, freeaddrinfo);
    for (int attempt = first ? 0 : 1; attempt < 2; ++attempt) {
        const bool probe = attempt == 0;
        int fd = socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, res->ai_protocol);
        if (fd < 0) {
            sys_error("listen socket: ");
            return -1;
        }
        int one = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
            return fail_listen("setsockopt (SO_REUSEADDR): ", fd);
        if (setsockopt(fd, IPPROTO_IP, IP_TRANSPARENT, &one, sizeof one) < 0)
            return fail_listen("setsockopt (IP_TRANSPARENT): ", fd);
        if (!probe && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) < 0)
            return fail_listen("setsockopt (SO_REUSEPORT): ", fd);
        if (bind(fd, res->ai_addr, res->ai_addrlen) < 0)
            return fail_listen("bind: ", fd);
        if (probe) {
            close(fd);
            continue;
        }
        if (listen(fd, backlog) < 0)
            return fail_listen("listen: ", fd);
        return fd;
    }
    return -1;
}

// One loop per core this process may run on.
int loop_count() {
    cpu_set_t set;
    int n = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return std::max(1, std::min(n, kMaxLoops));
}

bool start_worker(Worker* w, int listen_fd) {
    event_config* cfg = event_config_new();
    w->base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    if (w->base == nullptr) {
        fputs("Cannot create event base\n", stderr);
        return false;
    }
    event_base_priority_init(w->base, kPriorities);
    w->listener = evconnlistener_new(w->base, accept_cb, w,
                                     LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE,
                                     kListenerBacklog, listen_fd);
    if (w->listener == nullptr) {
        sys_error("evconnlistener_new: ");
        return false;
    }
    evconnlistener_set_error_cb(w->listener, accept_error_cb);
    w->resume_ev = evtimer_new(w->base, resume_cb, w);
    w->stop_ev = event_new(w->base, -1, 0, stop_cb, w);
    w->trim_ev = event_new(w->base, -1, 0, [](evutil_socket_t, short, void* arg) {
        drop_pipe_pool(static_cast<Worker*>(arg));
    }, w);
    open_spare(w);
    return w->resume_ev != nullptr && w->stop_ev != nullptr && w->trim_ev != nullptr;
}

void stop_worker(Worker* w) {
    // Live connection pairs are closed, not drained.
    while (!w->pairs.empty()) {
        Pair* p = *w->pairs.begin();
        if (p->server.fd >= 0)
            free_side(&p->server);
        if (p->client.fd >= 0)
            free_side(&p->client);
    }
    for (auto& wt : w->waiting)
        close(wt.fd);
    w->waiting.clear();
    if (w->listener)
        evconnlistener_free(w->listener);
    if (w->resume_ev)
        event_free(w->resume_ev);
    if (w->stop_ev)
        event_free(w->stop_ev);
    if (w->trim_ev)
        event_free(w->trim_ev);
    drop_pipe_pool(w);
    if (w->spare_fd >= 0)
        close(w->spare_fd);
    if (w->base)
        event_base_free(w->base);
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
    // still stops the relay in order instead of killing it.  The loops'
    // threads keep them blocked, so they reach the main thread.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    raise_open_file_limit();
    evthread_use_pthreads();

    const int loops = loop_count();
    std::vector<int> listen_fds;
    for (int i = 0; i < loops; ++i) {
        int fd = open_listening_socket(g.port.c_str(), kListenBacklog, i == 0);
        if (fd < 0) {
            for (int f : listen_fds)
                close(f);
            return 1;
        }
        listen_fds.push_back(fd);
    }
    sockaddr_in bound;
    socklen_t bound_len = sizeof bound;
    if (getsockname(listen_fds[0], reinterpret_cast<sockaddr*>(&bound), &bound_len) == 0)
        g.listen_port = bound.sin_port;
    printf("Quilo Networks sockbridge started on port %s, socket %d \n", g.port.c_str(), listen_fds[0]);

    for (int i = 0; i < loops; ++i) {
        g.workers.push_back(std::make_unique<Worker>());
        if (!start_worker(g.workers.back().get(), listen_fds[i])) {
            for (int k = i + 1; k < loops; ++k)
                close(listen_fds[k]);
            g.stopping = true;
            for (auto& w : g.workers)
                stop_worker(w.get());
            return 1;
        }
    }

    event_base* main_base = g.workers[0]->base;
    event* sigint_ev = evsignal_new(main_base, SIGINT, signal_cb, nullptr);
    event* sigterm_ev = evsignal_new(main_base, SIGTERM, signal_cb, nullptr);
    event* sighup_ev = evsignal_new(main_base, SIGHUP, signal_cb, nullptr);
    event_add(sigint_ev, nullptr);
    event_add(sigterm_ev, nullptr);
    event_add(sighup_ev, nullptr);
    for (size_t i = 1; i < g.workers.size(); ++i) {
        Worker* w = g.workers[i].get();
        w->thread = std::thread([w] { event_base_loop(w->base, EVLOOP_NO_EXIT_ON_EMPTY); });
    }
    sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);

    event_base_loop(main_base, EVLOOP_NO_EXIT_ON_EMPTY);

    for (auto& w : g.workers)
        if (w->thread.joinable())
            w->thread.join();
    g.stopping = true;
    event_free(sigint_ev);
    event_free(sigterm_ev);
    event_free(sighup_ev);
    for (auto& w : g.workers)
        stop_worker(w.get());
    g.workers.clear();
    libevent_global_shutdown();
    return 0;
}
