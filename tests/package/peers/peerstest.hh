// Shared pieces of the peers tests: temporary directories, tunnel and SYN
// frame builders, and a router with a session manager, a flow table and
// flow lookups in both directions.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <host/checksum.hh>

#include "../common/testrouter.hh"
#include "common/annotations.hh"
#include "sessions/flowlookup.hh"
#include "sessions/flowtable.hh"
#include "sessions/sessionmanager.hh"

namespace peers_test {

using namespace quilo_test;

class TempDir {
  public:
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "quilo-peers-XXXXXX").string();
        char* d = mkdtemp(t.data());
        EXPECT_NE(d, nullptr);
        path = t;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

inline uint32_t ip(const char* s) { return IPAddress(s).addr(); }

// Recomputes the IPv4 header checksum of the frame's IP header at offset 14.
inline void fix_ip_checksum(std::vector<uint8_t>& b) {
    uint8_t* iph = &b[14];
    size_t hl = size_t(iph[0] & 0x0F) * 4;
    iph[10] = iph[11] = 0;
    uint32_t sum = 0;
    for (size_t i = 0; i < hl; i += 2)
        sum += uint32_t(iph[i] << 8 | iph[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    uint16_t c = uint16_t(~sum);
    iph[10] = uint8_t(c >> 8);
    iph[11] = uint8_t(c);
}

// Turns an Ethernet + IPv4 frame into a tunnel packet: the shim (carrying the
// original protocol) goes in front of the transport header, the IP protocol
// becomes `ipproto`.
inline std::vector<uint8_t> tunnel(std::vector<uint8_t> b, uint8_t flags = 0, uint8_t ipproto = 108,
                                   int carried = -1) {
    uint8_t* iph = &b[14];
    size_t hl = size_t(iph[0] & 0x0F) * 4;
    uint8_t proto = carried >= 0 ? uint8_t(carried) : iph[9];
    uint8_t shim[4] = {0x77, 0, proto, flags};
    b.insert(b.begin() + long(14 + hl), shim, shim + 4);
    if (flags & 0x01) {
        uint8_t rsp[8] = {0, 4};  // hdr_len: 4 words, the plain header
        b.insert(b.begin() + long(14 + hl + 4), rsp, rsp + 8);
    }
    iph = &b[14];
    iph[9] = ipproto;
    uint16_t tot = uint16_t(b.size() - 14);
    iph[2] = uint8_t(tot >> 8);
    iph[3] = uint8_t(tot);
    fix_ip_checksum(b);
    return b;
}

// A router with: WConf, sm :: SessionManager, ft :: FlowTable, lookups in
// both directions and one sink ("out" ports 0..2 for WAN_OUT outputs 0..2,
// ports 3..5 for WAN_IN outputs 0..2).
struct SteeringRouter {
    std::unique_ptr<TestRouter> tr;
    SessionManager* sm = nullptr;
    FlowTable* ft = nullptr;
    FlowLookup* out_l = nullptr;
    FlowLookup* in_l = nullptr;
    Sink* sink = nullptr;

    bool build(const std::string& peers_file, const std::string& wconf = "MAX_PEERS 2",
               const std::string& ft_extra = "", const std::string& more = "") {
        tr.reset(new TestRouter(1));
        std::string text = "WConf(" + wconf + ", LOG_LEVEL 4); sm :: SessionManager;"
                           "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH \"" + peers_file + "\"" + ft_extra + ");"
                           "out_l :: FlowLookup(WAN_OUT); in_l :: FlowLookup(DIRECTION WAN_IN); sink :: QuiloTestSink;"
                           "Idle -> [0]sm[0] -> out_l; Idle -> [1]sm[1] -> in_l;"
                           "out_l[0] -> [0]sink; out_l[1] -> [1]sink; out_l[2] -> [2]sink;"
                           "in_l[0] -> [3]sink; in_l[1] -> [4]sink; in_l[2] -> [5]sink;" + more;
        if (!tr->build(text))
            return false;
        sm = tr->get<SessionManager>("sm");
        ft = tr->get<FlowTable>("ft");
        out_l = tr->get<FlowLookup>("out_l");
        in_l = tr->get<FlowLookup>("in_l");
        sink = tr->get<Sink>("sink");
        return sm && ft && out_l && in_l && sink;
    }

    // Pushes a frame through the session manager (input 0: from the local
    // network, 1: from the wide-area side) and the lookup; returns the sink
    // port it reached and leaves the packet in `last`.
    int send(const std::vector<uint8_t>& frame, int input) {
        Packet* p = make_packet(frame, int64_t(1000) * Timestamp::nsec_per_sec);
        size_t before = sink->packets.size();
        sm->push(input, p);
        if (sink->packets.size() != before + 1)
            return -1;
        last = sink->packets.back();
        return sink->ports.back();
    }
    int send(const Frame& f, int input) { return send(f.bytes(), input); }

    Packet* last = nullptr;
};

}  // namespace peers_test

namespace peers_test {

// An Ethernet + IPv4 + TCP SYN with the given option bytes (padded with NOPs
// to a multiple of 4 unless `raw_doff` sets the data offset itself).
struct Syn {
    Frame f;
    std::vector<uint8_t> opts;
    size_t payload = 0;
    int raw_doff = -1;
    size_t eth_padding = 0;
    uint8_t flags = TH_SYN;

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> o = opts;
        if (raw_doff < 0)
            while (o.size() % 4)
                o.push_back(1);
        size_t thl = 20 + o.size();
        std::vector<uint8_t> b(14 + 20 + thl + payload + eth_padding, 0);
        std::memcpy(&b[0], f.eth_dst, 6);
        std::memcpy(&b[6], f.eth_src, 6);
        b[12] = 0x08;
        uint8_t* iph = &b[14];
        iph[0] = 0x45;
        uint16_t tot = uint16_t(20 + thl + payload);
        iph[2] = uint8_t(tot >> 8);
        iph[3] = uint8_t(tot);
        iph[8] = 64;
        iph[9] = 6;
        uint32_t s = htonl(f.src), d = htonl(f.dst);
        std::memcpy(iph + 12, &s, 4);
        std::memcpy(iph + 16, &d, 4);
        uint8_t* th = iph + 20;
        th[0] = uint8_t(f.sport >> 8);
        th[1] = uint8_t(f.sport);
        th[2] = uint8_t(f.dport >> 8);
        th[3] = uint8_t(f.dport);
        th[12] = uint8_t((raw_doff >= 0 ? raw_doff : int(thl / 4)) << 4);
        th[13] = flags;
        if (!o.empty())
            std::memcpy(th + 20, o.data(), o.size());
        for (size_t i = 0; i < payload; ++i)
            th[thl + i] = uint8_t(i * 7);
        fix_ip_checksum(b);
        uint16_t c = click_tcpudp_cksum(th, int(thl + payload), s, d, 6);
        std::memcpy(th + 16, &c, 2);
        return b;
    }
};

// The probe option as an appliance writes it.
inline std::vector<uint8_t> probe_option(const char* key, const char* mac, bool full = false) {
    std::vector<uint8_t> o = {76, 16, 'z', 'i'};
    IPAddress k(key);
    o.insert(o.end(), k.data(), k.data() + 4);
    EtherAddress m;
    EtherAddress::parse(mac, m);
    o.insert(o.end(), m.data(), m.data() + 6);
    o.push_back(0);
    o.push_back(full ? 1 : 0);
    return o;
}

inline std::vector<uint8_t> packet_bytes(const Packet* p) { return std::vector<uint8_t>(p->data(), p->end_data()); }

// True when the IPv4 header at offset 14 and its TCP segment carry correct
// checksums and consistent lengths.
inline ::testing::AssertionResult valid_tcp(const std::vector<uint8_t>& b) {
    if (b.size() < 34)
        return ::testing::AssertionFailure() << "short frame";
    const uint8_t* iph = &b[14];
    size_t hl = size_t(iph[0] & 0x0F) * 4;
    size_t tot = size_t(iph[2] << 8 | iph[3]);
    if (tot != b.size() - 14)
        return ::testing::AssertionFailure() << "IP length " << tot << " for " << b.size() - 14 << " bytes";
    if (click_in_cksum(iph, int(hl)) != 0)
        return ::testing::AssertionFailure() << "IP checksum";
    const uint8_t* th = iph + hl;
    if (size_t(th[12] >> 4) * 4 > tot - hl)
        return ::testing::AssertionFailure() << "TCP header beyond the packet";
    uint32_t s, d;
    std::memcpy(&s, iph + 12, 4);
    std::memcpy(&d, iph + 16, 4);
    if (click_tcpudp_cksum(th, int(tot - hl), s, d, 6) != 0)
        return ::testing::AssertionFailure() << "TCP checksum";
    return ::testing::AssertionSuccess();
}

}  // namespace peers_test
