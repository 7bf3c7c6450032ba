// The control socket's line protocol, fed as one connection's bytes to a
// server whose master runs a router with read, write, keyword and data
// handlers. Commands run on the router's thread 0 as they do when they come
// from a socket. A write to "stop" ends the run; the router is then run
// again for the next input. Writes to "hotconfig" replace the router, with
// the configuration language's own checks; classes that would reach outside
// the process once started are withheld.
#include <host/controlsocket.hh>

#include "fuzz.hh"

namespace {

const char* const kConfig =
    "s :: InfiniteSource(LIMIT 5, BURST 2) -> c :: Counter -> q :: Queue(10) -> u :: Unqueue -> t :: Tee(2);"
    "t[0] -> p :: Paint(3) -> Discard; t[1] -> r :: RandomSample(0.5) -> Discard;"
    "Idle -> sw :: Switch(0) -> Discard; sw[1] -> Discard;";

struct Server {
    Master master{1};
    ControlSocketServer server{&master};
    std::thread thread;
    Server() {
        fuzz::load_classes();
        fuzz::withhold_outside_classes();
        StringErrorHandler errh;
        Router* r = Router::create(kConfig, "fuzz.click", {}, &errh, &master);
        if (!r || r->initialize(&errh) < 0) {
            std::fprintf(stderr, "%s", errh.text().c_str());
            std::abort();
        }
        start(r);
    }
    ~Server() {
        stop();
        delete master.router();
    }
    void start(Router* r) {
        thread = std::thread([this, r] { master.run(r); });
        while (!master.running())
            std::this_thread::yield();
    }
    void stop() {
        master.please_stop();
        if (thread.joinable())
            thread.join();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server s;
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::string out;
    s.master.call_on_thread0([&] { out = s.server.process(in); });
    // Every reply line has a three-digit code.
    if (!out.empty() && (out.size() < 4 || out[0] < '1' || out[0] > '5')) {
        std::fprintf(stderr, "bad reply: %s\n", out.c_str());
        std::abort();
    }
    if (s.master.stopping() || !s.master.running()) {
        // The run ends by itself after a stop; asking again would stop the next one.
        s.thread.join();
        s.start(s.master.router());
    }
    return 0;
}
