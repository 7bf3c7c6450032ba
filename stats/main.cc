// quilo-stats: the operator's view of one or more appliances. Reads their
// handlers through their control sockets once a second, keeps a bounded
// history, and serves it over HTTP: Prometheus metrics at /metrics, a
// dashboard at /, JSON at /api. Usage and the list of metrics: README.md.

#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include <event2/event.h>
#include <event2/http.h>
#include <event2/util.h>

#include "appliance.hh"
#include "server.hh"

namespace {

void usage(FILE* f) {
    fputs("Usage: quilo-stats [--listen HOST:PORT] [NAME=]SOCKET...\n"
          "\n"
          "Reads the handlers of one or more appliances through their control sockets\n"
          "once a second and serves them over HTTP: a dashboard at /, Prometheus\n"
          "metrics at /metrics, JSON history at /api.\n"
          "\n"
          "  SOCKET              a control socket: a Unix socket path (quilo-router -u)\n"
          "                      or HOST:PORT (quilo-router -p)\n"
          "  NAME                the appliance's label in metrics and on the page\n"
          "                      (default: SOCKET)\n"
          "  -l, --listen HOST:PORT\n"
          "                      HTTP address (default 127.0.0.1:9180; port 0 picks one)\n"
          "  -h, --help          this text\n",
          f);
}

struct Program {
    event_base* base = nullptr;
    event* tick_ev = nullptr;
    qstats::Appliances apps;
};

void schedule_tick(Program* p) {
    timeval now;
    gettimeofday(&now, nullptr);
    // Just after the next whole second, so that ticks name whole seconds.
    timeval in = {0, 1000000 - now.tv_usec + 5000};
    if (in.tv_usec >= 1000000) {
        in.tv_sec = 1;
        in.tv_usec -= 1000000;
    }
    evtimer_add(p->tick_ev, &in);
}

void tick_cb(evutil_socket_t, short, void* arg) {
    auto* p = static_cast<Program*>(arg);
    int64_t t = time(nullptr);
    for (auto& a : p->apps)
        a->tick(t);
    schedule_tick(p);
}

void stop_cb(evutil_socket_t, short, void* arg) { event_base_loopexit(static_cast<event_base*>(arg), nullptr); }

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string listen = "127.0.0.1:9180";
    static const option longopts[] = {
        {"listen", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "l:h", longopts, nullptr)) != -1) {
        switch (opt) {
        case 'l':
            listen = optarg;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 1;
        }
    }
    if (optind >= argc) {
        fputs("quilo-stats: give at least one control socket\n", stderr);
        usage(stderr);
        return 1;
    }

    signal(SIGPIPE, SIG_IGN);
    Program p;
    p.base = event_base_new();
    if (p.base == nullptr) {
        fputs("quilo-stats: cannot create the event loop\n", stderr);
        return 1;
    }
    std::set<std::string> names;
    for (int i = optind; i < argc; ++i) {
        std::string arg = argv[i], name, sock = arg;
        size_t eq = arg.find('=');
        if (eq != std::string::npos && arg.find('/') > eq) {
            name = arg.substr(0, eq);
            sock = arg.substr(eq + 1);
        }
        if (name.empty())
            name = sock;
        if (sock.empty() || !names.insert(name).second) {
            fprintf(stderr, "quilo-stats: %s: %s\n", arg.c_str(),
                    sock.empty() ? "no socket given" : "appliance name given twice");
            return 1;
        }
        std::string err;
        auto a = qstats::Appliance::create(p.base, name, sock, &err);
        if (!a) {
            fprintf(stderr, "quilo-stats: %s\n", err.c_str());
            return 1;
        }
        p.apps.push_back(std::move(a));
    }

    // HOST:PORT, HOST possibly an IPv6 address in brackets.
    size_t colon = listen.rfind(':');
    char* end = nullptr;
    long port = colon == std::string::npos ? -1 : strtol(listen.c_str() + colon + 1, &end, 10);
    if (colon == std::string::npos || colon == 0 || !end || *end || port < 0 || port > 65535) {
        fprintf(stderr, "quilo-stats: --listen wants HOST:PORT, not %s\n", listen.c_str());
        return 1;
    }
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    evhttp* http = evhttp_new(p.base);
    evhttp_bound_socket* bound = http ? evhttp_bind_socket_with_handle(http, host.c_str(), uint16_t(port)) : nullptr;
    if (bound == nullptr) {
        fprintf(stderr, "quilo-stats: cannot listen on %s: %s\n", listen.c_str(),
                evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR()));
        return 1;
    }
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&ss), &sl);
    uint16_t bound_port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                                         : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    qstats::HttpServer server(http, p.apps);
    server.install();

    p.tick_ev = evtimer_new(p.base, tick_cb, &p);
    event* sigint = evsignal_new(p.base, SIGINT, stop_cb, p.base);
    event* sigterm = evsignal_new(p.base, SIGTERM, stop_cb, p.base);
    evsignal_add(sigint, nullptr);
    evsignal_add(sigterm, nullptr);
    tick_cb(-1, 0, &p);  // connect at once

    bool v6 = host.find(':') != std::string::npos;
    printf("quilo-stats: dashboard at http://%s%s%s:%u/\n", v6 ? "[" : "", host.c_str(), v6 ? "]" : "",
           unsigned(bound_port));
    event_base_dispatch(p.base);

    event_free(sigint);
    event_free(sigterm);
    event_free(p.tick_ev);
    p.apps.clear();
    evhttp_free(http);
    event_base_free(p.base);
    return 0;
}
