// Stacker packets from the peer, through Stacker (MODE RX) and DropStacker
// as an appliance chains them; every inner packet handed on must be sound
// IPv4. Flag kFixSums sets the outer IP header checksum.
#include "fuzz.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(fuzz::peer_receive_config(fuzz::peers_file()));
    static Element* unstk = r.find("unstk");
    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums)
            fuzz::fix_sums(p.ip);
        r.push(unstk, 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
