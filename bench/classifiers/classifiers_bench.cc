// Per-packet cost of protocol detection and rule classification.
//
// A capture of many sessions is built in memory and replayed packet by
// packet, sessions interleaved as on a busy link: a quarter HTTP requests
// and responses, a quarter DNS queries and answers, half TCP and UDP
// sessions of random bytes that nDPI never names (they use the whole
// packet budget). Every figure is the time of one push into the element,
// against Null's push of the same packets in the same run (CPU time of the
// pushing thread):
//   - WDPI while detection runs (the first packets of every session, the
//     sessions made anew before each repetition);
//   - WDPI once every session is detected (only the stamp);
//   - DPIClassifier with 32 rules (prefixes, port lists of both kinds,
//     DSCP, detected protocols) on packets that each match one rule, every
//     rule equally often.
//
//   build/bin/classifiers_bench [SESSIONS] [REPETITIONS]
#include <host/element.hh>
#include <host/glue.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <arpa/inet.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "classifiers/dpiclassifier.hh"
#include "classifiers/wdpi.hh"
#include "common/annotations.hh"
#include "common/registration.hh"
#include "sessions/sessionmanager.hh"

namespace {

// Leaves packets with their owner: the benchmark reuses them.
class Hold : public Element {
  public:
    const char* class_name() const override { return "QuiloBenchHold"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet*) override {}
};

struct Frame {
    uint32_t src, dst;  // host order
    uint16_t sport, dport;
    uint8_t proto, tos = 0;
    std::vector<uint8_t> payload;

    Packet* packet() const {
        size_t th = proto == 6 ? 20 : 8;
        std::vector<uint8_t> b(14 + 20 + th + payload.size(), 0);
        b[12] = 0x08;
        uint8_t* ip = &b[14];
        ip[0] = 0x45;
        ip[1] = tos;
        uint16_t tot = htons(uint16_t(20 + th + payload.size()));
        std::memcpy(ip + 2, &tot, 2);
        ip[8] = 64;
        ip[9] = proto;
        uint32_t s = htonl(src), d = htonl(dst);
        std::memcpy(ip + 12, &s, 4);
        std::memcpy(ip + 16, &d, 4);
        uint16_t sp = htons(sport), dp = htons(dport);
        std::memcpy(ip + 20, &sp, 2);
        std::memcpy(ip + 22, &dp, 2);
        if (proto == 6) {
            ip[32] = 0x50;
            ip[33] = 0x18;  // PSH ACK
        } else {
            uint16_t ul = htons(uint16_t(8 + payload.size()));
            std::memcpy(ip + 24, &ul, 2);
        }
        std::copy(payload.begin(), payload.end(), b.begin() + long(14 + 20 + th));
        WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
        p->set_mac_header(p->data(), 14);
        p->set_network_header(p->data() + 14, 20);
        p->set_timestamp_anno(Timestamp::make_sec(1700000000));
        return p;
    }
    Frame reversed() const {
        Frame f = *this;
        std::swap(f.src, f.dst);
        std::swap(f.sport, f.dport);
        return f;
    }
};

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Packets of `n` sessions, round-robin: packet k of every session, then
// packet k+1. `dir` gets each packet's session-manager input.
std::vector<Packet*> capture(size_t n, std::vector<int>* dir) {
    std::mt19937 rng(1);
    std::vector<std::vector<std::pair<Frame, int>>> sessions(n);
    for (size_t i = 0; i < n; ++i) {
        Frame c{0x0a000000u + uint32_t(i >> 8) * 256 + 1, 0xc0a80000u + uint32_t(i & 0xFF), uint16_t(20000 + i % 40000),
                80, 6, 0, {}};
        auto& s = sessions[i];
        auto noise = [&](size_t len) {
            std::vector<uint8_t> v(len);
            for (auto& x : v)
                x = uint8_t(rng());
            return v;
        };
        switch (i % 4) {
        case 0:  // HTTP
            c.payload = bytes("GET /index.html HTTP/1.1\r\nHost: www.quilo.test\r\nUser-Agent: bench\r\n\r\n");
            s.push_back({c, 0});
            c = c.reversed();
            c.payload = bytes("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Type: text/html\r\n\r\n");
            s.push_back({c, 1});
            break;
        case 1: {  // DNS
            c.proto = 17;
            c.dport = 53;
            c.payload = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'w', 'w', 'w', 5, 'q', 'u', 'i', 'l', 'o',
                         4,    't',  'e', 's', 't', 0, 0, 1, 0, 1};
            s.push_back({c, 0});
            Frame r = c.reversed();
            r.payload[2] = 0x81;
            r.payload[3] = 0x80;
            s.push_back({r, 1});
            break;
        }
        default:  // random bytes, TCP or UDP: the whole budget
            c.proto = (i % 8 < 4) ? 6 : 17;
            c.dport = uint16_t(30000 + i % 1000);
            for (int k = 0; k < 12; ++k) {
                Frame f = (k & 1) ? c.reversed() : c;
                f.payload = noise(200 + size_t(rng() % 800));
                s.push_back({f, k & 1});
            }
        }
    }
    std::vector<Packet*> out;
    for (size_t k = 0;; ++k) {
        bool any = false;
        for (auto& s : sessions)
            if (k < s.size()) {
                out.push_back(s[k].first.packet());
                dir->push_back(s[k].second);
                any = true;
            }
        if (!any)
            break;
    }
    return out;
}

// Time on this thread's CPU: the machine may be shared, and the figures
// are about the work, not about waiting for a core.
double now_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// ns per packet of pushing every packet into input `in_of(i)` of `e`. Each
// packet's IP header and annotations are read first, for the baseline too:
// a capture larger than the caches makes every first touch a miss, which is
// the replay's cost (in a router, the elements before have paid it), not the
// element's.
template <typename In>
double time_pushes(Element* e, const std::vector<Packet*>& pkts, In in_of) {
    unsigned sink = 0;
    double t0 = now_ns();
    for (size_t i = 0; i < pkts.size(); ++i) {
        sink += *reinterpret_cast<const volatile uint8_t*>(pkts[i]->data() + 14 + 9) + session_id_anno(pkts[i]);
        e->push(in_of(i), pkts[i]);
    }
    double t = (now_ns() - t0) / double(pkts.size());
    asm volatile("" : : "r"(sink));
    return t;
}

// The 32 rules and, for each, a packet that it (and no rule before it) matches.
std::string rules(std::vector<Packet*>* pkts) {
    std::string conf;
    auto base = [] { return Frame{0xac100001, 0xac200001, 7, 9, 6, 0, std::vector<uint8_t>(100, 0x55)}; };
    for (int i = 0; i < 32; ++i) {
        Frame f = base();
        uint16_t dpi_app = 0;
        std::string r;
        switch (i % 4) {
        case 0:  // prefixes
            r = "src 10." + std::to_string(i) + ".0.0/16 and dst 192.168." + std::to_string(i) + ".0/24 and udp";
            f.proto = 17;
            f.src = 0x0a000000u | uint32_t(i) << 16 | 5;
            f.dst = 0xc0a80000u | uint32_t(i) << 8 | 7;
            break;
        case 1:  // OR port list
            r = "src 0.0.0.0/0 and dst 0.0.0.0/0 and dst tcp port " + std::to_string(1000 + i) + " or " +
                std::to_string(2000 + i) + " or " + std::to_string(3000 + i) + " or " + std::to_string(4000 + i);
            f.dport = uint16_t(3000 + i);
            break;
        case 2:
            if (i % 8 == 2) {  // AND port range
                r = "src 0.0.0.0/0 and dst 0.0.0.0/0 and udp port > " + std::to_string(10000 + 100 * i) + " and < " +
                    std::to_string(10050 + 100 * i);
                f.proto = 17;
                f.sport = uint16_t(10025 + 100 * i);
            } else {  // DSCP
                r = "src 0.0.0.0/0 and dst 0.0.0.0/0 and dscp " + std::to_string(i) + " or " + std::to_string(i + 1);
                f.tos = uint8_t((i + 1) << 2);
            }
            break;
        default:  // detected protocols
            r = "src 0.0.0.0/0 and dst 0.0.0.0/0 and dpi " + std::to_string(100 + i) + " or " + std::to_string(200 + i) +
                " or " + std::to_string(300 + i);
            dpi_app = uint16_t(200 + i);
            break;
        }
        conf += (i ? ", " : "") + r;
        Packet* p = f.packet();
        set_dpi_proto_anno(p, dpi_app);
        pkts->push_back(p);
    }
    return conf;
}

}  // namespace

int main(int argc, char** argv) {
    size_t nsessions = argc > 1 ? size_t(std::atol(argv[1])) : 20000;
    int reps = argc > 2 ? std::atoi(argv[2]) : 5;
    click_add_element_type<Hold>("QuiloBenchHold");
    if (init_module() != 0)
        return 1;
    click_set_current_thread_id(0);  // push as router thread 0 does

    std::vector<Packet*> rule_pkts;
    std::string rule_conf = rules(&rule_pkts);
    std::string outs;
    for (int i = 0; i < 32; ++i)
        outs += "cls[" + std::to_string(i) + "] -> [" + std::to_string(6 + i) + "]h; ";
    Master master(1);
    Router* router = Router::create(
        "WConf(MAX_PEERS 1, LOG_LEVEL 4); sm :: SessionManager; dpi :: WDPI(NOTIFIER sm, LOCAL_IP 10.255.255.254);"
        "n :: Null; cls :: DPIClassifier(" + rule_conf + "); h :: QuiloBenchHold;"
        "Idle -> [0]sm[0] -> [0]h; Idle -> [1]sm[1] -> [1]h; Idle -> [0]dpi[0] -> [2]h; Idle -> [1]dpi[1] -> [3]h;"
        "Idle -> n -> [4]h; Idle -> [5]h; Idle -> cls; " + outs,
        "bench", {}, ErrorHandler::default_handler(), &master);
    if (!router || router->initialize(ErrorHandler::default_handler()) < 0)
        return 1;
    auto* sm = static_cast<SessionManager*>(router->find("sm"));
    auto* dpi = static_cast<WDPI*>(router->find("dpi"));
    Element* null = router->find("n");
    auto* cls = static_cast<DPIClassifier*>(router->find("cls"));

    std::vector<int> dir;
    std::vector<Packet*> pkts = capture(nsessions, &dir);
    std::vector<Packet*> rule_stream;  // every rule equally often, in a scrambled order
    std::mt19937 rng(9);
    for (size_t i = 0; i < pkts.size(); ++i)
        rule_stream.push_back(rule_pkts[rng() % rule_pkts.size()]);

    auto in_of = [&](size_t i) { return dir[i]; };
    auto zero = [](size_t) { return 0; };
    std::vector<double> base, detecting, stamped, base_rules, rules_ns;
    for (int r = 0; r < reps; ++r) {
        // Sessions anew: the manager's records (and so WDPI's) are made by
        // the first pass, outside the timing, and detection starts over.
        for (size_t i = 0; i < pkts.size(); ++i)
            sm->push(dir[i], pkts[i]);
        std::vector<uint32_t> ids;
        for (Packet* p : pkts)
            ids.push_back(session_id_anno(p));
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        IPFlowID key;  // detection records keep the key for handlers only
        for (uint32_t id : ids) {
            dpi->detector()->session_notify(id, SessionListener::MASK_TCP, SessionListener::SESSION_DELETED, &key, nullptr);
            dpi->detector()->session_notify(id, SessionListener::MASK_TCP, SessionListener::SESSION_NEW, &key, nullptr);
        }
        base.push_back(time_pushes(null, pkts, in_of));
        detecting.push_back(time_pushes(dpi, pkts, in_of));
        stamped.push_back(time_pushes(dpi, pkts, in_of));
        base_rules.push_back(time_pushes(null, rule_stream, zero));
        rules_ns.push_back(time_pushes(cls, rule_stream, zero));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double b = median(base), d = median(detecting), s = median(stamped), br = median(base_rules),
           c = median(rules_ns);
    NDPIDetector::Stats st = dpi->detector()->stats();
    std::printf("%zu packets of %zu sessions (%llu detected, %llu by the port fallback), %d repetitions, medians\n",
                pkts.size(), nsessions, (unsigned long long)st.detected / unsigned(reps),
                (unsigned long long)st.undetected / unsigned(reps), reps);
    std::printf("%-36s %8.1f ns/packet\n", "Null (baseline)", b);
    std::printf("%-36s %8.1f ns/packet  +%.1f over Null\n", "WDPI while detecting", d, d - b);
    std::printf("%-36s %8.1f ns/packet  +%.1f over Null (goal: at most 30)\n", "WDPI once detected (stamp only)", s,
                s - b);
    std::printf("%-36s %8.1f ns/packet\n", "Null on the rule mix (baseline)", br);
    std::printf("%-36s %8.1f ns/packet  +%.1f over Null (goal: at most 60)\n", "DPIClassifier, 32 rules", c, c - br);
    // Check that every rule took its share.
    std::vector<int> hits(32, 0);
    for (Packet* p : rule_pkts)
        if (int o = cls->classify(p); o >= 0)
            ++hits[size_t(o)];
    for (int i = 0; i < 32; ++i)
        if (hits[size_t(i)] != 1)
            std::printf("warning: rule %d matched %d of the rule packets\n", i, hits[size_t(i)]);
    for (Packet* p : pkts)
        p->kill();
    for (Packet* p : rule_pkts)
        p->kill();
    delete router;
    return 0;
}
