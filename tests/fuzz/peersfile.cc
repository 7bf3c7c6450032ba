// The peers file: read as FlowTable reads it at start-up (the router is
// built and initialized, every peer announced), and line by line, where
// every peer that parses must come back unchanged from the line it is
// written as.
#include <host/ipaddress.hh>

#include "fuzz.hh"
#include "sessions/peersfile.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Master* master = [] {
        fuzz::load_classes();
        return new Master(1);
    }();
    static fuzz::TempFile file("peersfile");
    const std::string text(reinterpret_cast<const char*>(data), size);
    file.write(text);

    std::vector<PeerInfo> peers;
    SilentErrorHandler errh;
    peersfile::read(file.path(), &peers, &errh);
    for (const PeerInfo& p : peers) {
        PeerInfo back;
        std::string line = peersfile::format_line(p);
        if (!peersfile::parse_line(line, &back) || back.peer != p.peer || back.port != p.port ||
            back.hostname != p.hostname || back.mac != p.mac) {
            std::fprintf(stderr, "peer line does not read back: %s\n", line.c_str());
            std::abort();
        }
    }

    Router* r = Router::create("WConf(MAX_PEERS 4, LOG_LEVEL 4); Idle -> [0]sm :: SessionManager[0] -> Discard;"
                               "Idle -> [1]sm[1] -> Discard; ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH " +
                                   file.path() + ");",
                               "fuzz.click", {}, &errh, master);
    if (r)
        r->initialize(&errh);
    delete r;
    return 0;
}
