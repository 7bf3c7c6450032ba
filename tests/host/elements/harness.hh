// Building and driving routers of host elements in tests: a packet injector
// and a collecting sink, and a router that runs on its own thread.
#pragma once

#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Injector: push output; tests push crafted packets through it.
class TestInject : public Element {
  public:
    const char* class_name() const override { return "TestInject"; }
    const char* port_count() const override { return "0/1"; }
    const char* processing() const override { return PUSH; }
    void send(const std::vector<uint8_t>& bytes, uint16_t vlan_anno = 0) {
        WritablePacket* p = Packet::make(Packet::default_headroom, bytes.data(), uint32_t(bytes.size()), 0);
        p->set_anno_u16(VLAN_TCI_ANNO_OFFSET, vlan_anno);
        output(0).push(p);
    }
    void send(Packet* p) { output(0).push(p); }
};

// Sink: keeps a copy of every packet it receives, per input port.
class TestSink : public Element {
  public:
    const char* class_name() const override { return "TestSink"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    struct Got {
        int port;
        std::vector<uint8_t> data;
        int mac_off, net_off;   // -1000 when unset
        uint16_t vlan;
        int64_t ts;
        int64_t arrival;        // steady ns
        uint64_t stamp;         // anno bytes 24..31 (set by tests)
    };
    void push(int port, Packet* p) override {
        Got g{port, std::vector<uint8_t>(p->data(), p->data() + p->length()),
              p->has_mac_header() ? p->mac_header_offset() : -1000,
              p->has_network_header() ? p->network_header_offset() : -1000, p->anno_u16(VLAN_TCI_ANNO_OFFSET),
              p->timestamp_anno().nsecval(), Timestamp::now_steady().nsecval(), p->anno_u64(24)};
        std::lock_guard<std::mutex> l(lock);
        got.push_back(std::move(g));
        p->kill();
    }
    std::vector<Got> take() {
        std::lock_guard<std::mutex> l(lock);
        std::vector<Got> v;
        v.swap(got);
        return v;
    }
    size_t size() {
        std::lock_guard<std::mutex> l(lock);
        return got.size();
    }
    std::mutex lock;
    std::vector<Got> got;
};

inline void register_test_elements() {
    static bool done = false;
    if (!done) {
        click_add_element_type<TestInject>("TestInject");
        click_add_element_type<TestSink>("TestSink");
        done = true;
    }
}

// A router under test. build() creates and initializes it (errors in
// errh); start() runs it on its own thread; read()/write() call handlers.
class TestRouter {
  public:
    explicit TestRouter(int threads = 1) : master(threads) { register_test_elements(); }
    ~TestRouter() {
        stop();
        delete r;
    }
    bool build(const std::string& text) {
        r = Router::create(text, "test.click", {}, &errh, &master);
        if (!r)
            return false;
        if (r->initialize(&errh) < 0) {
            delete r;
            r = nullptr;
            return false;
        }
        return true;
    }
    void start() {
        running = true;
        th = std::thread([this]() { master.run(r); });
    }
    void stop() {
        if (running) {
            master.please_stop();
            th.join();
            running = false;
        }
    }
    // Runs on this thread until the router stops itself (or the timeout).
    bool run_until_stopped(double timeout_s) {
        bool fired = false;
        std::mutex m;
        std::condition_variable cv;
        bool finished = false;
        std::thread dog([&]() {
            std::unique_lock<std::mutex> l(m);
            if (!cv.wait_for(l, std::chrono::duration<double>(timeout_s), [&] { return finished; })) {
                fired = true;
                master.please_stop();
            }
        });
        master.run(r);
        {
            std::lock_guard<std::mutex> l(m);
            finished = true;
        }
        cv.notify_all();
        dog.join();
        return !fired;
    }
    std::string read(const std::string& h) {
        std::string v;
        if (running)
            master.call_on_thread0([&]() { v = HandlerCall::call_read(r, h, &herrh); });
        else
            v = HandlerCall::call_read(r, h, &herrh);
        while (!v.empty() && v.back() == '\n')
            v.pop_back();
        return v;
    }
    long long num(const std::string& h) { return std::stoll("0" + read(h)); }
    int write(const std::string& h, const std::string& value) {
        int rv;
        if (running)
            master.call_on_thread0([&]() { rv = HandlerCall::call_write(r, h, value, &herrh); });
        else
            rv = HandlerCall::call_write(r, h, value, &herrh);
        return rv;
    }
    template <typename T> T* find(const std::string& name) { return static_cast<T*>(r->find(name)); }
    // Waits (bounded) until pred() holds.
    template <typename F> static bool wait_for(F pred, double timeout_s) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    Master master;
    Router* r = nullptr;
    StringErrorHandler errh, herrh;
    std::thread th;
    bool running = false;
};
