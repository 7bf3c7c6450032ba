#include <gtest/gtest.h>
#include <host/checksum.hh>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "peerinfo/peerinfo_wire.hh"
#include "rsp/rsp_wire.hh"

using namespace peerinfo;

namespace {
ShimConfig cfg(bool udp) {
    ShimConfig c;
    c.udp_shim = udp;
    return c;
}
const uint32_t kA = htonl(0x0A000001), kB = htonl(0x0A000002);

std::vector<uint8_t> rtt(const ShimConfig& c, uint8_t type, uint32_t ts, uint8_t path = 0) {
    std::vector<uint8_t> b(200);
    b.resize(build_rtt(b.data(), b.size(), c, {kA, kB, 3}, path, type, ts));
    return b;
}
std::vector<uint8_t> host(const ShimConfig& c, bool req, const std::string& name) {
    std::vector<uint8_t> b(400);
    b.resize(build_host_info(b.data(), b.size(), c, {kA, kB, 4}, req, name.data(), name.size()));
    return b;
}
}  // namespace

TEST(PeerInfoWire, RttProbeRoundTrip) {
    for (bool udp : {false, true}) {
        ShimConfig c = cfg(udp);
        auto b = rtt(c, WRTT_REQUEST, 0xDEADBEEF, 2);
        ASSERT_EQ(b.size(), udp ? 44u : 36u);
        EXPECT_EQ(b[8], 64);  // TTL
        View v;
        ASSERT_EQ(parse(b.data(), b.size(), c, &v), Parse::ok);
        EXPECT_TRUE(checksum_ok(b.data(), v));
        EXPECT_EQ(v.protocol, WPEER_PROTO_RTT);
        EXPECT_EQ(v.shim_control >> WSHIM_PATH_SHIFT, 2);
        Rtt r;
        ASSERT_TRUE(parse_rtt(b.data(), v, &r));
        EXPECT_EQ(r.timestamp, 0xDEADBEEFu);
        EXPECT_EQ(r.type, WRTT_REQUEST);

        make_rtt_response(b.data(), v);
        View w;
        ASSERT_EQ(parse(b.data(), b.size(), c, &w), Parse::ok);
        EXPECT_TRUE(checksum_ok(b.data(), w));
        EXPECT_EQ(click_in_cksum(b.data(), 20), 0);
        EXPECT_EQ(w.src_net, kB);
        EXPECT_EQ(w.dst_net, kA);
        ASSERT_TRUE(parse_rtt(b.data(), w, &r));
        EXPECT_EQ(r.type, WRTT_RESPONSE);
        EXPECT_EQ(r.timestamp, 0xDEADBEEFu);
    }
}

TEST(PeerInfoWire, HostInfoFieldsAndLimits) {
    for (bool udp : {false, true}) {
        ShimConfig c = cfg(udp);
        auto b = host(c, true, "alpha");
        ASSERT_EQ(b.size(), (udp ? 40u : 32u) + 5);
        View v;
        ASSERT_EQ(parse(b.data(), b.size(), c, &v), Parse::ok);
        EXPECT_TRUE(checksum_ok(b.data(), v));
        HostInfoResult r;
        ASSERT_EQ(parse_host_info(b.data(), v, &r), HostInfo::ok);
        EXPECT_EQ(r.flags, WHOST_INFO_REQUEST);
        EXPECT_EQ(std::string(r.name, r.name_len), "alpha");

        // Names longer than 255 bytes are cut to 255.
        auto l = host(c, false, std::string(300, 'x'));
        ASSERT_EQ(l.size(), (udp ? 40u : 32u) + 255);
        ASSERT_EQ(parse(l.data(), l.size(), c, &v), Parse::ok);
        HostInfoResult r2;
        ASSERT_EQ(parse_host_info(l.data(), v, &r2), HostInfo::ok);
        EXPECT_EQ(r2.name_len, 255u);
        EXPECT_EQ(r2.flags, 0);
    }
}

TEST(PeerInfoWire, BadHostInfoIsRejected) {
    ShimConfig c = cfg(false);
    View v;
    HostInfoResult r;
    auto b = host(c, true, "alpha");
    size_t body = 20 + 4 + 4;
    {   // a field of type 3
        auto x = b;
        x[body + 2] = 3;
        ASSERT_EQ(parse(x.data(), x.size(), c, &v), Parse::ok);
        EXPECT_EQ(parse_host_info(x.data(), v, &r), HostInfo::bad_type);
    }
    {   // a field running past the end
        auto x = b;
        x[body + 3] = 6;
        ASSERT_EQ(parse(x.data(), x.size(), c, &v), Parse::ok);
        EXPECT_EQ(parse_host_info(x.data(), v, &r), HostInfo::bad_field);
        EXPECT_EQ(r.bad_len, 6u);
    }
    {   // more fields announced than present
        auto x = b;
        x[body + 1] = 2;
        ASSERT_EQ(parse(x.data(), x.size(), c, &v), Parse::ok);
        EXPECT_EQ(parse_host_info(x.data(), v, &r), HostInfo::bad_field);
    }
    {   // too short for a field header
        auto x = b;
        x.resize(body + 3);
        rsp::store16(&x[2], uint16_t(x.size()));
        ASSERT_EQ(parse(x.data(), x.size(), c, &v), Parse::ok);
        EXPECT_EQ(parse_host_info(x.data(), v, &r), HostInfo::short_packet);
    }
    {   // total length beyond the bytes, and no room for the proto header
        auto x = b;
        rsp::store16(&x[2], uint16_t(x.size() + 1));
        EXPECT_EQ(parse(x.data(), x.size(), c, &v), Parse::malformed);
        x.resize(20 + 4 + 3);
        rsp::store16(&x[2], uint16_t(x.size()));
        EXPECT_EQ(parse(x.data(), x.size(), c, &v), Parse::malformed);
    }
    {   // an RTT body too short for the wrtt_header
        auto x = rtt(c, WRTT_REQUEST, 1);
        x.resize(x.size() - 1);
        rsp::store16(&x[2], uint16_t(x.size()));
        ASSERT_EQ(parse(x.data(), x.size(), c, &v), Parse::ok);
        Rtt t;
        EXPECT_FALSE(parse_rtt(x.data(), v, &t));
    }
    {   // another shim protocol is not peer info
        auto x = b;
        x[22] = WSHIM_PROTO_RSP;
        EXPECT_EQ(parse(x.data(), x.size(), c, &v), Parse::not_peerinfo);
    }
}

TEST(PeerInfoRtt, AverageMissesAndSaturation) {
    RttAverage a;
    EXPECT_EQ(a.average(), 65535);
    a.on_request();
    EXPECT_TRUE(a.on_response(30));
    EXPECT_EQ(a.average(), 30);
    a.on_request();
    a.on_response(60);
    EXPECT_EQ(a.average(), 50);  // (120 + 30) / 3
    EXPECT_FALSE(a.on_response(-1));
    EXPECT_EQ(a.average(), 50);

    // Three intervals without a response: 2 misses after the third request.
    RttAverage m;
    m.on_request();
    m.on_request();
    m.on_request();
    EXPECT_EQ(m.missed(), 2);
    m.on_response(10);
    m.on_request();
    EXPECT_EQ(m.missed(), 0);

    RttAverage s;
    s.on_response(1000000);
    EXPECT_EQ(s.average(), 65534);
    for (int i = 0; i < 70000; ++i)
        s.on_request();
    EXPECT_EQ(s.missed(), 65534);
}

TEST(PeerInfoWireFuzz, RandomTruncatedAndFlipped) {
    std::mt19937 rng(99);
    for (bool udp : {false, true}) {
        ShimConfig c = cfg(udp);
        std::vector<std::vector<uint8_t>> seeds = {rtt(c, 1, 5), rtt(c, 2, 5), host(c, true, "gamma-host"),
                                                   host(c, false, "")};
        for (int iter = 0; iter < 20000; ++iter) {
            auto b = seeds[rng() % seeds.size()];
            if (rng() % 2)
                b.resize(rng() % (b.size() + 1));
            for (int k = rng() % 5; k; --k)
                if (!b.empty())
                    b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
            std::unique_ptr<uint8_t[]> p(new uint8_t[b.size() ? b.size() : 1]);
            std::memcpy(p.get(), b.data(), b.size());
            View v;
            if (parse(p.get(), b.size(), c, &v) != Parse::ok)
                continue;
            ASSERT_LE(v.ip_len, b.size());
            ASSERT_EQ(v.body_off + v.body_len, v.ip_len);
            (void)checksum_ok(p.get(), v);
            Rtt t;
            if (parse_rtt(p.get(), v, &t))
                make_rtt_response(p.get(), v);
            HostInfoResult r;
            if (parse_host_info(p.get(), v, &r) == HostInfo::ok && r.has_name) {
                ASSERT_LE(r.name_len, WHOST_NAME_MAX);
            }
        }
    }
}
