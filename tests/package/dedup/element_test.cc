// The Dedup element in routers: a pair of appliances carrying a two-pass
// transfer, the sync paths, configuration, hot swap, ProbeHandler waiting
// for the datastore, and hostile packets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ipv4view.hh"
#include "common/shim.hh"
#include "compression/wdecomp.hh"
#include "dedup/dedup.hh"
#include "dedup_test_util.hh"
#include "sessions/flowtable.hh"
#include "sessions/peernotifiers.hh"
#include "sessions/peerprobe.hh"
#include "sessions/probehandler.hh"
#include "sessions/sessionmanager.hh"
#include "sessions/sessionpacket.hh"
#include "testrouter.hh"

using namespace quilo_test;

namespace {

// Ethernet + IPv4 + TCP (20-byte header) or UDP + payload, checksums correct
// unless `bad_checksum`.
Bytes frame(const Bytes& payload, uint8_t proto = 6, uint16_t frag = 0, bool bad_checksum = false) {
    uint32_t th = frag & IP_OFFMASK ? 0 : proto == 6 ? 20 : 8;
    Bytes b(14 + 20 + th + payload.size(), 0);
    b[12] = 0x08;
    uint8_t* ip = &b[14];
    ip[0] = 0x45;
    uint32_t tot = uint32_t(20 + th + payload.size());
    ip[2] = uint8_t(tot >> 8);
    ip[3] = uint8_t(tot);
    ip[6] = uint8_t(frag >> 8);
    ip[7] = uint8_t(frag);
    ip[8] = 64;
    ip[9] = proto;
    const uint8_t addrs[8] = {10, 0, 0, 1, 192, 168, 0, 1};
    std::memcpy(ip + 12, addrs, 8);
    if (th) {
        ip[20] = 0x9c, ip[21] = 0x40, ip[22] = 0, ip[23] = 80;
        if (proto == 6) {
            ip[32] = 0x50;
            ip[33] = 0x18;
        } else {
            ip[24] = uint8_t((8 + payload.size()) >> 8);
            ip[25] = uint8_t(8 + payload.size());
        }
    }
    if (!payload.empty())
        std::memcpy(ip + 20 + th, payload.data(), payload.size());
    if (th)
        l4_set_checksum(ip, 20, tot);
    if (bad_checksum)
        ip[20 + 16] ^= 0x5a;
    ipv4_set_checksum(ip, 20);
    return b;
}

Bytes bytes_of(const Packet* p) { return Bytes(p->data(), p->end_data()); }

struct Out {
    int port;
    Bytes bytes;
};

// One appliance: WConf, a Dedup with its datastore in `dir`, and a sink that
// records the Dedup's three outputs.
struct Node {
    TestRouter tr;
    Dedup* d = nullptr;
    Sink* s = nullptr;
    bool ok = false;

    Node(const std::string& dir, const std::string& dedup_args = "0, 1", const std::string& conf = "") {
        ok = tr.build("WConf(MAX_PEERS 1, LOG_LEVEL 4" + conf + "); d :: Dedup(" + dedup_args +
                      ", DS_SIZE 2, DS_DIR \"" + dir + "\"); s :: QuiloTestSink;"
                      "Idle -> d; d[0] -> [0]s; d[1] -> [1]s; d[2] -> [2]s;");
        if (ok) {
            d = tr.get<Dedup>("d");
            s = tr.get<Sink>("s");
        }
    }
    // Fires the start timer and waits for the datastore.
    bool start() {
        d->run_timer(nullptr);
        return d->engine() && d->engine()->wait_prepared(20000);
    }
    // Pushes a frame; returns what left, in order.
    std::vector<Out> send(const Bytes& b) {
        d->push(0, make_packet(b));
        std::vector<Out> out;
        for (size_t i = 0; i < s->packets.size(); ++i)
            out.push_back({s->ports[i], bytes_of(s->packets[i])});
        s->clear();
        return out;
    }
    std::string read(const std::string& h) { return tr.read("d." + h); }
};

const uint8_t* ip_of(const Bytes& f) { return f.data() + 14; }
uint8_t shim_flags(const Bytes& f, size_t off = 20) { return f[14 + off + 3]; }

// Carries frames from A's local side to B's, the way the two appliances and
// the tunnel between them do: A's output 0 reaches B; B's sync packets go
// back to A, and A's rehydrated sync packets reach B with their shim.
struct Link {
    Node& a;
    Node& b;
    uint64_t wire = 0, sent = 0, delivered = 0, syncs = 0;

    // Every packet on the wire that is UDP (the UDP shim) has a UDP length
    // that covers exactly the rest of the packet.
    static void check_udp_length(const Bytes& w) {
        const uint8_t* ip = ip_of(w);
        if (ip[9] != 17)
            return;
        uint32_t ihl = uint32_t(ip[0] & 15) * 4;
        EXPECT_EQ(uint32_t(ip[ihl + 4] << 8 | ip[ihl + 5]), uint32_t(ip[2] << 8 | ip[3]) - ihl);
    }

    // Returns the frame B hands to its local network, or empty.
    Bytes carry(const Bytes& f) {
        sent += f.size();
        std::vector<Out> x = a.send(f);
        if (x.size() != 1 || x[0].port != 0)
            return {};
        wire += x[0].bytes.size();
        check_udp_length(x[0].bytes);
        std::vector<Out> y = b.send(x[0].bytes);
        if (y.size() != 1)
            return {};
        if (y[0].port == 1) {  // back to the sender with the sync flag
            ++syncs;
            std::vector<Out> z = a.send(y[0].bytes);
            if (z.size() != 1 || z[0].port != 1)
                return {};
            wire += z[0].bytes.size();
            check_udp_length(z[0].bytes);
            y = b.send(z[0].bytes);
            if (y.size() != 1)
                return {};
        }
        if (y[0].port != 2)
            return {};
        ++delivered;
        return y[0].bytes;
    }
};

// Two passes of real file data through a pair; every frame arrives intact
// and the second pass costs a small fraction of the first on the wire.
// `percent`: the most the second pass may cost, headers included.
void two_pass_transfer(const std::string& conf, uint8_t proto, size_t payload, uint64_t percent) {
    TempDir dir;
    MessageCapture quiet;
    Node a(dir.file("a"), "0, 1", conf), b(dir.file("b"), "0, 1", conf);
    ASSERT_TRUE(a.ok) << a.tr.errors();
    ASSERT_TRUE(b.ok) << b.tr.errors();
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Link link{a, b};
    Bytes data = real_file_data(400 * 1024);
    ASSERT_GT(data.size(), 100000u);
    uint64_t wire[2];
    for (int pass = 0; pass < 2; ++pass) {
        link.wire = 0;
        uint64_t bad = 0;
        for (size_t off = 0; off + payload <= data.size(); off += payload) {
            Bytes f = frame(Bytes(data.begin() + long(off), data.begin() + long(off + payload)), proto);
            if (link.carry(f) != f)
                ++bad;
        }
        EXPECT_EQ(bad, 0u) << "pass " << pass;
        wire[pass] = link.wire;
    }
    EXPECT_LT(wire[1] * 100, wire[0] * percent) << wire[0] << " then " << wire[1] << " syncs " << link.syncs << " payload "
                                      << a.read("encode_bytes_in") << " -> " << a.read("encode_bytes_out")
                                      << " unencoded " << a.read("unencoded");
    EXPECT_EQ(a.read("encoded"), b.read("decoded"));
    EXPECT_NE(a.read("encoded"), "0");
    EXPECT_EQ(a.read("drops"), "0");
    EXPECT_EQ(b.read("drops"), "0");
}

}  // namespace

TEST(DedupElement, PairRehydratesATwoPassTransfer) {
    // Payloads of four whole chunks; then payloads whose last 128 bytes are
    // partly sent as literals on every pass.
    two_pass_transfer("", 6, 1320, 10);
    two_pass_transfer(", UDP_SHIM true, UDP_SHIM_SPORT 5000, UDP_SHIM_DPORT 5001", 17, 1448, 25);
}

TEST(DedupElement, Configuration) {
    TempDir dir;
    auto fails = [&](const std::string& args, const char* msg, int outputs = 3) {
        TestRouter tr;
        std::string outs;
        for (int i = 0; i < outputs; ++i)
            outs += "d[" + std::to_string(i) + "] -> Discard;";
        EXPECT_FALSE(tr.build("WConf(MAX_PEERS 1, LOG_LEVEL 4); d :: Dedup(" + args + "); Idle -> d;" + outs)) << args;
        EXPECT_NE(tr.errors().find(msg), std::string::npos) << args << ": " << tr.errors();
    };
    fails("0", "missing mandatory DS");
    fails("0, 1, DS_SIZE 0", "DS_SIZE must be greater than 0");
    fails("0, 1, DS_SIZE -5", "DS_SIZE must be greater than 0");
    fails("0, 1, DS_SIZE 2000000", "DS_SIZE too large");
    fails("0, 1, LOOKUP_BOOST_ERROR_RATE 0", "LOOKUP_BOOST_ERROR_RATE must be between 0 and 1");
    fails("0, 1, LOOKUP_BOOST_ERROR_RATE 1", "LOOKUP_BOOST_ERROR_RATE must be between 0 and 1");
    fails("0, 1, LOOKUP_BOOST_ERROR_RATE -0.5", "LOOKUP_BOOST_ERROR_RATE must be between 0 and 1");
    fails("0, 1", "ACTION 0 needs three outputs", 1);
    {
        TestRouter tr;
        EXPECT_FALSE(tr.build("d :: Dedup(1, 1); Idle -> d -> Discard;"));
        EXPECT_NE(tr.errors().find("WConf not found"), std::string::npos) << tr.errors();
    }
    {
        TestRouter tr;
        ASSERT_TRUE(tr.build("WConf(MAX_PEERS 1, LOG_LEVEL 4); d :: Dedup(ACTION 1, DS 1000, LOOKUP_BOOST true,"
                             " LOOKUP_BOOST_ERROR_RATE 0.01, LEVEL 2); Idle -> d -> Discard;"))
            << tr.errors();
        auto* d = tr.get<Dedup>("d");
        EXPECT_EQ(d->cast("Dedup"), static_cast<void*>(d));
        EXPECT_EQ(tr.read("d.ds_path"), "/quilo/ds0/peerX");
        EXPECT_EQ(tr.read("d.ds_ready"), "false");
        EXPECT_EQ(tr.read("d.ds_slot"), "0");
        EXPECT_EQ(d->level(), 2);
    }
    Node n(dir.path() + "/", "0, 3");
    ASSERT_TRUE(n.ok) << n.tr.errors();
    EXPECT_EQ(n.read("ds_path"), dir.path() + "/peer3");
}

// What each kind of packet does at one element, and both sync paths.
TEST(DedupElement, PacketPaths) {
    TempDir dir;
    MessageCapture quiet;
    Node a(dir.file("a")), b(dir.file("b"));
    ASSERT_TRUE(a.ok && b.ok) << a.tr.errors() << b.tr.errors();
    Bytes data = random_bytes(64 * 1024, 7);
    auto chunk = [&](size_t off, size_t n) { return Bytes(data.begin() + long(off), data.begin() + long(off + n)); };

    // Before the datastore is ready plain packets pass and shimmed ones are dropped.
    Bytes big = frame(chunk(0, 1000));
    auto o = a.send(big);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].bytes, big);
    Bytes shimmed = big;
    shimmed[14 + 9] = 108;
    shimmed[14 + 20] = WSHIM_MAGIC;
    EXPECT_TRUE(a.send(shimmed).empty());
    EXPECT_EQ(a.read("drops"), "1");

    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    EXPECT_EQ(a.read("ds_ready"), "true");
    EXPECT_EQ(a.read("ds_capacity"), std::to_string(2 * 1048576 / (WDedup::CHUNK_LEN + 8)));

    // 460 bytes of IP packet pass as they are; 461 are encoded (TCP and UDP).
    Bytes f460 = frame(chunk(0, 420));
    o = a.send(f460);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].bytes, f460);
    for (uint8_t proto : {6, 17}) {
        Bytes f461 = frame(chunk(proto * 100, proto == 6 ? 421 : 433), proto);
        o = a.send(f461);
        ASSERT_EQ(o.size(), 1u);
        ASSERT_EQ(o[0].port, 0);
        EXPECT_EQ(ip_of(o[0].bytes)[9], 108);
        EXPECT_EQ(ip_of(o[0].bytes)[20], WSHIM_MAGIC);
        EXPECT_EQ(ip_of(o[0].bytes)[22], proto);
        EXPECT_EQ(shim_flags(o[0].bytes), WSHIM_DEDUP);
        auto r = b.send(o[0].bytes);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].port, 2);
        EXPECT_EQ(r[0].bytes, f461);
    }

    // Neither ICMP nor a payload above 2000 bytes is encoded; nor is one whose
    // encoding would not fit in 2000 bytes (2000 new bytes: six new chunks
    // and a literal tail, 2012 bytes): it travels unencoded instead of being
    // lost, and a later copy still encodes.
    Bytes icmp = frame(chunk(0, 800), 1);
    EXPECT_EQ(a.send(icmp)[0].bytes, icmp);
    Bytes jumbo = frame(chunk(2000, 2400));
    EXPECT_EQ(a.send(jumbo)[0].bytes, jumbo);
    Bytes full = frame(chunk(50000, 2000));
    EXPECT_EQ(a.send(full)[0].bytes, full);
    EXPECT_EQ(a.read("unencoded"), "2");
    Bytes part = frame(chunk(50000, 1320));
    o = a.send(part);
    EXPECT_EQ(shim_flags(o[0].bytes), WSHIM_DEDUP);
    EXPECT_EQ(b.send(o[0].bytes)[0].bytes, part);

    // A non-first fragment is encoded from the byte after the IP header.
    Bytes frag = frame(chunk(5000, 1200), 6, 100);
    o = a.send(frag);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(ip_of(o[0].bytes)[20], WSHIM_MAGIC);
    EXPECT_EQ(b.send(o[0].bytes)[0].bytes, frag);

    // Missing chunks: a datastore that never saw them sends the packet back
    // with the sync flag; the sender rehydrates it itself, shim kept, flags 0.
    Bytes first = frame(chunk(10000, 1320));
    Link ab{a, b};
    EXPECT_EQ(ab.carry(first), first);
    o = a.send(first);  // now all references
    ASSERT_EQ(o.size(), 1u);
    EXPECT_LT(o[0].bytes.size(), 200u);
    TempDir dir2;
    Node c(dir2.file("c"));
    ASSERT_TRUE(c.start());
    auto back = c.send(o[0].bytes);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].port, 1);
    EXPECT_EQ(shim_flags(back[0].bytes), WSHIM_DEDUP_SYNC);
    // It goes back as the session's other direction: addresses and ports swapped.
    Bytes expect = o[0].bytes;
    expect[14 + 23] = WSHIM_DEDUP_SYNC;
    std::swap_ranges(expect.begin(), expect.begin() + 6, expect.begin() + 6);
    std::swap_ranges(expect.begin() + 14 + 12, expect.begin() + 14 + 16, expect.begin() + 14 + 16);
    std::swap_ranges(expect.begin() + 14 + 24, expect.begin() + 14 + 26, expect.begin() + 14 + 26);
    EXPECT_EQ(back[0].bytes, expect);
    // So the sender's session manager, coming from the wide-area side, finds
    // the session of the packet it sent.
    SessionPacket sent, returned;
    ASSERT_TRUE(parse_session_packet(ip_of(first), first.size() - 14, ShimConfig{}, &sent));
    ASSERT_TRUE(parse_session_packet(ip_of(back[0].bytes), back[0].bytes.size() - 14, ShimConfig{}, &returned));
    EXPECT_EQ(SessionManager::session_key(returned, WAN_IN), SessionManager::session_key(sent, WAN_OUT));
    EXPECT_EQ(c.read("missing_syncs"), "1");
    auto ret = a.send(back[0].bytes);
    ASSERT_EQ(ret.size(), 1u);
    EXPECT_EQ(ret[0].port, 1);
    EXPECT_EQ(shim_flags(ret[0].bytes), 0);
    auto fin = c.send(ret[0].bytes);  // the peer only removes the shim
    ASSERT_EQ(fin.size(), 1u);
    EXPECT_EQ(fin[0].port, 2);
    EXPECT_EQ(fin[0].bytes, first);
    // A sync packet that still misses chunks (here: at a third datastore) is dropped.
    TempDir dir3;
    Node e(dir3.file("e"));
    ASSERT_TRUE(e.start());
    EXPECT_TRUE(e.send(back[0].bytes).empty());

    // A segment whose checksum fails after rehydration goes back still
    // encoded, with the sync flag; the sender returns it rehydrated.
    Bytes badsum = frame(chunk(20000, 1320), 6, 0, true);
    o = a.send(badsum);
    auto cs = b.send(o[0].bytes);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(cs[0].port, 1);
    EXPECT_EQ(shim_flags(cs[0].bytes), WSHIM_DEDUP_SYNC);
    EXPECT_EQ(b.read("checksum_syncs"), "1");
    ret = a.send(cs[0].bytes);
    ASSERT_EQ(ret.size(), 1u);
    EXPECT_EQ(b.send(ret[0].bytes)[0].bytes, badsum);
    // A fragment is never checked: its checksum covers other fragments too.
    Bytes mf = frame(chunk(30000, 1320), 6, IP_MF, true);
    o = a.send(mf);
    EXPECT_EQ(b.send(o[0].bytes)[0].bytes, mf);

    EXPECT_NE(a.read("ds_slot"), "0");

    // LEVEL 0: outgoing packets pass unchanged, shimmed ones are still decoded.
    TempDir dir4;
    Node l0(dir4.file("l0"), "0, 1, LEVEL 0");
    ASSERT_TRUE(l0.start());
    Bytes plain = frame(chunk(40000, 1320));
    EXPECT_EQ(l0.send(plain)[0].bytes, plain);
    o = a.send(plain);
    auto l0r = l0.send(o[0].bytes);
    ASSERT_EQ(l0r.size(), 1u);
    EXPECT_EQ(l0r[0].bytes, plain);
}

// ACTION 1 only decodes; another ACTION shims the payload without
// deduplicating it, and the peer restores it exactly.
TEST(DedupElement, OtherActions) {
    TempDir dir;
    MessageCapture quiet;
    Node dec(dir.file("a"), "1, 1"), shim(dir.file("b"), "2, 2"), peer(dir.file("c"));
    ASSERT_TRUE(dec.start() && shim.start() && peer.start());
    Bytes payload = random_bytes(1000, 3);
    payload[10] = payload[500] = 0xF1;
    size_t escapes = size_t(std::count(payload.begin(), payload.end(), 0xF1));
    Bytes f = frame(payload, 17);
    EXPECT_EQ(dec.send(f)[0].bytes, f);
    auto o = shim.send(f);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(shim_flags(o[0].bytes), WSHIM_DEDUP);
    EXPECT_EQ(o[0].bytes.size(), f.size() + 4 + escapes);
    auto r = peer.send(o[0].bytes);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, f);
    // Decode only: the rehydrated packet leaves on output 0.
    r = dec.send(o[0].bytes);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].port, 0);
    EXPECT_EQ(r[0].bytes, f);
}

TEST(DedupElement, HotSwapKeepsTheOpenDatastore) {
    TempDir dir;
    MessageCapture quiet;
    auto a = std::make_unique<Node>(dir.file("a"));
    Node b(dir.file("b"));
    ASSERT_TRUE(a->start() && b.start());
    Bytes f = frame(random_bytes(1320, 11));
    Link ab{*a, b};
    ASSERT_EQ(ab.carry(f), f);
    WDedup* engine = a->d->engine();
    PersistentCache* cache = engine->impl()->cache();

    auto a2 = std::make_unique<Node>(dir.file("a"), "0, 1, LEVEL 3");
    ASSERT_TRUE(a2->ok);
    a2->d->take_state(a->d, nullptr);
    EXPECT_EQ(a2->d->engine(), engine);
    EXPECT_EQ(a->d->engine(), nullptr);
    a.reset();  // the old router's cleanup leaves the datastore open
    a2->d->run_timer(nullptr);
    EXPECT_EQ(a2->d->engine(), engine);
    EXPECT_EQ(engine->impl()->cache(), cache);
    EXPECT_EQ(engine->impl()->level(), 3);
    EXPECT_EQ(a2->read("ds_ready"), "true");
    // What was stored before the swap is still known: the repeat is all references.
    auto o = a2->send(f);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_LT(o[0].bytes.size(), 200u);
    Link ab2{*a2, b};
    EXPECT_EQ(ab2.carry(f), f);

    // Another datastore number: the old one is closed and the new one opened.
    auto a3 = std::make_unique<Node>(dir.file("a"), "0, 2");
    a3->d->take_state(a2->d, nullptr);
    EXPECT_EQ(a3->d->engine(), nullptr);
    a2.reset();
    ASSERT_TRUE(a3->start());
    EXPECT_EQ(a3->d->engine()->impl()->path(), dir.file("a") + "/peer2");
}

// ProbeHandler switches the peer probes on only once every datastore is
// ready; a datastore directory that cannot be used keeps them off, and
// traffic passes unencoded.
TEST(DedupElement, ProbeHandlerWaitsForTheDatastore) {
    TempDir dir;
    MessageCapture quiet;
    auto build = [&](TestRouter& tr, const std::string& ds_dir) {
        return tr.build("WConf(MAX_PEERS 1, LOG_LEVEL 4); d :: Dedup(1, 1, DS_SIZE 1, DS_DIR \"" + ds_dir +
                        "\"); Idle -> d -> Discard; ph :: ProbeHandler; sm :: SessionManager;"
                        "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH \"" + dir.file("peers") + "\");"
                        "Idle -> [0]sm[0] -> Discard; Idle -> [1]sm[1] -> Discard;"
                        "p :: PeerProbe(1, 0, false, 10.20.0.1, 02-00-00-00-00-0a); Idle -> p -> Discard; p[1] -> Discard;");
    };
    TestRouter tr;
    ASSERT_TRUE(build(tr, dir.file("ok/deeper"))) << tr.errors();
    auto* ph = tr.get<ProbeHandler>("ph");
    auto* d = tr.get<Dedup>("d");
    EXPECT_EQ(ph->datastores(), 1u);
    EXPECT_FALSE(ph->check());
    EXPECT_EQ(tr.read("p.active"), "false");
    d->run_timer(nullptr);
    ASSERT_TRUE(d->engine()->wait_prepared(20000));
    EXPECT_TRUE(ph->check());
    EXPECT_EQ(tr.read("p.active"), "true");
    struct stat st;
    EXPECT_EQ(stat(dir.file("ok/deeper/peer1").c_str(), &st), 0);

    write_file(dir.file("file"), "not a directory");
    TestRouter bad;
    ASSERT_TRUE(build(bad, dir.file("file"))) << bad.errors();
    auto* dbad = bad.get<Dedup>("d");
    dbad->run_timer(nullptr);
    EXPECT_FALSE(dbad->engine()->wait_prepared(20000));
    EXPECT_FALSE(bad.get<ProbeHandler>("ph")->check());
    EXPECT_EQ(bad.read("d.ds_ready"), "false");
    EXPECT_NE(quiet.text().find("Could not create datastore directory"), std::string::npos) << quiet.text();
}

// A Dedup of a peer branch (NOTIFIER, PEER_OUTPUT_PORT) makes no datastore
// until the flow table puts a peer on its port, and the probes do not wait
// for it meanwhile.
TEST(DedupElement, BranchDatastoreWaitsForItsPeer) {
    TempDir dir;
    MessageCapture quiet;
    TestRouter tr;
    ASSERT_TRUE(tr.build("WConf(MAX_PEERS 2, LOG_LEVEL 4); sm :: SessionManager;"
                         "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH \"" + dir.file("peers") + "\");"
                         "d :: Dedup(1, 2, DS_SIZE 1, DS_DIR \"" + dir.file("ds") + "\", NOTIFIER ft, PEER_OUTPUT_PORT 2);"
                         "Idle -> d -> Discard; ph :: ProbeHandler;"
                         "Idle -> [0]sm[0] -> Discard; Idle -> [1]sm[1] -> Discard;"))
        << tr.errors();
    auto* d = tr.get<Dedup>("d");
    d->run_timer(nullptr);
    EXPECT_EQ(d->engine(), nullptr);
    EXPECT_EQ(tr.read("d.ds_waiting"), "true");
    EXPECT_TRUE(tr.get<ProbeHandler>("ph")->check());
    struct stat st;
    EXPECT_NE(stat(dir.file("ds").c_str(), &st), 0);
    auto* ft = tr.get<FlowTable>("ft");
    ft->peer_discovered_notify(1, IPAddress("10.20.0.7"));  // another branch's peer
    d->run_timer(nullptr);
    EXPECT_EQ(d->engine(), nullptr);
    ft->peer_discovered_notify(2, IPAddress("10.20.0.8"));
    d->run_timer(nullptr);
    ASSERT_NE(d->engine(), nullptr);
    ASSERT_TRUE(d->engine()->wait_prepared(20000));
    EXPECT_EQ(tr.read("d.ds_waiting"), "false");
    EXPECT_EQ(stat(dir.file("ds/peer2").c_str(), &st), 0);

    TestRouter bad;
    EXPECT_FALSE(bad.build("WConf(MAX_PEERS 1); Idle -> d :: Dedup(1, 1, PEER_OUTPUT_PORT 1) -> Discard;"));
    EXPECT_NE(bad.errors().find("NOTIFIER and PEER_OUTPUT_PORT go together"), std::string::npos) << bad.errors();
}

namespace {

std::string router_binary() {
    const char* build = getenv("QUILO_BUILD_DIR");
    std::string r = build ? std::string(build) + "/bin/quilo-router" : "";
    return !r.empty() && access(r.c_str(), X_OK) == 0 ? r : "";
}

// A line-protocol client of the router's control socket.
struct Control {
    int fd = -1;
    ~Control() {
        if (fd >= 0)
            close(fd);
    }
    bool connect_to(const std::string& path) {
        for (int i = 0; i < 200 && fd < 0; ++i) {  // the router needs a moment to start
            int s = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                fd = s;
                timeval tv{5, 0};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            } else {
                close(s);
                usleep(25000);
            }
        }
        return fd >= 0 && line().rfind("Click::ControlSocket", 0) == 0;
    }
    std::string line() {
        std::string l;
        char c;
        while (l.size() < 4096 && recv(fd, &c, 1, 0) == 1 && c != '\n')
            l += c;
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        return l;
    }
    std::string command(const std::string& text) {
        if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
            return "";
        return line();
    }
    std::string read(const std::string& h) {
        if (command("READ " + h + "\n").rfind("200", 0) != 0)
            return "";
        std::string d = line();  // DATA n
        size_t n = d.size() > 5 ? size_t(std::atoi(d.c_str() + 5)) : 0;
        std::string v(n, '\0');
        for (size_t got = 0; got < n;) {
            ssize_t r = recv(fd, &v[got], n - got, 0);
            if (r <= 0)
                return "";
            got += size_t(r);
        }
        return v;
    }
};

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

// Several threads pushing through the same elements at once: every packet
// is rehydrated intact, whatever order the encodings reach the peer in.
TEST(DedupElement, ThreadsShareOneElement) {
    TempDir dir;
    MessageCapture quiet;
    Node a(dir.file("a")), b(dir.file("b"));
    ASSERT_TRUE(a.start() && b.start());
    Bytes data = random_bytes(150 * 1320, 5);
    std::vector<Bytes> frames;
    for (int copy = 0; copy < 2; ++copy)
        for (size_t k = 0; k < 150; ++k)
            frames.push_back(frame(Bytes(data.begin() + long(k * 1320), data.begin() + long((k + 1) * 1320))));
    auto run = [](Node& n, const std::vector<Bytes>& in) {
        std::vector<std::thread> ts;
        for (size_t t = 0; t < 4; ++t)
            ts.emplace_back([&n, &in, t] {
                for (size_t i = t; i < in.size(); i += 4)
                    n.d->push(0, make_packet(in[i]));
            });
        for (auto& t : ts)
            t.join();
        std::vector<Out> out;
        for (size_t i = 0; i < n.s->packets.size(); ++i)
            out.push_back({n.s->ports[i], bytes_of(n.s->packets[i])});
        n.s->clear();
        return out;
    };
    std::vector<Bytes> wire;
    for (const Out& o : run(a, frames)) {
        EXPECT_EQ(o.port, 0);
        wire.push_back(o.bytes);
    }
    ASSERT_EQ(wire.size(), frames.size());
    std::vector<Bytes> delivered;
    for (const Out& o : run(b, wire)) {
        if (o.port == 2) {
            delivered.push_back(o.bytes);
            continue;
        }
        ASSERT_EQ(o.port, 1);  // missing chunks: round trip through the sender
        auto back = a.send(o.bytes);
        ASSERT_EQ(back.size(), 1u);
        auto fin = b.send(back[0].bytes);
        ASSERT_EQ(fin.size(), 1u);
        delivered.push_back(fin[0].bytes);
    }
    std::sort(delivered.begin(), delivered.end());
    std::sort(frames.begin(), frames.end());
    EXPECT_TRUE(delivered == frames);
    EXPECT_GT(std::stoull(a.read("encode_bytes_in")), 4 * std::stoull(a.read("encode_bytes_out")) / 3);
}

// Through the driver, with real timers: the datastore comes up on its own
// and ProbeHandler switches on; then a hot swap through the control socket
// hands the open datastore to the new router's Dedup: it is neither built
// again nor closed by the old router's cleanup.
TEST(DedupElement, DriverStartsTheDatastoreAndHotSwapKeepsIt) {
    std::string router = router_binary();
    if (router.empty())
        GTEST_SKIP() << "quilo-router not built";
    TempDir dir;
    auto conf = [&](int level) {
        return "require(package \"quilo\"); WConf(MAX_PEERS 1, LOG_LEVEL 0); d :: Dedup(1, 5, DS_SIZE 1, LEVEL " +
               std::to_string(level) + ", DS_DIR \"" + dir.path() + "\"); Idle -> d -> Discard;"
               " ph :: ProbeHandler(DS_CHECK_SECS 1);\n";
    };
    write_file(dir.file("a.click"), conf(4));
    std::string sock = dir.file("sock"), out = dir.file("out.txt");
    std::vector<std::string> args = {router, "-u", sock, dir.file("a.click"), "-h", "d.ds_ready", "-h", "d.ds_slot"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, router.c_str(), &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    {
        Control c;
        bool connected = c.connect_to(sock);
        EXPECT_TRUE(connected);
        if (connected) {
            std::string done;
            for (int i = 0; i < 200 && done != "true"; ++i, usleep(25000))
                done = c.read("ph.done");
            EXPECT_EQ(done, "true");
            EXPECT_EQ(c.read("d.ds_ready"), "true");
            std::string text = conf(2);
            EXPECT_EQ(c.command("WRITEDATA hotconfig " + std::to_string(text.size()) + "\n" + text).substr(0, 3),
                      "200");
            EXPECT_EQ(c.read("d.ds_ready"), "true");
            usleep(100000);  // the new router's start timer runs
            c.command("WRITE stop\n");
        }
    }
    int status = -1;
    for (int i = 0; i < 400 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        usleep(25000);
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string log = read_file(out);
    EXPECT_EQ(count_of(log, "d datastore " + dir.path() + "/peer5 ready"), 1u) << log;
    EXPECT_EQ(count_of(log, "Building datastore"), 1u) << log;
    EXPECT_EQ(count_of(log, "d WDedup already exist, must be hot swap load."), 1u) << log;
    EXPECT_EQ(count_of(log, "d taking state"), 1u) << log;
    EXPECT_NE(log.find("d.ds_ready:\ntrue"), std::string::npos) << log;
}

namespace {

class NoPeers : public Element, public PeerDiscoveryNotifier {
  public:
    const char* class_name() const override { return "DedupTestPeers"; }
    void* cast(const char* n) override {
        if (std::strcmp(n, "PeerDiscoveryNotifier") == 0)
            return static_cast<PeerDiscoveryNotifier*>(this);
        return Element::cast(n);
    }
};
const bool no_peers_registered = click_add_element_type<NoPeers>("DedupTestPeers") > 0;

}  // namespace

// The appliance's chain: Dedup then WComp towards the peer, WDeComp then
// Dedup from it. The sender knows every chunk, the receiver none: packets
// with references make the round trip of the sync path through both
// compression elements, in both tunnel forms, and all arrive intact.
TEST(DedupElement, ThroughTheCompressionElements) {
    ASSERT_TRUE(no_peers_registered);
    TempDir dir;
    MessageCapture quiet;
    Bytes data = real_file_data(150 * 1024);
    for (std::string udp : {"", ", UDP_SHIM true"}) {
        auto build = [&](TestRouter& tr, const std::string& ds) {
            return tr.build("WConf(MAX_PEERS 1, LOG_LEVEL 4" + udp + "); peers :: DedupTestPeers;"
                            "c :: WComp(COMPRESSOR 2, LEVEL 1); dec :: WDeComp(RSP rsp);"
                            "pi :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER peers, PEER_OUTPUT_PORT 1);"
                            "rsp :: RSP(MODE client, LOCAL_IP 10.0.0.1, WRTT pi, WCOMP c, NOTIFIER peers,"
                            " PEER_OUTPUT_PORT 1); Idle -> [0]rsp; Idle -> [1]rsp; rsp[0] -> Discard;"
                            "rsp[1] -> Discard; rsp[2] -> Discard; Idle -> pi; pi[0] -> Discard; pi[1] -> Discard;"
                            "pi[2] -> Discard; pi[3] -> Discard;"
                            "d :: Dedup(0, 1, DS_SIZE 2, DS_DIR \"" + ds + "\"); Idle -> d; d[0] -> c; d[1] -> c;"
                            "c -> wire :: QuiloTestSink; d[2] -> lan :: QuiloTestSink;"
                            "Idle -> dec; dec[0] -> lan; dec[1] -> d;");
        };
        TestRouter ra, rb;
        ASSERT_TRUE(build(ra, dir.file("a" + udp))) << ra.errors();
        ASSERT_TRUE(build(rb, dir.file("b" + udp))) << rb.errors();
        Dedup* da = ra.get<Dedup>("d");
        Dedup* db = rb.get<Dedup>("d");
        da->run_timer(nullptr);
        db->run_timer(nullptr);
        ASSERT_TRUE(da->engine()->wait_prepared(20000) && db->engine()->wait_prepared(20000));
        Sink* to_b = ra.get<Sink>("wire");
        Sink* to_a = rb.get<Sink>("wire");
        Sink* lan_b = rb.get<Sink>("lan");
        auto take = [](Sink* s) {
            Bytes b = s->packets.size() == 1 ? bytes_of(s->packets[0]) : Bytes();
            s->clear();
            return b;
        };
        size_t sent = 0, intact = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t off = 0; off + 1320 <= data.size(); off += 1320) {
                Bytes f = frame(Bytes(data.begin() + long(off), data.begin() + long(off + 1320)), off % 3 ? 6 : 17);
                da->push(0, make_packet(f));
                Bytes w = take(to_b);
                if (pass == 0)
                    continue;  // lost on the way: only the sender stores the chunks
                ++sent;
                rb.get<WDeComp>("dec")->push(0, make_packet(w));
                if (!to_a->packets.empty()) {
                    ra.get<WDeComp>("dec")->push(0, make_packet(take(to_a)));
                    rb.get<WDeComp>("dec")->push(0, make_packet(take(to_b)));
                }
                intact += take(lan_b) == f;
            }
        }
        EXPECT_EQ(intact, sent) << udp;
        EXPECT_NE(rb.read("d.missing_syncs"), "0");
        EXPECT_EQ(ra.read("d.sync_returns"), rb.read("d.missing_syncs"));
    }
}

// Random, truncated and bit-flipped packets at both ends: nothing crashes,
// every packet leaves or is counted as dropped, and the pair still works.
TEST(DedupElement, FuzzedPackets) {
    TempDir dir;
    MessageCapture quiet;
    for (const char* conf : {"", ", UDP_SHIM true"}) {
        Node a(dir.file(std::string("a") + conf), "0, 1", conf), b(dir.file(std::string("b") + conf), "0, 1", conf);
        ASSERT_TRUE(a.start() && b.start());
        std::mt19937 rng(42);
        Bytes data = real_file_data(200 * 1024);
        std::vector<Bytes> encoded;
        for (size_t off = 0; off + 1320 <= data.size() && encoded.size() < 100; off += 1320) {
            Bytes f = frame(Bytes(data.begin() + long(off), data.begin() + long(off + 1320)), off % 2 ? 6 : 17);
            auto o = a.send(f);
            ASSERT_EQ(o.size(), 1u);
            encoded.push_back(o[0].bytes);
            if (off % 3 == 0)
                b.send(o[0].bytes);  // B knows some chunks and misses others
        }
        uint64_t in = 0, out = 0;
        for (int i = 0; i < 3000; ++i) {
            Bytes f = encoded[rng() % encoded.size()];
            switch (i % 4) {
            case 0:  // truncated anywhere, IP length kept or fixed
                f.resize(rng() % f.size());
                if (f.size() >= 18 && rng() % 2) {
                    f[16] = uint8_t((f.size() - 14) >> 8);
                    f[17] = uint8_t(f.size() - 14);
                }
                break;
            case 1:  // bit flips, mostly in the headers and the stream's tokens
                for (int k = 0; k < 1 + int(rng() % 4); ++k)
                    f[rng() % std::min<size_t>(f.size(), rng() % 2 ? 80 : f.size())] ^= uint8_t(1u << (rng() % 8));
                break;
            case 2: {  // random bytes behind a plausible header
                for (size_t k = 14 + 20 + (rng() % 16); k < f.size(); ++k)
                    f[k] = uint8_t(rng());
                break;
            }
            default: {  // random garbage of random length
                f.resize(rng() % 2100);
                for (auto& x : f)
                    x = uint8_t(rng());
                if (f.size() > 14)
                    f[14] = uint8_t(0x40 | (rng() % 16));
                break;
            }
            }
            Node& n = i % 2 ? a : b;
            uint64_t drops = std::stoull(n.read("drops"));
            size_t got = n.send(f).size();
            ++in;
            out += got + (std::stoull(n.read("drops")) - drops);
        }
        EXPECT_EQ(in, out);
        // Still in step: a fresh transfer arrives intact.
        Link ab{a, b};
        Bytes f = frame(random_bytes(1320, 99));
        EXPECT_EQ(ab.carry(f), f);
        EXPECT_EQ(ab.carry(f), f);
        // And a peer that lacks every chunk gets it through the sync path
        // (the returned packet grows back: its UDP length follows).
        Node c(dir.file(std::string("c") + conf), "0, 1", conf);
        ASSERT_TRUE(c.start());
        Link ac{a, c};
        EXPECT_EQ(ac.carry(f), f);
        EXPECT_EQ(ac.syncs, 1u);
    }
}
