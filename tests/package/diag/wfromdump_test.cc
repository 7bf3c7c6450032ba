// WFromDump on good, cut and corrupt captures: what it delivers, the message
// that ends or refuses a file, time windows, FILEPOS, TIMING and END_CALL,
// and random files.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "diag.hh"

using diag_test::ether;
using diag_test::ipv4;
using diag_test::Pcap;
using diag_test::tcp;

namespace {

struct Result {
    bool built = false;
    std::string errors, count, error, filepos, ignored, encap;
    std::vector<int64_t> stamps;  // of the packets delivered, ns
    std::vector<uint32_t> lengths;
};

// Runs WFromDump(FILE, STOP true, ARGS) -> sink and collects what arrived.
Result replay(const Pcap& pcap, const std::string& args = "") {
    diag_test::TempDir dir;
    pcap.write(dir / "in.pcap");
    Result res;
    res.built = diag_test::run_router(
        "d :: WFromDump(" + (dir / "in.pcap") + ", STOP true" + (args.empty() ? "" : ", " + args) + ") -> s :: QuiloTestSink;", &res.errors,
        [&](Router* r) {
            for (Packet* p : dynamic_cast<quilo_test::Sink*>(r->find("s"))->packets) {
                res.stamps.push_back(p->timestamp_anno().nsecval());
                res.lengths.push_back(p->length());
            }
            for (auto [h, v] : {std::pair{"count", &res.count}, {"error", &res.error}, {"filepos", &res.filepos},
                                {"ignored", &res.ignored}, {"encap", &res.encap}})
                *v = diag_test::read_handler(r, std::string("d.") + h);
        });
    return res;
}

Pcap three_packets(int linktype = 1, uint32_t snaplen = 65535) {
    Pcap p(linktype, snaplen);
    for (uint32_t i = 0; i < 3; ++i)
        p.add(ether(ipv4(6, tcp(1, 2, i, 0, 0x10, i))), 1700000000 + i, 250000);
    return p;
}

}  // namespace

TEST(WFromDump, DeliversEveryRecordOfAGoodFile) {
    Pcap pcap = three_packets();
    pcap.add(ether({0, 1, 8, 0, 6, 4, 0, 1}, 0x0806), 1700000003);  // ARP
    Result r = replay(pcap);
    ASSERT_TRUE(r.built) << r.errors;
    EXPECT_EQ(r.count, "4");
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.encap, "ETHER");
    EXPECT_EQ(r.filepos, std::to_string(pcap.bytes.size()));
    ASSERT_EQ(r.stamps.size(), 4u);
    EXPECT_EQ(r.stamps[1], 1700000001250000000);
    EXPECT_EQ(r.lengths[0], 54u);

    // FORCE_IP: packets start at their IP header; the ARP frame is skipped.
    r = replay(pcap, "FORCE_IP true");
    EXPECT_EQ(r.ignored, "1");
    EXPECT_EQ(r.lengths, (std::vector<uint32_t>{40, 41, 42}));

    // Nanosecond raw-IP files, in either byte order.
    for (bool swap : {false, true}) {
        Pcap nano(101, 65535, 0xa1b23c4d, 2, swap);
        r = replay(nano.add(ipv4(17, std::vector<uint8_t>(8)), 5, 123456789), "FORCE_IP true");
        EXPECT_EQ(r.encap, "IP");
        EXPECT_EQ(r.stamps, std::vector<int64_t>{5123456789});
    }
}

TEST(WFromDump, RefusesBadFilesAndStopsAtTheFirstBadRecord) {
    Pcap tiny, magic;
    tiny.bytes.resize(10);
    magic.bytes[0] ^= 0xFF;
    for (auto [pcap, args, msg] : std::vector<std::tuple<Pcap, std::string, std::string>>{
             {tiny, "", "not a tcpdump file (too short)"},
             {magic, "", "not a tcpdump file (bad magic number)"},
             {Pcap(1, 65535, 0xa1b2c3d4, 3), "", "unknown major version 3"},
             {Pcap(147), "FORCE_IP true", "unknown linktype 147; can't force IP packets"}}) {
        Result r = replay(pcap, args);
        EXPECT_FALSE(r.built) << msg;
        EXPECT_NE(r.errors.find(msg), std::string::npos) << r.errors;
    }
    EXPECT_TRUE(replay(Pcap(113), "FORCE_IP true").built);  // Linux cooked captures carry IP

    // A record header cut by the end of the file.
    Pcap cut = three_packets();
    cut.bytes.resize(cut.bytes.size() + 9, 0);
    Result r = replay(cut);
    EXPECT_EQ(r.count, "3");
    EXPECT_EQ(r.error, "bad packet header; giving up");

    // A record longer than the snap length is refused, not cut to size, and
    // nothing after it is read; likewise an impossible microsecond field.
    Pcap snap = three_packets(1, 60);
    size_t good = snap.bytes.size();
    snap.add(ether(ipv4(17, std::vector<uint8_t>(100))), 1700000010).add(ether(ipv4(17, {})), 1700000011);
    r = replay(snap);
    EXPECT_EQ(r.count, "3");
    EXPECT_EQ(r.error, "bad packet header; giving up");
    EXPECT_EQ(r.filepos, std::to_string(good));
    Pcap usec = three_packets();
    EXPECT_EQ(replay(usec.add(ether(ipv4(17, {})), 1700000005, 1000000)).error, "bad packet header; giving up");

    // Data cut short.
    Pcap data = three_packets();
    data.bytes.resize(data.bytes.size() - 5);
    r = replay(data);
    EXPECT_EQ(r.count, "2");
    EXPECT_EQ(r.error, "truncated packet; giving up");
}

TEST(WFromDump, TimeWindowsFileposTimingAndEndCall) {
    Pcap ten;
    for (uint32_t i = 0; i < 10; ++i)
        ten.add(ether(ipv4(17, std::vector<uint8_t>(8 + i))), 1000 + i);
    auto seconds = [&](const std::string& args) {
        std::vector<int> s;
        for (int64_t t : replay(ten, args).stamps)
            s.push_back(int(t / 1000000000 - 1000));
        return s;
    };
    EXPECT_EQ(seconds("START_AFTER 2, INTERVAL 3"), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(seconds("START 1007.5"), (std::vector<int>{8, 9}));
    EXPECT_EQ(seconds("END_AFTER 1.5"), (std::vector<int>{0, 1}));
    EXPECT_EQ(seconds("END 1001"), (std::vector<int>{0}));
    // The 8th record: a 24-byte file header, records of 16 + 42 + i bytes.
    EXPECT_EQ(seconds("FILEPOS " + std::to_string(24 + 7 * 58 + 21)), (std::vector<int>{7, 8, 9}));
    EXPECT_NE(replay(ten, "START 1, START_AFTER 1").errors.find("at most one of START and START_AFTER"), std::string::npos);
    EXPECT_NE(replay(ten, "END 1, INTERVAL 1").errors.find("at most one of END, END_AFTER, and INTERVAL"), std::string::npos);

    // TIMING keeps the file's spacing: 3 packets 100 ms apart.
    Pcap spaced;
    for (uint32_t i = 0; i < 3; ++i)
        spaced.add(ether(ipv4(17, std::vector<uint8_t>(8))), 1, i * 100000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(replay(spaced, "TIMING true").count, "3");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));

    // END_CALL runs at the end of the file, also when a bad record ended it:
    // here it resets the counter the packets went through.
    Pcap bad = ten;
    bad.bytes.resize(bad.bytes.size() - 3);
    for (const Pcap& p : {ten, bad}) {
        diag_test::TempDir dir;
        p.write(dir / "in.pcap");
        std::string count;
        ASSERT_TRUE(diag_test::run_router("WFromDump(" + (dir / "in.pcap") + ", STOP true, END_CALL c.reset) -> c :: WCounter -> Discard;",
                                          nullptr, [&](Router* r) { count = diag_test::read_handler(r, "c.count"); }));
        EXPECT_EQ(count, "0");
    }
}

TEST(WFromDump, RandomAndCutFilesNeverReadPastTheirEnd) {
    std::mt19937 rng(5);
    Pcap base = three_packets(1, 200);
    for (int i = 0; i < 100; ++i) {
        Pcap p = base;
        p.bytes.resize(rng() % (base.bytes.size() + 1));
        for (int k = 0, n = int(rng() % 6); k < n && !p.bytes.empty(); ++k)
            p.bytes[rng() % p.bytes.size()] = uint8_t(rng());
        Result r = replay(p, rng() % 2 ? "FORCE_IP true" : "");
        if (r.built) {
            EXPECT_LE(std::stoul(r.filepos), p.bytes.size());
        }
    }
}
