// Packets through nDPI detection as an appliance places it: SessionManager
// makes and annotates the sessions (flag kFromWan: the packet comes from the
// WAN side, input 1; else from the LAN, input 0), then WDPI hands the first
// packets of each session to nDPI and stamps the result. Flag kFixSums sets
// the IP and transport checksums.
#include "fuzz.hh"

namespace {

constexpr uint8_t kFromWan = 0x02;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(
        "WConf(MAX_PEERS 1, MAX_FLOWS 4096, LOG_LEVEL 4); s :: FuzzSink;"
        "dpi :: WDPI(NOTIFIER sm, LOCAL_IP 10.0.0.1, ENABLE_PROTOCOL_GUESS true);"
        "Idle -> [0]sm :: SessionManager[0] -> [0]dpi[0] -> s;"
        "Idle -> [1]sm[1] -> [1]dpi[1] -> s;");
    static Element* sm = r.find("sm");
    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums)
            fuzz::fix_sums(p.ip);
        r.push(sm, p.flags & kFromWan ? 1 : 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
