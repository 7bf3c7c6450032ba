// Peer-information packets (RTT probes and host-name exchanges): the parse
// of every packet, then the packet into WPeerInfo, which answers requests,
// takes RTT samples and hands host names to the flow table (which writes
// them to the peers file). Flag kFixSums sets the IP header checksum and
// the peer-information checksum, so fuzzing reaches the fields behind it.
#include "fuzz.hh"
#include "peerinfo/peerinfo_wire.hh"
#include "rsp/rsp_wire.hh"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "peerinfo: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r(fuzz::tunnel_config(fuzz::peers_file()));
    static Element* pi = r.find("pi");
    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        uint8_t* ip = reinterpret_cast<uint8_t*>(p.ip.data());
        peerinfo::View v;
        if (peerinfo::parse(ip, p.ip.size(), ShimConfig(), &v) == peerinfo::Parse::ok) {
            if (v.ip_len > p.ip.size() || v.body_off + v.body_len > v.ip_len)
                fail("body outside the packet");
            if (p.flags & fuzz::kFixSums) {
                rsp::set_ipv4_cksum(ip);
                peerinfo::set_checksum(ip, v.ip_hlen, v.ip_len, v.hdr_off);
            }
            peerinfo::Rtt rtt;
            peerinfo::parse_rtt(ip, v, &rtt);
            peerinfo::HostInfoResult hi;
            if (peerinfo::parse_host_info(ip, v, &hi) == peerinfo::HostInfo::ok && hi.has_name &&
                (hi.name_len > WHOST_NAME_MAX || hi.name[hi.name_len] != '\0'))
                fail("host name beyond its bounds");
        }
        r.push(pi, 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
