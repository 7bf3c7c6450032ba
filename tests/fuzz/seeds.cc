// Writes the seed corpus of every fuzz target, made by the project's own
// encoders and elements: RSP and peer-information packets from their
// builders, compressed, deduplicated, stacked and parity packets from WComp,
// Dedup, Stacker and WFEC, captures from the host's pcap writer, datastore
// files from the byte-cache engine, the reference configurations.
//
//   fuzz_seeds SOURCE_DIR OUT_DIR     (scripts/fuzz.sh --seeds)
//
// Each target's seeds land in OUT_DIR/<target>/, one file per seed.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "dedup/persistentcache.hh"
#include "dedup/wdedup.hh"
#include "fuzz.hh"
#include "pcapfile.hh"
#include "peerinfo/peerinfo_wire.hh"
#include "rsp/rsp_wire.hh"
#include "sessions/peersfile.hh"

namespace fs = std::filesystem;

namespace {

std::string g_src, g_out;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
    fs::create_directories(g_out + "/" + target);
    std::ofstream(g_out + "/" + target + "/" + name, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Payload bytes of real text: the project's own sources, in a fixed order.
std::string real_data(size_t n) {
    static std::string all = read_file(g_src + "/README.md") + read_file(g_src + "/host/README.md") +
                             read_file(g_src + "/package/dedup/dedup.cc");
    std::string s;
    while (s.size() < n)
        s += all;
    return s.substr(0, n);
}

constexpr uint32_t kLocal = 0x0a000001, kPeer = 0x0a000002;  // the harnesses' tunnel ends

// An IPv4 packet with a TCP or UDP header; checksums set.
std::string ip_packet(uint8_t proto, uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                      const std::string& payload, uint8_t tcp_flags = 0x18, const std::string& options = "",
                      uint8_t tos = 0, uint16_t frag = 0) {
    size_t th = proto == 6 ? 20 + options.size() : proto == 17 ? 8 : 8;
    std::string b(20 + th, '\0');
    uint8_t* ip = reinterpret_cast<uint8_t*>(b.data());
    rsp::build_ipv4(ip, uint16_t(20 + th + payload.size()), 7, 64, proto, htonl(src), htonl(dst));
    ip[1] = tos;
    rsp::store16(ip + 6, frag);
    uint8_t* l4 = ip + 20;
    if (proto == 6 || proto == 17) {
        rsp::store16(l4, sport);
        rsp::store16(l4 + 2, dport);
    }
    if (proto == 6) {
        rsp::store32(l4 + 4, 1000);
        l4[12] = uint8_t((th / 4) << 4);
        l4[13] = tcp_flags;
        rsp::store16(l4 + 14, 65535);
        std::memcpy(l4 + 20, options.data(), options.size());
    } else if (proto == 17) {
        rsp::store16(l4 + 4, uint16_t(8 + payload.size()));
    } else {
        l4[0] = 8;  // ICMP echo
    }
    b += payload;
    fuzz::fix_sums(b);
    return b;
}

std::string packets(const std::vector<std::string>& v, uint8_t flags = fuzz::kFixSums) {
    std::string s;
    for (const std::string& p : v)
        fuzz::append_packet(s, flags, p.data(), p.size());
    return s;
}

// Keeps what reaches it, from the network header on, per input port.
class Collect : public Element {
  public:
    const char* class_name() const override { return "SeedCollect"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int port, Packet* p) override {
        const uint8_t* ip = p->has_network_header() ? p->network_header() : p->data();
        got[port].emplace_back(reinterpret_cast<const char*>(ip), size_t(p->end_data() - ip));
        p->kill();
    }
    std::map<int, std::vector<std::string>> got;
};

// A peers file naming `peer`, for the routers that build packets for it.
std::string peers_file_for(const char* peer) {
    static fuzz::TempFile f("seedpeers");
    f.write(std::string(peer) + ", 1, peer, 02-00-00-00-00-01\n");
    return f.path();
}

const char* const kWConf = "WConf(MAX_PEERS 1, LOG_LEVEL 4); Idle -> [0]sm :: SessionManager[0] -> Discard;"
                           "Idle -> [1]sm[1] -> Discard; c :: SeedCollect;";

void text_seeds() {
    for (const auto& e : fs::directory_iterator(g_src + "/conf"))
        seed("config", e.path().filename().string(), read_file(e.path().string()));
    seed("config", "small", "require(package \"quilo\"); define($N 3);\n"
                            "s :: InfiniteSource(LIMIT $N) -> c :: Counter -> [0]t :: Tee(2)[1] -> Discard;\n"
                            "t[0] -> q :: Queue(10) -> u :: Unqueue -> Discard; // comment\n");

    seed("args", "keywords", "LIMIT 5, NAME x, PORT 80, PROTO tcp, ACTIVE false, RATE 1.5, INTERVAL 10ms, "
                             "ADDR 10.0.0.1, PREFIX 10.0.0.0/8, ETH 00:11:22:33:44:55, N 1, N 0x2");
    seed("args", "rsp", "MODE $RSP_MODE, LOCAL_IP 10.77.0.11, WRTT pi1, WCOMP comp1, NOTIFIER ft, "
                        "PEER_OUTPUT_PORT 1, DELAYED_ACK_MS 10, MAX_RX_COUNT 8000");
    seed("args", "quoted", "\"a, \\\"b\\\"\\n\", 'c' /* x */ d // e\n, 10.0.0.0 255.0.0.0, 1.5h, -3, \\<0a0b>");

    const std::string hot = "s :: InfiniteSource(LIMIT 5) -> c :: Counter -> q :: Queue(10) -> Discard;";
    seed("controlsocket", "reads", "READ c.count\r\nREAD list\r\nread q.length\nREAD c.rate x\r\nREAD flatconfig\r\n"
                                   "CHECKREAD c.count\r\nCHECKWRITE q.reset\r\nREAD nosuch.x\r\nQUIT\r\n");
    seed("controlsocket", "writes", "WRITE p.color 9\r\nWRITE p.color 300\r\nWRITE q.reset\r\nWRITE sw.switch 1\r\n"
                                    "WRITEDATA p.color 1\r\n7READ p.color\r\nWRITEDATA x 99999999999\r\n");
    seed("controlsocket", "hotconfig", "WRITEDATA hotconfig " + std::to_string(hot.size()) + "\r\n" + hot +
                                           "READ c.count\r\nWRITE stop\r\n");

    PeerInfo a, b;
    a.peer = IPAddress("10.1.1.2");
    a.port = 1;
    a.hostname = "branch";
    EtherAddress::parse("00-11-22-33-44-55", a.mac);
    b.peer = IPAddress("10.1.1.3");
    b.port = 2;
    b.hostname = "name, with \"quotes\"\nand a newline";
    seed("peersfile", "peers", peersfile::format_line(a) + "\n" + peersfile::format_line(b) + "\n");
    seed("peersfile", "keywords", "PEER_IP 10.1.1.4, OUTPUT_PORT 3\n\n10.1.1.5, 1, x, 02-00-00-00-00-09\n");

    std::string rules = "src 0.0.0.0/0 and dst 0.0.0.0/0 and dpi 91 or 188\n"
                        "src 10.0.0.0/8 and dst 0.0.0.0/0 and dst tcp port 80 or 443\n"
                        "src 0.0.0.0/0 and dst 0.0.0.0/0 and udp port >= 1024 and <= 2047\n"
                        "src 0.0.0.0/0 and dst 0.0.0.0/0 and dscp 46\n"
                        "src 10.0.0.0 255.255.0.0 and dst 0.0.0.0/0 and src udp tcp port domain or <= 25\n"
                        "-";
    std::string in;
    in += char(rules.size() >> 8);
    in += char(rules.size() & 0xFF);
    in += rules;
    for (const std::string& p : {ip_packet(6, kLocal, kPeer, 40000, 80, "GET /"),
                                 ip_packet(17, kLocal, kPeer, 5000, 1500, "x"),
                                 ip_packet(1, kLocal, kPeer, 0, 0, "ping", 0, "", 46 << 2)}) {
        fuzz::append_packet(in, 0, p.data(), p.size());
        in += std::string("\x00\x5b", 2);
    }
    seed("dpirules", "example", in);

    // Route text: a configuration (a 2-byte length, then the text), then ctrl lines.
    auto routes = [](const std::string& conf, const std::string& ctrl) {
        return std::string(1, char(conf.size() >> 8)) + char(conf.size() & 0xFF) + conf + ctrl;
    };
    seed("route", "table", routes("10.0.0.0/8 0, 10.1.2.0/24 10.9.9.1 1, 10.1.2.3 2, 0.0.0.0/0 - 3, "
                                  "192.168.0.0/255.255.0.0 3, 10.1.0.0/16 1, 10.1.2.0/24 10.9.9.2 1",
                                  "add 172.16.0.0/12 10.0.0.254 2\nset 10.1.2.0/24 3\n"
                                  "remove 10.1.2.3/32 2\nremove 192.168.0.0/16 -\n  \nadd 10.128.0.0/9 0\n"));
    seed("route", "undone", routes("1.2.3.0/24 1", "add 1.2.4.0/24 1\nremove 1.2.3.0/24\nadd 1.2.4.0/24 2\n"));
}

void header_seeds() {
    std::string mss = std::string("\x02\x04\x05\xb4\x01\x03\x03\x07\x04\x02\x08\x0a", 12) + std::string(8, '\1');
    std::string syn = ip_packet(6, kLocal, kPeer, 40000, 80, "", 0x02, mss);
    std::string synack = ip_packet(6, kPeer, kLocal, 80, 40000, "", 0x12, mss);
    std::string nomss = ip_packet(6, kLocal, kPeer, 40001, 80, "", 0x02, std::string("\x01\x01\x04\x02", 4));
    std::string data = ip_packet(6, kLocal, kPeer, 40000, 80, real_data(1400));
    std::string udp = ip_packet(17, kLocal, kPeer, 5000, 53, real_data(1200));
    std::string udp0 = udp;
    udp0[26] = udp0[27] = 0;
    std::string frag = ip_packet(17, kLocal, kPeer, 5000, 53, real_data(600), 0, "", 0, 0x2000);
    std::string icmp = ip_packet(1, kLocal, kPeer, 0, 0, "ping");

    seed("headercheck", "mixed", packets({syn, data, udp, udp0, frag, icmp}));
    seed("mssadjust", "syns", packets({syn, synack, data}));
    seed("mssadjust", "addmissing", packets({nomss, syn}, fuzz::kFixSums | 2));
    std::string df = udp;
    df[6] = 0x40;
    fuzz::fix_sums(df);
    seed("fragment", "ip", packets({udp, frag}) + packets({df}, fuzz::kFixSums | 2 << 1));
    std::string f;
    fuzz::append_packet(f, fuzz::kFixSums | 2 << 1, data.data(), data.size());
    f += std::string("\0\0", 2);
    fuzz::append_packet(f, fuzz::kFixSums | 3 << 1, data.data(), data.size());
    f += std::string("\x01\x2c", 2);   // MTU 300 in the annotation
    seed("fragment", "tcp", f);

    std::string get = ip_packet(6, kLocal, 0x0a000063, 40000, 80,
                                "GET /index.html HTTP/1.1\r\nHost: example.org\r\nUser-Agent: curl/7.88\r\n\r\n");
    std::string resp = ip_packet(6, 0x0a000063, kLocal, 80, 40000, "HTTP/1.1 200 OK\r\nServer: nginx\r\n\r\n");
    std::string dns = ip_packet(17, kLocal, 0x0a000063, 40001, 53,
                                std::string("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07" "example\x03org\x00"
                                            "\x00\x01\x00\x01", 29));
    std::string wdpi;
    fuzz::append_packet(wdpi, fuzz::kFixSums, syn.data(), syn.size());
    fuzz::append_packet(wdpi, fuzz::kFixSums | 2, synack.data(), synack.size());
    fuzz::append_packet(wdpi, fuzz::kFixSums, get.data(), get.size());
    fuzz::append_packet(wdpi, fuzz::kFixSums | 2, resp.data(), resp.size());
    fuzz::append_packet(wdpi, fuzz::kFixSums, dns.data(), dns.size());
    seed("wdpi", "http_dns", wdpi);
}

void capture_seeds() {
    fuzz::TempFile f("seedpcap");
    std::string frame = std::string("\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00", 14) +
                        ip_packet(6, kLocal, kPeer, 40000, 80, real_data(300));
    std::string vlan = frame.substr(0, 12) + std::string("\x81\x00\x00\x05\x08\x00", 6) + frame.substr(14);
    std::string arp = frame.substr(0, 12) + std::string("\x08\x06", 2) + std::string(28, '\1');
    std::string udp = ip_packet(17, kLocal, kPeer, 5000, 53, "q");
    std::string err;
    for (int link : {pcapfile::kLinkEthernet, pcapfile::kLinkRaw}) {
        pcapfile::Writer w;
        if (!w.open(f.path(), link, 65535, &err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            std::exit(1);
        }
        const std::vector<std::string> recs =
            link == pcapfile::kLinkEthernet ? std::vector<std::string>{frame, vlan, arp} : std::vector<std::string>{udp};
        int64_t ts = 1700000000000000000;
        for (const std::string& r : recs)
            w.write(reinterpret_cast<const uint8_t*>(r.data()), uint32_t(r.size()), uint32_t(r.size()), ts += 1000000);
        w.close();
        std::string bytes = read_file(f.path());
        std::string name = link == pcapfile::kLinkEthernet ? "ether" : "raw";
        seed("pcap", name, bytes);
        seed("wfromdump", name, std::string(1, '\0') + bytes);
        seed("wfromdump", name + "_force_ip", std::string(1, '\x01') + bytes);
        seed("wfromdump", name + "_window", std::string(1, '\x0e') + bytes);
    }
}

void tunnel_seeds() {
    ShimConfig c;
    uint8_t buf[2048];
    // The peer's side of a connection to the harness's RSP (server, ISS 1).
    auto control = [&](uint8_t flags, uint16_t seq, uint16_t ack, bool syn, std::vector<rsp_eack_range> ranges) {
        rsp::ControlSpec s;
        s.src_net = htonl(kPeer);
        s.dst_net = htonl(kLocal);
        s.flags = flags;
        s.seq = seq;
        s.ack = ack;
        s.syn_ext = syn;
        s.max_outstanding = 64;
        s.ranges = ranges.data();
        s.nranges = unsigned(ranges.size());
        size_t n = rsp::build_control(buf, sizeof buf, c, s);
        return std::string(reinterpret_cast<char*>(buf), n);
    };
    auto stream = [&](uint16_t seq, uint16_t ack, const std::string& payload, uint32_t src = kPeer,
                      uint32_t dst = kLocal) {
        std::string b(20 + WSHIM_LEN + payload.size() + RSP_HEADER_LEN, '\0');
        uint8_t* ip = reinterpret_cast<uint8_t*>(b.data());
        size_t len = 20 + WSHIM_LEN + payload.size();
        rsp::build_ipv4(ip, uint16_t(len), 9, 250, 108, htonl(src), htonl(dst));
        ip[20] = WSHIM_MAGIC;
        ip[22] = 6;
        ip[23] = WSHIM_STREAM;
        std::memcpy(ip + 24, payload.data(), payload.size());
        b.resize(rsp::insert_data_header(ip, len, 20, seq, ack));
        return b;
    };
    std::string syn = control(RSP_FLAG_SYN, 100, 0, true, {});
    std::string ack = control(RSP_FLAG_ACK, 100, 1, false, {});
    std::string tcp = ip_packet(6, 0x0a000063, 0x0a000064, 80, 40000, real_data(200));
    std::string d1 = stream(101, 1, tcp.substr(20)), d3 = stream(103, 1, tcp.substr(20));
    std::string eack = control(RSP_FLAG_ACK | RSP_FLAG_EACK, 103, 2, false, {{4, 5}, {7, 7}});
    std::string rst = control(RSP_FLAG_RST, 104, 2, false, {});
    seed("rsp", "open", packets({syn, ack, d1, d3}));
    std::string own;
    for (const std::string& p : {syn, ack}) fuzz::append_packet(own, fuzz::kFixSums, p.data(), p.size());
    // Six packets of our own (sequence numbers 2 to 7) with the peer's data,
    // then the peer's EACK of 4-5 and 7, its next data, and a reset.
    for (const std::string& p : {d1, d3, d1, d3, d1, d3})
        fuzz::append_packet(own, fuzz::kFixSums | 2 | 60 << 2, p.data(), p.size());
    for (const std::string& p : {eack, d3, rst}) fuzz::append_packet(own, fuzz::kFixSums, p.data(), p.size());
    seed("rsp", "eack", own);

    peerinfo::Addr a;
    a.src_net = htonl(kPeer);
    a.dst_net = htonl(kLocal);
    auto pi = [&](size_t n) { return std::string(reinterpret_cast<char*>(buf), n); };
    std::string rq = pi(peerinfo::build_rtt(buf, sizeof buf, c, a, 0, WRTT_REQUEST, 12345));
    std::string rs = pi(peerinfo::build_rtt(buf, sizeof buf, c, a, 1, WRTT_RESPONSE, 12345));
    std::string hq = pi(peerinfo::build_host_info(buf, sizeof buf, c, a, true, "branch", 6));
    std::string hr = pi(peerinfo::build_host_info(buf, sizeof buf, c, a, false, "head \"office\"", 13));
    seed("peerinfo", "rtt", packets({rq, rs}));
    seed("peerinfo", "hostinfo", packets({hq, hr}));

    // Compressed tunnel packets, as WComp sends them, for the decompressor.
    fuzz::load_classes();
    click_add_element_type<Collect>("SeedCollect");
    // (Without an RSP to open the stream, WComp compresses statelessly.)
    for (int comp : {2, 3, 4, 5}) {
        fuzz::LiveRouter r(std::string(kWConf) + "Idle -> w :: WComp(COMPRESSOR " + std::to_string(comp) +
                           ", METHOD stateless, LEVEL 1) -> c;");
        for (int i = 0; i < 3; ++i)
            r.push(r.find("w"), 0, fuzz::make_frame(ip_packet(6, kPeer, kLocal, 80, 40000, real_data(900 + i))));
        Collect* col = static_cast<Collect*>(r.find("c"));
        seed("shim", "comp" + std::to_string(comp), packets(col->got[0]));
    }
}

void dedup_seeds() {
    std::string p1 = ip_packet(6, kLocal, kPeer, 40000, 80, real_data(1400));
    std::string p2 = ip_packet(17, kLocal, kPeer, 5000, 6000, real_data(1000));
    seed("dedup", "lan", packets({p1, p1, p2, p2}, fuzz::kFixSums | 2));

    fuzz::TempFile dir("seeddedup");
    mkdir(dir.path().c_str(), 0700);
    set_dedup_message_sink([](const char*) {});
    {
        fuzz::LiveRouter r(std::string(kWConf) + "Idle -> e :: Dedup(0, 7, DS_SIZE 1, DS_DIR " + dir.path() +
                           ") -> c; e[1] -> [1]c; e[2] -> [2]c;");
        for (int i = 0; i < 1000 && r.read("e.ds_ready") != "true"; ++i)
            usleep(10000);
        for (const std::string& p : {p1, p1, p2, p2})
            r.push(r.find("e"), 0, fuzz::make_frame(p));
        Collect* col = static_cast<Collect*>(r.find("c"));
        seed("dedup", "wire", packets(col->got[0]));
        // The same, from the LAN first: the decoder learns the chunks, then
        // meets references to them.
        seed("dedup", "lan_then_wire", packets({p1}, fuzz::kFixSums | 2) + packets(col->got[0]));
    }
    {
        std::string path = WDedup::datastore_path(dir.path(), 8);
        {
            WDedup e(path, 1, WDedup::CHUNK_LEN, 4);
            e.wait_prepared(10000);
            std::string data = real_data(6000);
            uint8_t out[WDedup::MAX_PAYLOAD];
            for (size_t off = 0; off + 1400 <= data.size(); off += 1400) {
                e.compress(reinterpret_cast<const uint8_t*>(data.data() + off), out, 1400, WDedup::MAX_PAYLOAD);
                e.writedisk();
            }
        }
        std::string info = read_file(path + ".info");
        std::string ds = read_file(path).substr(0, 12 * (8 + WDedup::CHUNK_LEN));
        seed("datastore", "records", std::string(1, char(info.size())) + info + ds);
        seed("datastore", "no_info", std::string(1, '\0') + ds);
        for (const std::string& f : {path, path + ".info"})
            unlink(f.c_str());
    }
    for (const char* f : {"/peer7", "/peer7.info"})
        unlink((dir.path() + f).c_str());
    rmdir(dir.path().c_str());
}

void peer_branch_seeds() {
    // Built by the peer (10.0.0.2) for the harnesses' end (10.0.0.1).
    std::string peers = peers_file_for("10.0.0.1");
    std::string head = std::string(kWConf) + "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH " + peers + ");";
    {
        fuzz::LiveRouter r(head + "Idle -> stk :: Stacker(MODE TX, LOCAL_IP 10.0.0.2, NOTIFIER ft, "
                                  "PEER_OUTPUT_PORT 1, SEND_WHEN_LEN 300) -> c; stk[1] -> [1]c; stk[2] -> [2]c;");
        for (int i = 0; i < 6; ++i)
            r.push(r.find("stk"), 0,
                   fuzz::make_frame(ip_packet(17, 0x0a000063, 0x0a000064, 5000, 6000 + i, real_data(60 + i))));
        usleep(200000);   // the last, partly filled stacker packet leaves after WAIT_TIME_MS
        Collect* col = static_cast<Collect*>(r.find("c"));
        seed("stacker", "stacked", packets(col->got[1]));
    }
    {
        fuzz::LiveRouter r(head + "Idle -> fec :: WFEC(MODE TX, LOCAL_IP 10.0.0.2, NOTIFIER ft, "
                                  "PEER_OUTPUT_PORT 1, GROUP_SIZE 5) -> c; fec[1] -> [1]c;");
        ShimConfig c;
        std::vector<std::string> sent;
        for (uint16_t seq = 1; seq <= 5; ++seq) {
            std::string payload = ip_packet(6, 0x0a000063, 0x0a000064, 80, 40000, real_data(300 + 40 * seq)).substr(20);
            std::string b(20 + WSHIM_LEN + payload.size() + RSP_HEADER_LEN, '\0');
            uint8_t* ip = reinterpret_cast<uint8_t*>(b.data());
            size_t len = 20 + WSHIM_LEN + payload.size();
            rsp::build_ipv4(ip, uint16_t(len), seq, 250, 108, htonl(kPeer), htonl(kLocal));
            ip[20] = WSHIM_MAGIC;
            ip[22] = 6;
            ip[23] = WSHIM_STREAM;
            std::memcpy(ip + 24, payload.data(), payload.size());
            b.resize(rsp::insert_data_header(ip, len, 20, seq, 1));
            r.push(r.find("fec"), 0, fuzz::make_frame(b));
        }
        Collect* col = static_cast<Collect*>(r.find("c"));
        std::vector<std::string> s = col->got[0], parity = col->got[1];
        if (s.size() == 5 && parity.size() == 1) {
            seed("fec", "rebuild", packets({s[0], s[1], s[3], s[4], parity[0]}));
            seed("fec", "whole", packets({s[0], s[1], s[2], s[3], s[4], parity[0]}));
        } else {
            std::fprintf(stderr, "fuzz_seeds: WFEC sent %zu stream and %zu parity packets\n", s.size(), parity.size());
            std::exit(1);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds SOURCE_DIR OUT_DIR\n");
        return 2;
    }
    g_src = argv[1];
    g_out = argv[2];
    text_seeds();
    header_seeds();
    capture_seeds();
    tunnel_seeds();
    dedup_seeds();
    peer_branch_seeds();
    return 0;
}
