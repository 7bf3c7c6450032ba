// RSP headers and EACK ranges: the parse of every packet, then the packets
// of one input as the peer's side of a connection into RSP's input 1 (SYN,
// ACKs, EACK ranges, data, resets), with packets of this side's own through
// the compressor into input 0 when the flags ask for them (stream packets
// once the connection is open), so that acknowledgements meet outstanding
// packets. The connection starts listening again for each input
// (server mode; this side's first sequence number is always 1).
#include "fuzz.hh"
#include "rsp/rsp.hh"
#include "rsp/rsp_wire.hh"

namespace {

constexpr uint8_t kOwnPacket = 0x02;   // send a packet of our own first (payload: flags >> 2 bytes)

void fail(const char* what) {
    std::fprintf(stderr, "rsp::parse: %s\n", what);
    std::abort();
}

// What parse() promises about an accepted packet.
void check_view(const std::string& ip, const rsp::View& v) {
    if (v.ip_len > ip.size() || v.ip_hlen < 20 || v.ip_hlen > v.ip_len)
        fail("IP lengths outside the bytes");
    if (v.rsp_off + v.rsp_bytes() > v.ip_len || v.rsp_bytes() < RSP_HEADER_LEN)
        fail("RSP header outside the packet");
    if (v.rsp_off + RSP_HEADER_LEN + 4 * size_t(v.eack_count) > v.rsp_off + v.rsp_bytes())
        fail("EACK ranges outside the header");
    if (v.payload_off + v.payload_len != v.ip_len)
        fail("payload does not end the packet");
    for (unsigned i = 0; i < v.eack_count; ++i)
        v.eack(reinterpret_cast<const uint8_t*>(ip.data()), i);
}

// A UDP packet from this side's LAN for the peer.
Packet* own_packet(size_t payload) {
    std::string b(28 + payload, 'x');
    uint8_t* ip = reinterpret_cast<uint8_t*>(b.data());
    rsp::build_ipv4(ip, uint16_t(b.size()), 1, 64, 17, htonl(0x0a000063), htonl(0x0a000064));
    rsp::store32(ip + 20, 0x13881389);
    rsp::store32(ip + 24, uint32_t(8 + payload) << 16);
    return fuzz::make_frame(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(fuzz::tunnel_config(fuzz::peers_file()));
    static RSP* rsp = static_cast<RSP*>(r.find("rsp")->cast("RSP"));
    static Element* comp = r.find("comp");
    r.call([] {
        rsp->lock_acquire();
        rsp->initialize_rsp();
        rsp->lock_release();
    });

    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    ShimConfig shim;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        uint8_t* ip = reinterpret_cast<uint8_t*>(p.ip.data());
        rsp::View v;
        if (rsp::parse(ip, p.ip.size(), shim, &v) == rsp::Parse::ok) {
            check_view(p.ip, v);
            if (p.flags & fuzz::kFixSums) {
                rsp::set_ipv4_cksum(ip);
                rsp::set_checksum(ip, v.ip_hlen, v.ip_len, v.rsp_off);
            }
            rsp::checksum_ok(ip, v);
        }
        if (p.flags & kOwnPacket)
            r.push(comp, 0, own_packet(p.flags >> 2));
        r.push(rsp, 1, fuzz::make_frame(p.ip));
    }
    return 0;
}
