// What the fuzz targets share: a byte reader for the choices a target makes
// from its input, a sink, and a router built once from configuration text
// and kept running on a thread of its own, into whose elements a target
// pushes packets on the router's thread 0 (where a live router's packets
// and handler calls run). Header-only; no test framework.
#pragma once

#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "common/ipv4view.hh"
#include "common/registration.hh"

namespace fuzz {

// Takes the input apart front to back; past the end every read yields zero.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : _p(data), _n(size) {}
    uint8_t u8() { return _n ? (--_n, *_p++) : 0; }
    uint16_t u16() { return uint16_t(u8() << 8 | u8()); }
    bool flag() { return u8() & 1; }
    // Up to `max` bytes (fewer when the input runs out).
    std::string bytes(size_t max) {
        size_t k = max < _n ? max : _n;
        std::string s(reinterpret_cast<const char*>(_p), k);
        _p += k, _n -= k;
        return s;
    }
    // The next chunk: a 2-byte length, then that many bytes.
    std::string chunk() { return bytes(u16()); }
    std::string rest() { return bytes(_n); }
    size_t left() const { return _n; }

  private:
    const uint8_t* _p;
    size_t _n;
};

// Packet targets take their input as a series of packets, each a flags
// byte, a 2-byte length and that many bytes from the IPv4 header on. Flag
// kFixSums asks the target to make the packet's checksums right before it
// goes in, so that fuzzing reaches past them.
constexpr uint8_t kFixSums = 0x01;

struct InputPacket {
    uint8_t flags = 0;
    std::string ip;
};

inline bool next_packet(Input& in, InputPacket* p) {
    if (in.left() < 3)
        return false;
    p->flags = in.u8();
    p->ip = in.chunk();
    return true;
}

// Header length and total length of the IPv4 packet in `ip` when both fit
// its bytes; false otherwise.
inline bool ipv4_lengths(const std::string& ip, size_t* hlen, size_t* tot) {
    if (ip.size() < 20 || (uint8_t(ip[0]) >> 4) != 4)
        return false;
    *hlen = size_t(ip[0] & 0x0F) * 4;
    *tot = size_t(uint8_t(ip[2])) << 8 | uint8_t(ip[3]);
    return *hlen >= 20 && *hlen <= *tot && *tot <= ip.size();
}

// Sets the IP header checksum and, for an unfragmented TCP or UDP packet
// whose transport header fits, the transport checksum.
inline void fix_sums(std::string& ip) {
    size_t hlen, tot;
    if (!ipv4_lengths(ip, &hlen, &tot))
        return;
    uint8_t* b = reinterpret_cast<uint8_t*>(ip.data());
    bool first = ((b[6] & 0x1F) | b[7]) == 0 && !(b[6] & 0x20);
    if (first && ((b[9] == 6 && tot - hlen >= 20) || (b[9] == 17 && tot - hlen >= 8)))
        l4_set_checksum(b, hlen, tot);
    ipv4_set_checksum(b, hlen);
}

// The inverse, for the seed generator.
inline void append_packet(std::string& out, uint8_t flags, const void* ip, size_t n) {
    out += char(flags);
    out += char(n >> 8);
    out += char(n & 0xFF);
    out.append(static_cast<const char*>(ip), n);
}

// Kills what it receives, on any number of inputs.
class Sink : public Element {
  public:
    const char* class_name() const override { return "FuzzSink"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        ++count;
        p->kill();
    }
    std::atomic<uint64_t> count{0};
};

// Receives packets that the element before it promises to be IPv4 with
// lengths that fit (network header set); anything else is a fault.
class IPv4Check : public Element {
  public:
    const char* class_name() const override { return "FuzzIPv4Check"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int port, Packet* p) override {
        IPv4View v;
        if (!ipv4_view(p, &v)) {
            std::fprintf(stderr, "%s: input %d got a packet that is not sound IPv4\n", name().c_str(), port);
            std::abort();
        }
        p->kill();
    }
};

// Loads the package's classes and the harness's own, once.
inline void load_classes() {
    static bool loaded = [] {
        click_add_element_type<Sink>("FuzzSink");
        click_add_element_type<IPv4Check>("FuzzIPv4Check");
        if (init_module() != 0) {
            std::fprintf(stderr, "fuzz: the package did not load\n");
            std::abort();
        }
        return true;
    }();
    (void)loaded;
}

// Stands in for the classes that reach outside the process when a router
// starts (devices, sockets, files written or read from standard input, the
// datastore, the deliberate crash), in targets that start routers built
// from fuzzed text: such a configuration fails instead.
class Withheld : public Element {
  public:
    const char* class_name() const override { return "FuzzWithheld"; }
    int configure(std::vector<std::string>&, ErrorHandler* errh) override {
        return errh->error("class withheld while fuzzing");
    }
};

inline void withhold_outside_classes() {
    static const char* const names[] = {"FromDevice", "ToDevice", "Socket", "ControlSocket", "FromDump",
                                        "ToDump", "FlowSource", "WFromDump", "WIPPrint", "Dedup",
                                        "FlowTable", "Crash"};
    for (const char* n : names)
        click_add_element_type(n, [](uintptr_t) -> Element* { return new Withheld; }, 0);
}

// A packet holding `n` bytes of `data` with its network header at `nh`
// (bytes before it are marked as the MAC header), room before and after.
inline Packet* make_packet(const void* data, size_t n, size_t nh = 0) {
    WritablePacket* p = Packet::make(64, data, uint32_t(n), 64);
    if (nh > n)
        nh = n;
    if (nh)
        p->set_mac_header(p->data(), uint32_t(nh));
    p->set_network_header(p->data() + nh, 0);
    return p;
}

// An Ethernet frame around `ip`, as packets arrive from a device: the MAC
// header marked, the network header at offset 14.
inline Packet* make_frame(const std::string& ip) {
    std::string f("\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00", 14);
    f += ip;
    return make_packet(f.data(), f.size(), 14);
}

// A router built from `text` that runs on a master of its own until the
// process exits. A configuration that does not build is a fault of the
// target and aborts.
class LiveRouter {
  public:
    explicit LiveRouter(const std::string& text, int nthreads = 1) : _master(nthreads) {
        load_classes();
        StringErrorHandler errh;
        _router = Router::create(text, "fuzz.click", {}, &errh, &_master);
        if (!_router || _router->initialize(&errh) < 0) {
            std::fprintf(stderr, "fuzz: the harness configuration failed:\n%s", errh.text().c_str());
            std::abort();
        }
        _thread = std::thread([this] { _master.run(_router); });
        while (!_master.running())
            std::this_thread::yield();
    }
    // QUILO_FUZZ_HANDLERS="e.h,e.h2" prints those handlers at exit: how far
    // a corpus took the elements (handy when making seeds).
    ~LiveRouter() {
        if (const char* hs = std::getenv("QUILO_FUZZ_HANDLERS")) {
            std::string list = hs;
            for (size_t pos = 0; pos < list.size();) {
                size_t comma = list.find(',', pos);
                std::string h = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                std::fprintf(stderr, "%s: %s\n", h.c_str(), read(h).c_str());
                pos = comma == std::string::npos ? list.size() : comma + 1;
            }
        }
        _master.please_stop();
        _thread.join();
        delete _master.router();
    }
    Element* find(const std::string& name) const {
        Element* e = _router->find(name);
        if (!e) {
            std::fprintf(stderr, "fuzz: no element %s\n", name.c_str());
            std::abort();
        }
        return e;
    }
    // Runs f on the router's thread 0 and waits for it.
    void call(const std::function<void()>& f) { _master.call_on_thread0(f); }
    // Pushes a packet into input `port` of `e` on thread 0.
    void push(Element* e, int port, Packet* p) {
        call([&] { e->push(port, p); });
    }
    // Reads a handler ("element.name") on thread 0.
    std::string read(const std::string& hdesc) {
        std::string out;
        call([&] {
            Element* e = nullptr;
            const Handler* h = _router->find_handler(hdesc, &e, nullptr);
            out = h ? h->call_read(e, nullptr) : std::string();
        });
        return out;
    }
    Master& master() { return _master; }

  private:
    Master _master;
    Router* _router = nullptr;
    std::thread _thread;
};

// A file of a fuzz input's bytes, under /dev/shm when there is one (inputs
// are written thousands of times a second), removed with the object.
class TempFile {
  public:
    explicit TempFile(const char* tag) {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        _path = std::string(dir) + "/quilo-fuzz-" + tag + "-" + std::to_string(getpid());
    }
    ~TempFile() { unlink(_path.c_str()); }
    const std::string& path() const { return _path; }
    void write(const std::string& bytes) const {
        FILE* f = std::fopen(_path.c_str(), "wb");
        if (!f)
            std::abort();
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }

  private:
    std::string _path;
};

// One end of a tunnel to the peer 10.0.0.2 (local address 10.0.0.1), as an
// appliance wires it: packets from the peer go through the peer-information
// element `pi` into RSP's input 1, RSP delivers to the decompressor `dec`;
// `comp` feeds RSP's input 0. Every output ends in the sink `s`.
inline std::string tunnel_config(const std::string& peers_file, const std::string& rsp_extra = "") {
    return "WConf(MAX_PEERS 1, LOG_LEVEL 4); sm :: SessionManager;"
           "Idle -> [0]sm[0] -> Discard; Idle -> [1]sm[1] -> Discard;"
           "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH " + peers_file + ");"
           "s :: FuzzSink;"
           "pi :: WPeerInfo(LOCAL_IP 10.0.0.1, NOTIFIER ft, PEER_OUTPUT_PORT 1);"
           "comp :: WComp(COMPRESSOR 2, METHOD streaming, LEVEL 1);"
           "rsp :: RSP(MODE server, LOCAL_IP 10.0.0.1, WRTT pi, WCOMP comp, NOTIFIER ft,"
           "           PEER_OUTPUT_PORT 1, MAX_RX_COUNT 64" + rsp_extra + ");"
           "dec :: WDeComp(RSP rsp);"
           "Idle -> comp -> [0]rsp; Idle -> pi -> [1]rsp;"
           "rsp[0] -> s; rsp[1] -> dec -> s; dec[1] -> s; rsp[2] -> s;"
           "pi[1] -> s; pi[2] -> s; pi[3] -> s;";
}

// The receiving side of a peer's branch: stacker packets are unpacked
// (`unstk`), stray ones dropped (`nostk`), FEC parity rebuilds lost stream
// packets (`unfec`). Unpacked and rebuilt packets must be sound IPv4.
inline std::string peer_receive_config(const std::string& peers_file) {
    return "WConf(MAX_PEERS 1, LOG_LEVEL 4);"
           "Idle -> [0]sm :: SessionManager[0] -> Discard; Idle -> [1]sm[1] -> Discard;"
           "ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH " + peers_file + ");"
           "s :: FuzzSink; ok :: FuzzIPv4Check;"
           "Idle -> unstk :: Stacker(MODE RX, LOCAL_IP 10.0.0.1, NOTIFIER ft, PEER_OUTPUT_PORT 1)"
           "  -> nostk :: DropStacker"
           "  -> unfec :: WFEC(MODE RX, LOCAL_IP 10.0.0.1, NOTIFIER ft, PEER_OUTPUT_PORT 1, GROUP_SIZE 5)"
           "  -> s;"
           "unstk[1] -> ok; unstk[2] -> s; nostk[1] -> s; unfec[1] -> [1]ok;";
}

// A peers file that names the tunnel's peer.
inline const std::string& peers_file() {
    static TempFile f("peers");
    static bool written = (f.write("10.0.0.2, 1, peer, 02-00-00-00-00-02\n"), true);
    (void)written;
    return f.path();
}

}  // namespace fuzz
