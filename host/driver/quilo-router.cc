// quilo-router: builds a router from a configuration and runs it.
//
//   quilo-router [-j THREADS] [-p PORT | -u SOCKET] [--allow-tcp-writes]
//                [-h ELEMENT.HANDLER]... [-l PACKAGE.so]... [-q]
//                (-e TEXT | FILE) [NAME=value]...
//
// Runs until SIGINT/SIGTERM, a write to the "stop" handler, or a source that
// asks to stop; then prints the -h handlers, cleans up and exits 0.
// Configuration errors exit 1.  TCP control sockets (-p, ControlSocket(TCP,
// ...)) are read-only unless --allow-tcp-writes is given; a Unix control
// socket (-u) is mode 0600 and takes writes (<host/controlsocket.hh>).
#include <host/controlsocket.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

Master* the_master = nullptr;

void on_signal(int) {
    if (the_master)
        the_master->please_stop();
}

void usage(FILE* f) {
    fprintf(f,
            "Usage: quilo-router [-j THREADS] [-p PORT | -u SOCKET] [--allow-tcp-writes]\n"
            "                    [-h ELEMENT.HANDLER]... [-l PACKAGE.so]... [-q]\n"
            "                    (-e TEXT | FILE) [NAME=value]...\n"
            "\n"
            "  -j THREADS          run THREADS router threads (default 1)\n"
            "  -p PORT             control socket on TCP port PORT (loopback); read-only:\n"
            "                      every local user can connect to it\n"
            "  -u SOCKET           control socket on Unix socket SOCKET, mode 0600, writable\n"
            "  --allow-tcp-writes  let TCP control sockets (-p, ControlSocket(TCP, ...))\n"
            "                      write handlers and hotconfig too; any local user can\n"
            "                      then change the router\n"
            "  -h ELEMENT.HANDLER  print this read handler's value when the router stops\n"
            "  -l PACKAGE.so       load an element package\n"
            "  -q                  build and initialize the router, print handlers, do not run\n"
            "  -e TEXT             the configuration text (else read FILE, '-' for stdin)\n"
            "  NAME=value          define $NAME for the configuration\n");
}

bool read_file(const std::string& path, std::string& out) {
    if (path == "-") {
        std::stringstream ss;
        ss << std::cin.rdbuf();
        out = ss.str();
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int nthreads = 1;
    std::string port, unix_path, expr, file;
    bool have_expr = false, quit = false;
    std::vector<std::string> handlers, packages;
    std::map<std::string, std::string> defines;
    ErrorHandler* errh = ErrorHandler::default_handler();

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "quilo-router: %s requires an argument\n", what);
                usage(stderr);
                exit(1);
            }
            return argv[++i];
        };
        if (a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-j" || a == "--threads") {
            std::string v = need("-j");
            char* end;
            long n = strtol(v.c_str(), &end, 10);
            if (*end || n < 1 || n > 256) {
                fprintf(stderr, "quilo-router: -j: expected a thread count from 1 to 256\n");
                return 1;
            }
            nthreads = int(n);
        } else if (a == "-p" || a == "--port")
            port = need("-p");
        else if (a == "-u" || a == "--unix-socket")
            unix_path = need("-u");
        else if (a == "--allow-tcp-writes")
            ControlSocketServer::allow_tcp_writes(true);
        else if (a == "-h" || a == "--handler")
            handlers.push_back(need("-h"));
        else if (a == "-l" || a == "--load")
            packages.push_back(need("-l"));
        else if (a == "-q" || a == "--quit")
            quit = true;
        else if (a == "-e" || a == "--expression") {
            expr = need("-e");
            have_expr = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            fprintf(stderr, "quilo-router: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 1;
        } else if (a.find('=') != std::string::npos && a[0] != '=' && a[0] != '/' && a[0] != '.') {
            size_t eq = a.find('=');
            defines[a.substr(0, eq)] = a.substr(eq + 1);
        } else if (file.empty() && !have_expr)
            file = a;
        else {
            fprintf(stderr, "quilo-router: too many configuration files\n");
            return 1;
        }
    }
    if (!port.empty() && !unix_path.empty()) {
        fprintf(stderr, "quilo-router: -p and -u are exclusive\n");
        return 1;
    }

    std::string text, filename;
    if (have_expr) {
        text = expr;
        filename = "<expr>";
    } else {
        if (file.empty()) {
            usage(stderr);
            return 1;
        }
        if (!read_file(file, text)) {
            fprintf(stderr, "quilo-router: %s: %s\n", file.c_str(), strerror(errno));
            return 1;
        }
        filename = file == "-" ? "<stdin>" : file;
    }

    Master master(nthreads);
    the_master = &master;
    // Handlers first: a SIGTERM while the router is being built (a
    // supervisor giving up on a slow start) stops it in order; run() then
    // returns at once.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int before = errh->nerrors();
    for (auto& p : packages)
        click_load_package_file(p, errh);
    if (errh->nerrors() != before)
        return 1;

    Router* router = Router::create(text, filename, defines, errh, &master);
    if (!router)
        return 1;
    if (router->initialize(errh) < 0) {
        delete router;
        click_unload_packages();
        return 1;
    }

    std::unique_ptr<ControlSocketServer> control;
    if (!port.empty() || !unix_path.empty()) {
        control.reset(new ControlSocketServer(&master));
        int r = port.empty() ? control->listen_unix(unix_path, errh) : control->listen_tcp(port, errh);
        if (r < 0) {
            delete router;
            click_unload_packages();
            return 1;
        }
    }

    if (!quit)
        master.run(router);
    router = master.router() ? master.router() : router;

    int status = 0;
    for (auto& h : handlers) {
        StringErrorHandler herrh;
        std::string value = HandlerCall::call_read(router, h, &herrh);
        if (herrh.nerrors()) {
            fprintf(stderr, "%s", herrh.text().c_str());
            status = 1;
            continue;
        }
        if (handlers.size() > 1)
            printf("%s:\n", h.c_str());
        fputs(value.c_str(), stdout);
        if (!value.empty() && value.back() != '\n')
            putchar('\n');
        if (handlers.size() > 1)
            putchar('\n');
    }
    fflush(stdout);

    control.reset();
    delete router;
    the_master = nullptr;
    click_unload_packages();
    return status;
}
