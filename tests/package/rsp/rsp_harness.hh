// Two tunnel ends, each a router on a master of its own, joined by link
// elements that delay, drop, duplicate and reorder. Packets cross between the
// routers through numbered "wires"; a restarted end attaches to the same wire.
//
// Test elements registered here:
//   RspTestNotifier  answers cast("PeerDiscoveryNotifier")
//   RspTestSource    0/1: the harness pushes tunnel packets into it
//   RspTestComp      1/1 stand-in compressor (WCompBase): marks stream packets
//                    with a running stream index, START_STREAM after a hard force
//   RspTestDecomp    1/1 stand-in decompressor: checks the stream index and
//                    resets RSP (stream_failed) when it jumps
//   RspTestSink      1/0 records payload ids
//   RspTestLink      1-/0-1 delays, drops, duplicates, reorders, stamps, hands to a
//                    wire (or to its output when that is connected)
//   RspTestIngress   0/1 receives from a wire
#pragma once

#include <host/element.hh>
#include <host/routerthread.hh>
#include <host/router.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compression/wcompbase.hh"
#include "rsp/rsp.hh"
#include "sessions/peernotifiers.hh"

namespace rsptest {

void register_elements();

class TestNotifier : public Element, public PeerDiscoveryNotifier {
  public:
    const char* class_name() const override { return "RspTestNotifier"; }
    void* cast(const char* n) override;
};

class TestSource : public Element {
  public:
    const char* class_name() const override { return "RspTestSource"; }
    const char* port_count() const override { return "0/1"; }
    const char* processing() const override { return PUSH; }
    void send(Packet* p) { output(0).push(p); }
};

class TestComp : public Element, public WCompBase {
  public:
    const char* class_name() const override { return "RspTestComp"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }
    void* cast(const char* n) override;
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void push(int, Packet* p) override;
    void set_force_stateless() override;
    void hard_set_force_stateless() override;
    void unforce_stateless() override;
    void set_master_fallback() override;
    void reset_master_fallback() override;

    std::atomic<uint64_t> stream_sent{0}, stateless_sent{0}, hard_forces{0};

  private:
    bool _new_stream = true;
    uint32_t _index = 0;
};

struct Delivered {
    uint32_t id;
    bool stream;
    bool retransmit_anno;
};

class TestSink : public Element {
  public:
    const char* class_name() const override { return "RspTestSink"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override;
    std::vector<Delivered> take();
    size_t count();
    std::atomic<uint64_t> corrupt{0};

  private:
    std::mutex _m;
    std::vector<Delivered> _got;
};

class TestDecomp : public Element {
  public:
    const char* class_name() const override { return "RspTestDecomp"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void push(int, Packet* p) override;
    std::atomic<uint64_t> stream_errors{0}, corrupt{0};
    // Makes the next stream packet fail as if it could not be decoded.
    std::atomic<bool> fail_next{false};

  private:
    RSP* _rsp = nullptr;
    std::mutex _m;
    bool _have = false;
    uint32_t _expect = 0;
};

class TestIngress;
struct Wire {
    std::mutex m;
    TestIngress* target = nullptr;
};
Wire& wire(int n);

class TestLink : public Element {
  public:
    TestLink();
    const char* class_name() const override { return "RspTestLink"; }
    const char* port_count() const override { return "1-/0-1"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void push(int, Packet* p) override;

    std::atomic<double> loss{0}, dup{0}, reorder{0};
    std::atomic<bool> down{false};
    std::atomic<uint64_t> sent{0}, dropped{0};
    // Drop every data packet whose RSP sequence number is in this set, once.
    void drop_seq_once(uint16_t seq);

  private:
    static void timer_hook(Timer*, void*);
    void deliver_due();
    int _wire = 0;
    uint32_t _delay_ms = 2;
    uint32_t _reorder_ms = 5;
    std::mutex _m;
    std::mt19937 _rng;
    std::multimap<int64_t, Packet*> _line;  // due (steady ns) -> packet
    std::vector<uint16_t> _drop_seqs;
    Timer _timer;
};

// Receives from a wire. Packets from the other router are queued and pushed
// on this router's own thread, so that everything an end does runs there.
class TestIngress : public Element {
  public:
    TestIngress();
    const char* class_name() const override { return "RspTestIngress"; }
    const char* port_count() const override { return "0/1"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    // Pushes at once (on this router's thread: tests inject here).
    void push(int, Packet* p) override { output(0).push(p); }
    // From the other router's thread.
    void deliver(Packet* p);

  private:
    static void timer_hook(Timer*, void*);
    int _wire = 0;
    std::mutex _m;
    std::vector<Packet*> _q;
    Timer _timer;
};

// One tunnel end running on its own master thread.
class End {
  public:
    // `vars`: defines for the router text ($MODE, $LOCAL, $PEER, $WIRE_OUT,
    // $WIRE_IN, $LINK, $RSP, $COMP, $WRTT, $NAME) and the element classes of
    // the compressor and decompressor (COMPCLASS, DECCLASS; default the
    // stand-ins, with which the source sends tunnel packets instead of plain
    // ones). PEERS replaces the declaration of the "peers" element (default
    // "peers :: RspTestNotifier;"), for instance by a FlowTable.
    explicit End(const std::map<std::string, std::string>& vars);
    ~End();
    bool ok() const { return _router != nullptr; }

    // Runs f on the end's thread 0 and waits.
    void call(const std::function<void()>& f) { _master->call_on_thread0(f); }
    template <class T>
    T* find(const std::string& name) {
        return dynamic_cast<T*>(_router->find(name));
    }
    RSP* rsp() { return find<RSP>("rsp"); }
    TestComp* comp() { return find<TestComp>("comp"); }
    TestSink* sink() { return find<TestSink>("sink"); }
    TestDecomp* dec() { return find<TestDecomp>("dec"); }
    TestLink* link() { return find<TestLink>("out"); }
    std::string read(const std::string& handler);
    int state();
    void announce_peer(const std::string& ip);
    // Sends `n` tunnel packets with ids from `first` (payload `size` bytes).
    void send(uint32_t first, uint32_t n, size_t size = 200);

    // Hot reconfiguration: replaces the running router by one built from the
    // same variables with `changes` applied; elements of the same name and
    // class take over their predecessors' state. Reports what the old sink
    // had received (its corrupt count moves to the new sink) and RSP's
    // connection just before and just after the swap.
    struct Swap {
        bool ok = false;
        std::vector<Delivered> old_sink;
        int old_state = -1, new_state = -1;
        size_t old_tx = 0, new_tx = 0, old_rx = 0, new_rx = 0;
        uint16_t old_snd_nxt = 0, new_snd_nxt = 0;
    };
    Swap hotswap(const std::map<std::string, std::string>& changes = {});

  private:
    std::string config_text(std::map<std::string, std::string>& v);
    std::map<std::string, std::string> _vars;
    Master* _master = nullptr;
    Router* _router = nullptr;
    std::thread _thread;
    std::string _local, _peer;
    bool _plain = false;
};

// Waits up to `ms` milliseconds for pred().
bool wait_for(const std::function<bool()>& pred, int ms);

// Standard pair: A client 10.0.0.1, B server 10.0.0.2, wires 2n and 2n+1.
std::map<std::string, std::string> vars_a(int wire_base, const std::string& link = "",
                                          const std::string& rsp = "");
std::map<std::string, std::string> vars_b(int wire_base, const std::string& link = "",
                                          const std::string& rsp = "");

}  // namespace rsptest
