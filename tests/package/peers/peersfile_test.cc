// Peers file: the line format, awkward host names, long lines, keyword forms,
// parse errors and a crash in the middle of a write.
#include <host/errorhandler.hh>

#include <random>

#include "peerstest.hh"
#include "sessions/peersfile.hh"

using namespace peers_test;

namespace {

PeerInfo peer(const char* addr, int port, const std::string& name, const char* mac) {
    PeerInfo p;
    p.peer = IPAddress(addr);
    p.port = port;
    p.hostname = name;
    EtherAddress::parse(mac, p.mac);
    return p;
}

}  // namespace

TEST(PeersFile, PlainLinesKeepTheirFormat) {
    PeerInfo p = peer("10.1.1.2", 1, "branch", "00-11-22-33-44-55");
    EXPECT_EQ(peersfile::format_line(p), "10.1.1.2, 1, branch, 00-11-22-33-44-55");
    p.hostname.clear();
    EXPECT_EQ(peersfile::format_line(p), "10.1.1.2, 1, , 00-11-22-33-44-55");

    PeerInfo q;
    ASSERT_TRUE(peersfile::parse_line("10.1.1.2, 1, branch, 00-11-22-33-44-55", &q));
    EXPECT_EQ(q.peer, IPAddress("10.1.1.2"));
    EXPECT_EQ(q.port, 1);
    EXPECT_EQ(q.hostname, "branch");
    EXPECT_EQ(q.mac.unparse_dash(), "00-11-22-33-44-55");
    // Keywords in front of the values, optional fields left out.
    ASSERT_TRUE(peersfile::parse_line("OUTPUT_PORT 3, PEER_IP 10.9.9.9", &q));
    EXPECT_EQ(q.peer, IPAddress("10.9.9.9"));
    EXPECT_EQ(q.port, 3);
    EXPECT_EQ(q.hostname, "");
    EXPECT_TRUE(q.mac.is_zero());
    ASSERT_TRUE(peersfile::parse_line("10.1.1.3, 2, , 00:11:22:33:44:66", &q));
    EXPECT_EQ(q.hostname, "");

    for (const char* bad : {"10.1.1", "10.1.1.2", "10.1.1.2, x", "10.1.1.2, -1", "10.1.1.2, 1, a, 00-11",
                            "10.1.1.2, 1, a, 00-11-22-33-44-55, extra", "PEER_IP, 1", "10.1.1.2, 1, \"open"})
        EXPECT_FALSE(peersfile::parse_line(bad, &q)) << bad;
}

TEST(PeersFile, AwkwardHostNamesSurviveARoundTrip) {
    std::vector<std::string> names = {
        "a,b", "say \"hi\"", "two\nlines", "tab\there", "back\\slash", "$HOME", "PEER_IP 1.2.3.4",
        "// not a comment", "/* nor this */", "'single'", std::string(250, 'x'), std::string(255, ','),
        std::string("nul\0byte", 8), "\xff\xfe high bytes", " leading and trailing ", "(paren", "[x]{y}",
    };
    TempDir dir;
    std::string path = dir.file("peers");
    std::vector<PeerInfo> peers;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string a = "10.0.0." + std::to_string(i + 1);
        peers.push_back(peer(a.c_str(), int(i + 1), names[i], "02-00-00-00-00-01"));
        std::string line = peersfile::format_line(peers.back());
        EXPECT_EQ(line.find('\n'), std::string::npos) << names[i];
    }
    std::string err;
    ASSERT_EQ(peersfile::write(path, peers, &err), 0) << err;
    std::vector<PeerInfo> back;
    StringErrorHandler errh;
    ASSERT_EQ(peersfile::read(path, &back, &errh), 0) << errh.text();
    ASSERT_EQ(back.size(), peers.size());
    for (size_t i = 0; i < peers.size(); ++i) {
        EXPECT_EQ(back[i].hostname, names[i]) << i;
        EXPECT_EQ(back[i].peer, peers[i].peer);
        EXPECT_EQ(back[i].port, peers[i].port);
        EXPECT_EQ(back[i].mac, peers[i].mac);
    }
    // One line per peer, however long.
    std::string text = slurp(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), long(peers.size()));
}

TEST(PeersFile, ReadSkipsEmptyLinesAndReportsBadOnes) {
    TempDir dir;
    std::string path = dir.file("peers");
    spit(path, "\n10.1.1.2, 1, branch, 00-11-22-33-44-55\r\n   \n10.1.1.3, 2\n");
    std::vector<PeerInfo> v;
    StringErrorHandler errh;
    ASSERT_EQ(peersfile::read(path, &v, &errh), 0);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1].peer, IPAddress("10.1.1.3"));

    spit(path, "10.1.1.2, 1\nnot a peer line\n");
    EXPECT_LT(peersfile::read(path, &v, &errh), 0);
    EXPECT_NE(errh.text().find("Peer config file parse error: not a peer line"), std::string::npos) << errh.text();

    // Missing: created empty.
    std::string fresh = dir.file("fresh");
    ASSERT_EQ(peersfile::read(fresh, &v, &errh), 0);
    EXPECT_TRUE(v.empty());
    EXPECT_TRUE(std::filesystem::exists(fresh));

    errh.clear();
    EXPECT_LT(peersfile::read(dir.file("no/such/dir/peers"), &v, &errh), 0);
    EXPECT_NE(errh.text().find("Unable to open peers config file: "), std::string::npos);
}

TEST(PeersFile, CrashDuringWriteLeavesTheOldFile) {
    TempDir dir;
    std::string path = dir.file("peers");
    std::vector<PeerInfo> old = {peer("10.1.1.2", 1, "old", "00-11-22-33-44-55")};
    std::string err;
    ASSERT_EQ(peersfile::write(path, old, &err), 0);
    std::string before = slurp(path);

    std::vector<PeerInfo> next;
    for (int i = 1; i <= 20; ++i)
        next.push_back(peer(("10.2.0." + std::to_string(i)).c_str(), i, std::string(200, 'n'), "00-00-00-00-00-01"));
    for (long cut : {0L, 1L, 100L, 1000L, 3000L}) {
        peersfile::crash_after_bytes = cut;
        EXPECT_LT(peersfile::write(path, next, &err), 0);
        peersfile::crash_after_bytes = -1;
        EXPECT_EQ(slurp(path), before) << cut;
        std::vector<PeerInfo> v;
        StringErrorHandler errh;
        ASSERT_EQ(peersfile::read(path, &v, &errh), 0);
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0].hostname, "old");
    }
    // A complete write replaces it.
    ASSERT_EQ(peersfile::write(path, next, &err), 0);
    std::vector<PeerInfo> v;
    StringErrorHandler errh;
    ASSERT_EQ(peersfile::read(path, &v, &errh), 0);
    EXPECT_EQ(v.size(), 20u);

    // An unwritable directory: reported, the file stays.
    EXPECT_LT(peersfile::write(dir.file("missing/peers"), next, &err), 0);
    EXPECT_FALSE(err.empty());
}

TEST(PeersFile, RandomLinesNeverCrashTheParser) {
    std::mt19937 rng(7);
    const std::string alphabet = "0123456789.,-: \"'\\/*$abcPEER_IPOUTPUT_PORTHOSTNAME\n\t";
    PeerInfo q;
    for (int i = 0; i < 3000; ++i) {
        std::string s;
        size_t n = rng() % 80;
        for (size_t j = 0; j < n; ++j)
            s += rng() % 8 ? alphabet[rng() % alphabet.size()] : char(rng() % 256);
        peersfile::parse_line(s, &q);
    }
    // Whatever parses formats to a line that parses to the same peer.
    PeerInfo p = peer("1.2.3.4", 7, std::string("\x01\x02,\"", 4), "aa-bb-cc-dd-ee-ff");
    ASSERT_TRUE(peersfile::parse_line(peersfile::format_line(p), &q));
    EXPECT_EQ(q.hostname, p.hostname);
}
