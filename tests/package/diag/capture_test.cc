// WIPPrint against tcpdump. Two namespaces joined by a veth pair exchange TCP
// (handshake, data, FIN, ACK-only, a reset), UDP to a closed port and its
// ICMP unreachable, pings and fragmented pings, while tcpdump captures them
// whole and cut at 44, 36 and 30 bytes. Each capture is printed by WFromDump
// -> WIPPrint and by tcpdump -nn -S -v -tt and compared field by field,
// packet by packet. Needs root and tcpdump; skipped otherwise.
#include <gtest/gtest.h>

#include <signal.h>

#include <map>
#include <regex>
#include <sstream>

#include "diag.hh"

namespace {

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

bool wait_until(const std::function<bool()>& f) {
    for (int i = 0; i < 50 && !f(); ++i)
        usleep(100000);
    return f();
}

// One packet as a printer saw it; `rest` is what follows "SRC > DST: ".
struct Seen {
    std::string ts, src, dst, rest;
    long id = -1, ttl = -1, tos = -1, length = -1, offset = 0;
    bool more = false, truncated_ip = false;
};

// tcpdump -v: a header line per packet, then indented lines; IPv4 only.
std::vector<Seen> parse_tcpdump(const std::string& text) {
    static const std::regex head(
        R"(^(\d+\.\d+) IP (?:\(tos 0x([0-9a-f]+), ttl (\d+), id (\d+), offset (\d+), flags \[([^\]]*)\], proto \S+ \(\d+\), length (\d+)\))?(.*)$)");
    static const std::regex body(R"(^\s+(\S+) > (\S+): (.*)$)");
    std::vector<Seen> out;
    std::istringstream in(text);
    bool want_body = false;
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_match(l, m, head)) {
            Seen s;
            s.ts = m[1];
            if (m[2].matched)
                s.tos = std::stol(m[2], nullptr, 16), s.ttl = std::stol(m[3]), s.id = std::stol(m[4]),
                s.offset = std::stol(m[5]), s.more = m[6].str().find('+') != std::string::npos, s.length = std::stol(m[7]);
            s.truncated_ip = m[8].str().find("[|ip]") != std::string::npos;
            want_body = !s.truncated_ip;
            out.push_back(s);
        } else if (want_body && std::regex_match(l, m, body)) {
            out.back().src = m[1], out.back().dst = m[2], out.back().rest = m[3];
            want_body = false;
        } else if (!l.empty() && l[0] != ' ' && l[0] != '\t') {
            want_body = false;  // ARP and the like
        }
    }
    return out;
}

std::vector<Seen> parse_wipprint(const std::string& text) {
    static const std::regex line(R"(^(\d+\.\d{6})000: (?:(truncated-ip)|id (\d+) ttl (\d+) tos (\d+) length (\d+) (\S+) > (\S+): (.*?)(?: \(frag (\d+):(\d+)@(\d+)(\+?)\))?)$)");
    std::vector<Seen> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) {
            ADD_FAILURE() << "unexpected WIPPrint line: " << l;
            continue;
        }
        Seen s;
        s.ts = m[1];
        s.truncated_ip = m[2].matched;
        if (!s.truncated_ip)
            s.id = std::stol(m[3]), s.ttl = std::stol(m[4]), s.tos = std::stol(m[5]), s.length = std::stol(m[6]),
            s.src = m[7], s.dst = m[8], s.rest = m[9];
        if (m[10].matched) {
            EXPECT_EQ(std::stol(m[10]), s.id) << l;
            EXPECT_EQ(std::stol(m[11]), s.length - 20) << l;
            s.offset = std::stol(m[12]), s.more = m[13] == "+";
        }
        out.push_back(s);
    }
    return out;
}

long field(const std::string& text, const std::string& name) {
    std::smatch m;
    return std::regex_search(text, m, std::regex("(?:^|[ ,])" + name + " (\\d+)")) ? std::stol(m[1]) : -1;
}

bool starts(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// Compares the protocol parts of one packet; returns the kind of packet.
std::string compare_transport(const std::string& td, const std::string& wp) {
    SCOPED_TRACE(td + " | " + wp);
    if (starts(td, "Flags [")) {
        std::string flags = td.substr(7, td.find(']') - 7), letters;
        for (char c : std::string("SFRP"))
            if (flags.find(c) != std::string::npos)
                letters += c;
        std::smatch m;
        if (!std::regex_search(wp, m, std::regex(R"(^(\S+) (\d+):(\d+)\(\d+,\d+,\d+\))"))) {
            ADD_FAILURE();
            return "";
        }
        EXPECT_EQ(m[1], letters.empty() ? "." : letters);
        // tcpdump's range leaves out SYN and FIN; WIPPrint's counts them.
        uint64_t syn_fin = (letters.find('S') != std::string::npos) + (letters.find('F') != std::string::npos);
        std::smatch s;
        if (std::regex_search(td, s, std::regex(R"(seq (\d+)(?::(\d+))?)"))) {
            EXPECT_EQ(std::stoull(m[2]), std::stoull(s[1]));
            EXPECT_EQ(std::stoull(m[3]), (std::stoull(s[s[2].matched ? 2 : 1]) + syn_fin) & 0xFFFFFFFFu);
        }
        EXPECT_EQ(flags.find('.') != std::string::npos, wp.find(" ack ") != std::string::npos);
        EXPECT_EQ(field(wp, "ack"), field(td, "ack"));
        EXPECT_EQ(field(wp, "win"), field(td, "win"));
        return "tcp";
    }
    for (const char* proto : {"tcp", "udp"})
        if (td.find(std::string("[|") + proto + "]") != std::string::npos) {
            EXPECT_NE(wp.find(std::string("truncated-") + proto), std::string::npos);
            return std::string("truncated-") + proto;
        }
    if (starts(td, "UDP, length ")) {
        EXPECT_EQ(wp, "udp " + std::to_string(std::stol(td.substr(12)) + 8));
        return "udp";
    }
    if (starts(td, "ICMP echo re")) {
        std::string kind = starts(td, "ICMP echo request") ? "icmp echo" : "icmp echo-reply";
        EXPECT_EQ(wp, kind + " id " + std::to_string(field(td, "id")) + " seq " + std::to_string(field(td, "seq")));
        return kind;
    }
    if (std::regex_search(td, std::regex(R"(^ICMP \S+ udp port \d+ unreachable)"))) {
        EXPECT_EQ(wp, "icmp unreachable port");
        return "icmp unreachable";
    }
    if (td == "ip-proto-1") {  // a later ICMP fragment
        EXPECT_EQ(wp, "icmp");
        return "icmp fragment";
    }
    if (td.find("[|icmp]") != std::string::npos) {  // WIPPrint needs fewer bytes for some types
        EXPECT_TRUE(starts(wp, "icmp") || wp == "truncated-icmp");
        return "truncated-icmp";
    }
    ADD_FAILURE() << "no rule for this packet";
    return "";
}

}  // namespace

TEST(WIPPrintCapture, AgreesWithTcpdumpFieldByField) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    if (!sh("command -v tcpdump") || !sh("command -v nc") || !sh("command -v ping"))
        GTEST_SKIP() << "needs tcpdump, nc and ping";
    std::string tag = std::to_string(getpid() % 100000), a = "qdiag" + tag + "a", b = "qdiag" + tag + "b";
    std::string dev = "qdg" + tag + "a", in_a = "ip netns exec " + a + " ", in_b = "ip netns exec " + b + " ";
    struct Cleanup {
        std::string a, b;
        ~Cleanup() { sh("ip netns del " + a), sh("ip netns del " + b); }
    } cleanup{a, b};
    ASSERT_TRUE(sh("ip netns add " + a) && sh("ip netns add " + b) &&
                sh("ip link add " + dev + " netns " + a + " type veth peer name qdg" + tag + "b netns " + b));
    for (auto [ns, d, addr] : {std::tuple{a, dev, "10.98.0.1/24"}, std::tuple{b, "qdg" + tag + "b", "10.98.0.2/24"}})
        ASSERT_TRUE(sh("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1") &&
                    sh("ip -n " + ns + " link set " + d + " up") && sh("ip -n " + ns + " addr add " + addr + " dev " + d));

    diag_test::TempDir dir;
    const std::vector<int> snaps = {0, 44, 36, 30};
    std::vector<int> pids;
    for (int snap : snaps) {
        std::string f = dir / ("cap" + std::to_string(snap));
        std::system((in_a + "tcpdump -i " + dev + " --immediate-mode -U -s " + std::to_string(snap) + " -w " + f +
                     ".pcap >/dev/null 2>" + f + ".err & echo $! > " + f + ".pid").c_str());
        ASSERT_TRUE(wait_until([&] { return diag_test::slurp(f + ".err").find("listening on") != std::string::npos; }));
        pids.push_back(std::stoi(diag_test::slurp(f + ".pid")));
    }
    // TCP: handshake, data, FIN both ways, pure ACKs; a reset from a closed
    // port; UDP to a closed port and its ICMP unreachable; pings, fragmented.
    sh(in_b + "timeout 10 nc -l 5001 >/dev/null 2>&1 &");
    ASSERT_TRUE(wait_until([&] { return sh(in_b + "ss -Hltn sport = :5001 | grep -q 5001"); }));
    EXPECT_TRUE(sh("printf 'hello world' | " + in_a + "timeout 5 nc -N 10.98.0.2 5001"));
    sh(in_a + "timeout 5 nc -z 10.98.0.2 5003");
    sh(in_a + "bash -c 'echo hi > /dev/udp/10.98.0.2/5002'");
    EXPECT_TRUE(sh(in_a + "ping -c 2 -i 0.2 -W 2 10.98.0.2"));
    EXPECT_TRUE(sh(in_a + "ping -c 1 -s 3000 -W 2 10.98.0.2"));
    usleep(300000);
    for (int pid : pids)
        kill(pid, SIGINT);
    for (int pid : pids)
        wait_until([&] { return kill(pid, 0) != 0; });

    std::map<std::string, int> kinds;
    for (int snap : snaps) {
        std::string f = dir / ("cap" + std::to_string(snap)), err, td_text;
        ASSERT_TRUE(diag_test::run_router("WFromDump(" + f + ".pcap, STOP true, FORCE_IP true) -> WIPPrint(OUTFILE " + f +
                                              ".wip, ID true, TTL true, TOS true, LENGTH true) -> Discard;",
                                          &err))
            << err;
        std::system(("tcpdump -nn -S -v -tt -r " + f + ".pcap >" + f + ".td 2>/dev/null").c_str());
        std::vector<Seen> td = parse_tcpdump(diag_test::slurp(f + ".td")), wp = parse_wipprint(diag_test::slurp(f + ".wip"));
        ASSERT_EQ(td.size(), wp.size()) << "capture -s " << snap;
        ASSERT_GE(td.size(), 20u) << diag_test::slurp(f + ".td");
        for (size_t i = 0; i < td.size(); ++i) {
            const Seen &t = td[i], &w = wp[i];
            SCOPED_TRACE("-s " + std::to_string(snap) + " packet " + std::to_string(i));
            EXPECT_EQ(w.ts, t.ts);
            EXPECT_EQ(w.truncated_ip, t.truncated_ip);
            kinds["truncated-ip"] += t.truncated_ip;
            if (t.truncated_ip)
                continue;
            EXPECT_EQ(std::tie(w.id, w.ttl, w.tos, w.length, w.offset, w.more), std::tie(t.id, t.ttl, t.tos, t.length, t.offset, t.more));
            EXPECT_EQ(w.src, t.src);
            EXPECT_EQ(w.dst, t.dst);
            ++kinds[compare_transport(t.rest, w.rest)];
        }
    }
    for (const char* k : {"tcp", "truncated-tcp", "udp", "truncated-udp", "icmp echo", "icmp echo-reply", "icmp unreachable",
                          "icmp fragment", "truncated-icmp", "truncated-ip"})
        EXPECT_GT(kinds[k], 0) << k;
}
