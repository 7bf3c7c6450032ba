// Test harness for package elements: loads the package's classes, builds a
// router from configuration text, and provides a packet sink and frame
// builders. Header-only; included by the package's test programs.
#pragma once

#include <gtest/gtest.h>

#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/registration.hh"

namespace quilo_test {

// Keeps every packet it receives (with the input port), or only counts.
class Sink : public Element {
  public:
    const char* class_name() const override { return "QuiloTestSink"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    ~Sink() override { clear(); }

    void push(int port, Packet* p) override {
        std::lock_guard<std::mutex> g(_m);
        if (_keep) {
            packets.push_back(p);
            ports.push_back(port);
        } else {
            ++count;
            p->kill();
        }
    }
    void keep(bool k) { _keep = k; }
    void clear() {
        std::lock_guard<std::mutex> g(_m);
        for (Packet* p : packets)
            p->kill();
        packets.clear();
        ports.clear();
        count = 0;
    }
    Packet* last() { return packets.empty() ? nullptr : packets.back(); }

    std::vector<Packet*> packets;
    std::vector<int> ports;
    size_t count = 0;

  private:
    std::mutex _m;
    bool _keep = true;
};

inline void load_package() {
    static bool loaded = [] {
        click_add_element_type<Sink>("QuiloTestSink");
        return init_module() == 0;
    }();
    ASSERT_TRUE(loaded);
}

class TestRouter {
  public:
    explicit TestRouter(int nthreads = 1) : _master(new Master(nthreads)) { load_package(); }
    ~TestRouter() {
        delete _router;
        delete _master;
    }

    // Builds and initializes; returns false with the messages in errors().
    bool build(const std::string& text) {
        _errh.clear();
        _router = Router::create(text, "test.click", {}, &_errh, _master);
        if (!_router)
            return false;
        if (_router->initialize(&_errh) < 0) {
            delete _router;
            _router = nullptr;
            return false;
        }
        return true;
    }
    std::string errors() const { return _errh.text(); }

    Router* router() const { return _router; }
    Element* find(const std::string& name) const { return _router ? _router->find(name) : nullptr; }
    template <typename T>
    T* get(const std::string& name) const {
        return dynamic_cast<T*>(find(name));
    }
    std::string read(const std::string& hdesc) {
        Element* e = nullptr;
        const Handler* h = _router->find_handler(hdesc, &e, &_errh);
        return h ? h->call_read(e, &_errh) : std::string("<no handler>");
    }

  private:
    Master* _master;
    Router* _router = nullptr;
    StringErrorHandler _errh;
};

// Builds Ethernet + IPv4 + TCP/UDP frames.
struct Frame {
    uint8_t eth_dst[6] = {0x02, 0, 0, 0, 0, 0xd1};
    uint8_t eth_src[6] = {0x02, 0, 0, 0, 0, 0x51};
    uint32_t src = 0x0a000001;  // host order
    uint32_t dst = 0xc0a80001;
    uint16_t sport = 40000;
    uint16_t dport = 80;
    uint8_t proto = 6;
    uint8_t tcp_flags = 0x10;  // ACK
    uint16_t frag = 0;
    size_t payload = 0;

    Frame reversed() const {
        Frame f = *this;
        std::memcpy(f.eth_dst, eth_src, 6);
        std::memcpy(f.eth_src, eth_dst, 6);
        std::swap(f.src, f.dst);
        std::swap(f.sport, f.dport);
        return f;
    }

    std::vector<uint8_t> bytes() const {
        size_t th = proto == 6 ? 20 : proto == 17 ? 8 : 8;
        std::vector<uint8_t> b(14 + 20 + th + payload, 0);
        std::memcpy(&b[0], eth_dst, 6);
        std::memcpy(&b[6], eth_src, 6);
        b[12] = 0x08;
        uint8_t* ip = &b[14];
        ip[0] = 0x45;
        uint16_t tot = htons(uint16_t(20 + th + payload));
        std::memcpy(ip + 2, &tot, 2);
        uint16_t fr = htons(frag);
        std::memcpy(ip + 6, &fr, 2);
        ip[8] = 64;
        ip[9] = proto;
        uint32_t s = htonl(src), d = htonl(dst);
        std::memcpy(ip + 12, &s, 4);
        std::memcpy(ip + 16, &d, 4);
        uint16_t sp = htons(sport), dp = htons(dport);
        std::memcpy(ip + 20, &sp, 2);
        std::memcpy(ip + 22, &dp, 2);
        if (proto == 6) {
            ip[20 + 12] = 0x50;
            ip[20 + 13] = tcp_flags;
        }
        return b;
    }
};

// A packet from raw frame bytes with MAC and network headers set, timestamp
// `ts_ns` (0: none).
inline Packet* make_packet(const std::vector<uint8_t>& b, int64_t ts_ns = 1, bool headers = true) {
    WritablePacket* p = Packet::make(64, b.data(), uint32_t(b.size()), 0);
    if (headers && b.size() >= 14)
        p->set_mac_header(p->data(), 14);
    p->set_timestamp_anno(Timestamp::make_nsec(ts_ns));
    return p;
}

inline Packet* make_packet(const Frame& f, int64_t ts_ns = 1) { return make_packet(f.bytes(), ts_ns); }

}  // namespace quilo_test
