// FEC parity packets and the stream packets they protect, from the peer,
// through WFEC (MODE RX): stream packets are remembered, parity rebuilds a
// lost one, and every rebuilt packet handed on must be sound IPv4. Flag
// kFixSums sets the IP header checksum (and RSP's on stream packets).
#include "fuzz.hh"
#include "rsp/rsp_wire.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(fuzz::peer_receive_config(fuzz::peers_file()));
    static Element* unfec = r.find("unfec");
    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums) {
            uint8_t* ip = reinterpret_cast<uint8_t*>(p.ip.data());
            rsp::View v;
            if (rsp::parse(ip, p.ip.size(), ShimConfig(), &v) == rsp::Parse::ok)
                rsp::set_checksum(ip, v.ip_hlen, v.ip_len, v.rsp_off);
            fuzz::fix_sums(p.ip);
        }
        r.push(unfec, 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
