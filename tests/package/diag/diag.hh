// Helpers of the diagnostics tests: raw IPv4 packets, capture files written
// byte by byte (so that tests can cut and corrupt them), and running a router
// in this process until it stops.
#pragma once

#include <gtest/gtest.h>

#include <host/router.hh>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <future>
#include <string>
#include <vector>

#include "../common/testrouter.hh"

namespace diag_test {

inline void put_be(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b[at + i] = uint8_t(v >> (8 * (bytes - 1 - i)));
}

// IPv4 (10.0.0.1 > 10.0.0.2, id 0x1234, TTL 64) around `transport`.
inline std::vector<uint8_t> ipv4(uint8_t proto, const std::vector<uint8_t>& transport, uint16_t frag = 0) {
    std::vector<uint8_t> b(20 + transport.size(), 0);
    b[0] = 0x45, b[8] = 64, b[9] = proto, b[12] = b[16] = 10, b[15] = 1, b[19] = 2;
    put_be(b, 2, b.size(), 2);
    put_be(b, 4, 0x1234, 2);
    put_be(b, 6, frag, 2);
    std::copy(transport.begin(), transport.end(), b.begin() + 20);
    return b;
}

// A TCP header of `doff` bytes (window 8192) and `payload` bytes "abc...".
inline std::vector<uint8_t> tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags,
                                size_t payload = 0, size_t doff = 20) {
    std::vector<uint8_t> t(doff + payload, 0);
    put_be(t, 0, sport, 2), put_be(t, 2, dport, 2), put_be(t, 4, seq, 4), put_be(t, 8, ack, 4);
    t[12] = uint8_t((doff / 4) << 4), t[13] = flags, t[14] = 0x20;
    for (size_t i = 0; i < payload; ++i)
        t[doff + i] = uint8_t('a' + i % 26);
    return t;
}

inline std::vector<uint8_t> ether(const std::vector<uint8_t>& ip, uint16_t type = 0x0800) {
    std::vector<uint8_t> f = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, uint8_t(type >> 8), uint8_t(type)};
    f.insert(f.end(), ip.begin(), ip.end());
    return f;
}

// A packet of these bytes with its network header at offset `nh` (-1: none).
inline Packet* packet(const std::vector<uint8_t>& b, int nh = 0, int64_t ts_ns = 1000000001) {
    WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
    if (nh >= 0)
        p->set_network_header(p->data() + nh, 20);
    p->set_timestamp_anno(Timestamp::make_nsec(ts_ns));
    return p;
}

// A classic pcap file, record by record, in this machine's byte order or
// (swapped) the other one.
struct Pcap {
    std::vector<uint8_t> bytes;
    bool swapped = false;
    explicit Pcap(int linktype = 1, uint32_t snaplen = 65535, uint32_t magic = 0xa1b2c3d4, uint16_t major = 2,
                  bool swap = false)
        : swapped(swap) {
        u32(magic), put(uint16_t(major)), put(uint16_t(4)), u32(0), u32(0), u32(snaplen), u32(uint32_t(linktype));
    }
    template <typename T> void put(T v) {
        auto* p = reinterpret_cast<uint8_t*>(&v);
        swapped ? bytes.insert(bytes.end(), std::make_reverse_iterator(p + sizeof v), std::make_reverse_iterator(p))
                : bytes.insert(bytes.end(), p, p + sizeof v);
    }
    void u32(uint32_t v) { put(v); }
    Pcap& add(const std::vector<uint8_t>& data, uint32_t sec, uint32_t usec = 0) {
        u32(sec), u32(usec), u32(uint32_t(data.size())), u32(uint32_t(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    void write(const std::string& path) const {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
};

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/quilo_diag_XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& f) const { return path + "/" + f; }
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Builds `text`, runs it until it stops itself (30 s at most), then calls
// `inspect` with the router. False, with the messages in *errors, when it does
// not build.
inline bool run_router(const std::string& text, std::string* errors, const std::function<void(Router*)>& inspect = {}) {
    quilo_test::load_package();
    Master master(1);
    StringErrorHandler errh;
    Router* r = Router::create(text, "test.click", {}, &errh, &master);
    if (!r || r->initialize(&errh) < 0) {
        if (errors)
            *errors = errh.text();
        delete r;
        return false;
    }
    std::promise<void> done;
    auto guard = std::async(std::launch::async, [&master, f = done.get_future()] {
        if (f.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
            master.please_stop();
    });
    master.run(r);
    done.set_value();
    guard.wait();
    if (inspect)
        inspect(master.router());
    delete master.router();
    return true;
}

inline std::string read_handler(Router* r, const std::string& hdesc) {
    Element* e = nullptr;
    const Handler* h = r->find_handler(hdesc, &e, ErrorHandler::silent_handler());
    return h ? h->call_read(e) : "<no handler " + hdesc + ">";
}

}  // namespace diag_test
