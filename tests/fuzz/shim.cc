// The shim header and what follows it: shim recognition and the layout
// parse on every packet (with and without the UDP shim), then the packet
// into the decompressor WDeComp, which checks and decompresses zlib, LZ4 and
// zstd payloads, stateless or as part of a stream, and restores the inner
// packet. Flag kFixSums sets the IP header checksum.
#include "compression/shim_packet.hh"
#include "common/ipv4view.hh"
#include "fuzz.hh"

namespace {

void check_layout(const std::string& ip, const ShimConfig& c) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(ip.data());
    int off = shim_offset(b, ip.size(), c);
    if (off >= 0 && size_t(off) + WSHIM_LEN > ip.size()) {
        std::fprintf(stderr, "shim at %d past a %zu-byte packet\n", off, ip.size());
        std::abort();
    }
    ShimLayout l;
    if (parse_shim_layout(b, ip.size(), c, l)) {
        bool bad = l.total > ip.size() || l.ihl > l.total || (l.shim_off && l.shim_off + WSHIM_LEN > l.total) ||
                   (l.transport_ok && (l.payload_off > l.total || l.payload_off + l.payload_len != l.total));
        if (bad) {
            std::fprintf(stderr, "layout outside the packet: total %u ihl %u shim %u payload %u+%u\n", l.total,
                         l.ihl, l.shim_off, l.payload_off, l.payload_len);
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(fuzz::tunnel_config(fuzz::peers_file()));
    static Element* dec = r.find("dec");
    ShimConfig ip_shim, udp_shim;
    udp_shim.udp_shim = true;

    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        check_layout(p.ip, ip_shim);
        check_layout(p.ip, udp_shim);
        uint8_t* ip = reinterpret_cast<uint8_t*>(p.ip.data());
        if ((p.flags & fuzz::kFixSums) && p.ip.size() >= 20 && size_t(ip[0] & 0x0F) * 4 <= p.ip.size())
            ipv4_set_checksum(ip, size_t(ip[0] & 0x0F) * 4);
        r.push(dec, 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
