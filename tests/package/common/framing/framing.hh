// Builders and checkers of IPv4 packets for the framing element tests.
#pragma once

#include <host/checksum.hh>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "testrouter.hh"

namespace framing_test {

using Bytes = std::vector<uint8_t>;

inline uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }

inline void fix_ip_cksum(uint8_t* ip) {
    size_t hl = size_t(ip[0] & 15) * 4;
    ip[10] = ip[11] = 0;
    uint16_t s = click_in_cksum(ip, int(hl));
    std::memcpy(ip + 10, &s, 2);
}

inline void fix_l4_cksum(uint8_t* ip) {
    size_t hl = size_t(ip[0] & 15) * 4;
    size_t tot = get16(ip + 2);
    size_t off = ip[9] == 6 ? 16 : 6;
    ip[hl + off] = ip[hl + off + 1] = 0;
    uint32_t s, d;
    std::memcpy(&s, ip + 12, 4);
    std::memcpy(&d, ip + 16, 4);
    uint16_t c = click_tcpudp_cksum(ip + hl, int(tot - hl), s, d, ip[9]);
    if (ip[9] == 17 && c == 0)
        c = 0xFFFF;
    std::memcpy(ip + hl + off, &c, 2);
}

inline bool ip_cksum_ok(const uint8_t* ip) { return click_in_cksum(ip, int(ip[0] & 15) * 4) == 0; }

inline bool l4_cksum_ok(const uint8_t* ip) {
    size_t hl = size_t(ip[0] & 15) * 4;
    size_t tot = get16(ip + 2);
    uint32_t s, d;
    std::memcpy(&s, ip + 12, 4);
    std::memcpy(&d, ip + 16, 4);
    return click_tcpudp_cksum(ip + hl, int(tot - hl), s, d, ip[9]) == 0;
}

// An IPv4 packet (no link-layer header) with a TCP or UDP header and a
// patterned payload; checksums valid.
struct IPPacket {
    uint8_t proto = 17;
    uint32_t src = 0x0a000001, dst = 0x0a000002;  // host order
    uint16_t sport = 1234, dport = 5678;
    size_t payload = 100;
    uint8_t tcp_flags = 0x18;
    uint32_t seq = 1000;
    Bytes tcp_options;  // appended after the fixed TCP header
    uint16_t frag = 0;
    uint16_t id = 0x1234;
    Bytes ip_options;

    Bytes bytes() const {
        size_t hl = 20 + ip_options.size();
        size_t th = proto == 6 ? 20 + tcp_options.size() : 8;
        Bytes b(hl + th + payload, 0);
        uint8_t* ip = b.data();
        ip[0] = uint8_t(0x40 | hl / 4);
        put16(ip + 2, uint16_t(b.size()));
        put16(ip + 4, id);
        put16(ip + 6, frag);
        ip[8] = 64;
        ip[9] = proto;
        uint32_t s = htonl(src), d = htonl(dst);
        std::memcpy(ip + 12, &s, 4);
        std::memcpy(ip + 16, &d, 4);
        if (!ip_options.empty())
            std::memcpy(ip + 20, ip_options.data(), ip_options.size());
        uint8_t* l4 = ip + hl;
        put16(l4, sport);
        put16(l4 + 2, dport);
        if (proto == 6) {
            uint32_t sq = htonl(seq);
            std::memcpy(l4 + 4, &sq, 4);
            l4[12] = uint8_t((th / 4) << 4);
            l4[13] = tcp_flags;
            put16(l4 + 14, 65535);
            if (!tcp_options.empty())
                std::memcpy(l4 + 20, tcp_options.data(), tcp_options.size());
        } else {
            put16(l4 + 4, uint16_t(8 + payload));
        }
        for (size_t i = 0; i < payload; ++i)
            l4[th + i] = uint8_t(i * 7 + 3);
        fix_ip_cksum(ip);
        fix_l4_cksum(ip);
        return b;
    }
};

// A packet holding `b` with the network header at its start.
inline Packet* ip_packet(const Bytes& b) {
    WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
    p->set_network_header(p->data(), 20);
    return p;
}

inline Bytes contents(const Packet* p) { return Bytes(p->data(), p->end_data()); }

// Builds "prefix e :: CLASS(ARGS); s :: QuiloTestSink; e[0] -> [0]s; ..." and
// pushes packets into e.
struct Harness {
    quilo_test::TestRouter r;
    Element* e = nullptr;
    quilo_test::Sink* s = nullptr;

    bool build(const std::string& element, int noutputs = 1, const std::string& prefix = "WConf(MAX_PEERS 1);") {
        std::string text = prefix + " e :: " + element + "; s :: QuiloTestSink; Idle -> e;";
        for (int i = 0; i < noutputs; ++i)
            text += " e[" + std::to_string(i) + "] -> [" + std::to_string(i) + "]s;";
        if (!r.build(text))
            return false;
        e = r.find("e");
        s = r.get<quilo_test::Sink>("s");
        return e && s;
    }
    void push(Packet* p) { e->push(0, p); }
    std::string read(const std::string& h) { return r.read("e." + h); }
};

}  // namespace framing_test
