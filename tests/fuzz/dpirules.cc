// DPIClassifier's rule text. The input holds up to eight rules, one a line
// (a 2-byte length and the text), then packets, each followed by a 2-byte
// detected protocol for its annotations. The rules configure a live
// classifier with eight outputs (missing rules are filled with catch-alls
// of TCP); rules that configure must come back from their text form (the
// `rules` handler) as the same rules. The packets are then classified.
#include <host/confparse.hh>

#include "common/annotations.hh"
#include "fuzz.hh"

namespace {

constexpr size_t kRules = 8;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> v;
    size_t start = 0;
    while (start <= text.size() && v.size() < kRules) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        v.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    while (v.size() < kRules)
        v.push_back("src 0.0.0.0/0 and dst 0.0.0.0/0 and tcp");
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r([] {
        std::string text = "WConf(MAX_PEERS 1, LOG_LEVEL 4); s :: FuzzSink; Idle -> c :: DPIClassifier(";
        for (size_t i = 0; i < kRules; ++i)
            text += std::string(i ? ", " : "") + (i + 1 < kRules ? "src 0.0.0.0/0 and dst 0.0.0.0/0 and udp" : "-");
        text += ");";
        for (size_t i = 0; i < kRules; ++i)
            text += " c[" + std::to_string(i) + "] -> s;";
        return text;
    }());
    static Element* c = r.find("c");

    fuzz::Input in(data, size);
    std::vector<std::string> conf = lines(in.chunk());
    int ok = -1;
    std::string text;
    r.call([&] {
        SilentErrorHandler errh;
        std::vector<std::string> copy = conf;
        ok = c->configure(copy, &errh);
    });
    if (ok >= 0) {
        text = r.read("c.rules");
        std::vector<std::string> again = lines(text);
        int ok2 = -1;
        r.call([&] {
            StringErrorHandler errh;
            ok2 = c->configure(again, &errh);
            if (ok2 < 0)
                std::fprintf(stderr, "%s", errh.text().c_str());
        });
        if (ok2 < 0 || r.read("c.rules") != text) {
            std::fprintf(stderr, "rules do not read back:\n%s", text.c_str());
            std::abort();
        }
    }
    fuzz::InputPacket p;
    for (int i = 0; i < 16 && fuzz::next_packet(in, &p); ++i) {
        Packet* pk = fuzz::make_frame(p.ip);
        uint16_t proto = in.u16();
        set_dpi_proto_anno(pk, proto);
        set_dpi_master_proto_anno(pk, proto >> 8);
        r.push(c, 0, pk);
    }
    return 0;
}
