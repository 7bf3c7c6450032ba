#include "rsp_harness.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/package.hh>

#include <chrono>
#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "rsp/rsp_wire.hh"

namespace rsptest {

namespace {
constexpr size_t PAYLOAD_OFF = 20 + 4 + 8;  // IP, shim, inner UDP header
}

void register_elements() {
    static bool done = [] {
        init_module();
        click_add_element_type<TestNotifier>("RspTestNotifier");
        click_add_element_type<TestSource>("RspTestSource");
        click_add_element_type<TestComp>("RspTestComp");
        click_add_element_type<TestSink>("RspTestSink");
        click_add_element_type<TestDecomp>("RspTestDecomp");
        click_add_element_type<TestLink>("RspTestLink");
        click_add_element_type<TestIngress>("RspTestIngress");
        return true;
    }();
    (void)done;
}

void* TestNotifier::cast(const char* n) {
    if (strcmp(n, "PeerDiscoveryNotifier") == 0)
        return static_cast<PeerDiscoveryNotifier*>(this);
    return Element::cast(n);
}

// ---------------------------------------------------------------------------

void* TestComp::cast(const char* n) {
    if (strcmp(n, "WCompBase") == 0)
        return static_cast<WCompBase*>(this);
    return Element::cast(n);
}

int TestComp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string method = "streaming";
    if (Args(conf, this, errh).read("METHOD", WordArg(), method).complete() < 0)
        return -1;
    _method = method == "stateless" ? METHOD_STATELESS : METHOD_STREAMING;
    _force_stateless = true;
    return 0;
}

void TestComp::push(int, Packet* p) {
    WritablePacket* w = p->uniqueify();
    if (!w)
        return;
    uint8_t* d = w->data();
    _lock.acquire();
    uint32_t index = 0xFFFFFFFF;
    if (streaming_in_force()) {
        d[23] |= WSHIM_STREAM | WSHIM_ZSTD;
        if (_new_stream) {
            d[21] |= WSHIM_START_STREAM;
            _new_stream = false;
            _index = 0;
        }
        index = _index++;
        ++stream_sent;
    } else {
        ++stateless_sent;
    }
    _lock.release();
    rsp::store32(d + PAYLOAD_OFF + 4, index);
    output(0).push(w);
}

void TestComp::set_force_stateless() {
    SpinlockGuard g(_lock);
    _force_stateless = true;
}
void TestComp::hard_set_force_stateless() {
    SpinlockGuard g(_lock);
    _force_stateless = true;
    _new_stream = true;
    ++hard_forces;
}
void TestComp::unforce_stateless() {
    SpinlockGuard g(_lock);
    _force_stateless = false;
}
void TestComp::set_master_fallback() {
    SpinlockGuard g(_lock);
    _master_fallback = true;
}
void TestComp::reset_master_fallback() {
    SpinlockGuard g(_lock);
    _master_fallback = false;
}

// ---------------------------------------------------------------------------

void TestSink::push(int, Packet* p) {
    const uint8_t* d = p->data();
    size_t len = p->length();
    // Tunnel packets (shim kept) or plain IP/UDP packets (after a real decompressor).
    size_t off = len >= 20 && d[9] == 17 ? 28 : PAYLOAD_OFF;
    bool bad = len < off + 8;
    uint32_t id = 0;
    if (!bad) {
        id = rsp::load32(d + off);
        for (size_t i = off + 8; i < len; ++i)
            if (d[i] != uint8_t(id * 31 + i)) {
                bad = true;
                break;
            }
        if (rsp::load16(d + 2) != len)
            bad = true;
    }
    Delivered x{id, off == PAYLOAD_OFF && len > 23 && (d[23] & WSHIM_STREAM) != 0,
                p->anno_u8(anno::RSP_RX_RETRANSMIT.offset) != 0};
    p->kill();
    if (bad) {
        ++corrupt;
        return;
    }
    std::lock_guard<std::mutex> g(_m);
    _got.push_back(x);
}

std::vector<Delivered> TestSink::take() {
    std::lock_guard<std::mutex> g(_m);
    std::vector<Delivered> v;
    v.swap(_got);
    return v;
}

size_t TestSink::count() {
    std::lock_guard<std::mutex> g(_m);
    return _got.size();
}

// ---------------------------------------------------------------------------

int TestDecomp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string name;
    if (Args(conf, this, errh).read_m("RSP", WordArg(), name).complete() < 0)
        return -1;
    Element* e = router()->find(name, this);
    _rsp = e ? static_cast<RSP*>(e->cast("RSP")) : nullptr;
    if (!_rsp)
        return errh->error("%<%s%> is not a RSP element", name.c_str());
    return 0;
}

void TestDecomp::push(int, Packet* p) {
    const uint8_t* d = p->data();
    if (p->length() < PAYLOAD_OFF + 8 || d[20] != WSHIM_MAGIC) {
        ++corrupt;
        p->kill();
        return;
    }
    if (d[23] & WSHIM_STREAM) {
        uint32_t index = rsp::load32(d + PAYLOAD_OFF + 4);
        bool fail;
        {
            std::lock_guard<std::mutex> g(_m);
            if (d[21] & WSHIM_START_STREAM)
                _have = false, _expect = index == 0 ? 0 : 0xFFFFFFFF;
            fail = (_have && index != _expect) || (!_have && index != 0) || fail_next.exchange(false);
            if (!fail) {
                _have = true;
                _expect = index + 1;
            } else {
                _have = false;
            }
        }
        if (fail) {
            // The decoder lost the stream: restart the connection as the
            // decompression element does.
            ++stream_errors;
            p->kill();
            _rsp->stream_failed();
            return;
        }
    }
    output(0).push(p);
}

// ---------------------------------------------------------------------------

Wire& wire(int n) {
    static Wire wires[64];
    return wires[n & 63];
}

TestLink::TestLink() : _timer(timer_hook, this) {}

int TestLink::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    double l = 0, d = 0, r = 0;
    uint32_t seed = 1;
    if (Args(conf, this, errh)
            .read("WIRE", _wire)
            .read("LOSS", l)
            .read("DUP", d)
            .read("REORDER", r)
            .read("DELAY_MS", _delay_ms)
            .read("REORDER_MS", _reorder_ms)
            .read("SEED", seed)
            .complete() < 0)
        return -1;
    loss = l;
    dup = d;
    reorder = r;
    _rng.seed(seed);
    return 0;
}

int TestLink::initialize(ErrorHandler*) {
    _timer.initialize(this);
    return 0;
}

void TestLink::cleanup(CleanupStage) {
    _timer.unschedule();
    std::lock_guard<std::mutex> g(_m);
    for (auto& x : _line)
        x.second->kill();
    _line.clear();
}

void TestLink::drop_seq_once(uint16_t seq) {
    std::lock_guard<std::mutex> g(_m);
    _drop_seqs.push_back(seq);
}

void TestLink::push(int, Packet* p) {
    int64_t now = Timestamp::now_steady().nsecval();
    std::lock_guard<std::mutex> g(_m);
    if (!_drop_seqs.empty()) {
        rsp::View v;
        ShimConfig c;
        if (rsp::parse(p->data(), p->length(), c, &v) == rsp::Parse::ok && v.payload_len)
            for (size_t i = 0; i < _drop_seqs.size(); ++i)
                if (_drop_seqs[i] == v.seq) {
                    _drop_seqs.erase(_drop_seqs.begin() + long(i));
                    ++dropped;
                    p->kill();
                    return;
                }
    }
    std::uniform_real_distribution<double> u(0, 100);
    if (down || u(_rng) < loss) {
        ++dropped;
        p->kill();
        return;
    }
    int64_t due = now + int64_t(_delay_ms) * 1000000;
    if (u(_rng) < reorder)
        due += int64_t(1 + _rng() % (_reorder_ms ? _reorder_ms : 1)) * 1000000;
    if (u(_rng) < dup) {
        if (Packet* c = p->clone())
            _line.emplace(due + 500000, c);
    }
    _line.emplace(due, p);
    if (!_timer.scheduled() || _timer.expiry_steady().nsecval() > _line.begin()->first)
        _timer.schedule_at_steady(Timestamp::make_nsec(_line.begin()->first));
}

void TestLink::timer_hook(Timer*, void* t) { static_cast<TestLink*>(t)->deliver_due(); }

void TestLink::deliver_due() {
    int64_t now = Timestamp::now_steady().nsecval();
    std::vector<Packet*> due;
    {
        std::lock_guard<std::mutex> g(_m);
        while (!_line.empty() && _line.begin()->first <= now) {
            due.push_back(_line.begin()->second);
            _line.erase(_line.begin());
        }
        if (!_line.empty())
            _timer.schedule_at_steady(Timestamp::make_nsec(_line.begin()->first));
    }
    Wire& w = wire(_wire);
    for (Packet* p : due) {
        // Packets reach RSP stamped by the host clock, as from a device.
        p->set_timestamp_anno(Timestamp::now());
        ++sent;
        if (noutputs() > 0) {
            output(0).push(p);
            continue;
        }
        std::lock_guard<std::mutex> g(w.m);
        if (w.target)
            w.target->deliver(p);
        else
            p->kill();
    }
}

TestIngress::TestIngress() : _timer(timer_hook, this) {}

void TestIngress::deliver(Packet* p) {
    {
        std::lock_guard<std::mutex> g(_m);
        _q.push_back(p);
        if (_q.size() > 1)
            return;
    }
    _timer.schedule_now();
    // Both routers' threads are thread 0 of their masters: wake ours.
    router()->master()->thread(0)->wake();
}

void TestIngress::timer_hook(Timer*, void* t) {
    TestIngress* in = static_cast<TestIngress*>(t);
    std::vector<Packet*> q;
    {
        std::lock_guard<std::mutex> g(in->_m);
        q.swap(in->_q);
    }
    for (Packet* p : q)
        in->output(0).push(p);
}

int TestIngress::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    return Args(conf, this, errh).read_m("WIRE", _wire).complete();
}

int TestIngress::initialize(ErrorHandler*) {
    _timer.initialize(this);
    std::lock_guard<std::mutex> g(wire(_wire).m);
    wire(_wire).target = this;
    return 0;
}

void TestIngress::cleanup(CleanupStage) {
    {
        std::lock_guard<std::mutex> g(wire(_wire).m);
        if (wire(_wire).target == this)
            wire(_wire).target = nullptr;
    }
    _timer.unschedule();
    std::lock_guard<std::mutex> g(_m);
    for (Packet* p : _q)
        p->kill();
    _q.clear();
}

// ---------------------------------------------------------------------------

static const char* END_CONFIG = R"(
conf :: WConf(MAX_PEERS 1, LOG_LEVEL $LOGLEVEL, HOSTNAME $NAME $WCONF);
@PEERS
src :: RspTestSource;
comp :: @COMPCLASS($COMP);
wrtt :: WPeerInfo(LOCAL_IP $LOCAL, NOTIFIER peers, PEER_OUTPUT_PORT 1 $WRTT);
rsp :: RSP(MODE $MODE, LOCAL_IP $LOCAL, WRTT wrtt, WCOMP comp, NOTIFIER peers, PEER_OUTPUT_PORT 1,
           SYN_DELAY_MS 10 $RSP);
dec :: @DECCLASS(RSP rsp);
sink :: RspTestSink;
other :: RspTestSink;
out :: RspTestLink(WIRE $WIRE_OUT $LINK);
in :: RspTestIngress(WIRE $WIRE_IN);
src -> comp -> [0]rsp;
rsp[0] -> [0]out;
rsp[2] -> [1]out;
wrtt[1] -> [2]out;
wrtt[2] -> [3]out;
in -> wrtt;
wrtt[0] -> [1]rsp;
wrtt[3] -> other;
rsp[1] -> dec -> sink;
)";

std::string End::config_text(std::map<std::string, std::string>& v) {
    _local = v["LOCAL"];
    _peer = v["PEER"];
    // Element classes cannot come from defines: substitute them here.
    std::string text = END_CONFIG;
    _plain = v.count("COMPCLASS") && v["COMPCLASS"] != "RspTestComp";
    auto subst = [&](const std::string& key, const std::string& dflt) {
        std::string val = v.count(key) && !v[key].empty() ? v[key] : dflt;
        size_t at = text.find("@" + key);
        text.replace(at, key.size() + 1, val);
    };
    subst("COMPCLASS", "RspTestComp");
    subst("DECCLASS", "RspTestDecomp");
    subst("PEERS", "peers :: RspTestNotifier;");
    return text;
}

End::End(const std::map<std::string, std::string>& vars) {
    register_elements();
    _vars = {{"LOGLEVEL", "4"}, {"NAME", "end"}, {"COMP", ""}, {"WRTT", ""},
             {"RSP", ""},       {"LINK", ""},    {"WCONF", ""}};
    for (auto& kv : vars)
        _vars[kv.first] = kv.second;
    std::string text = config_text(_vars);
    FileErrorHandler errh(stderr, "");
    _master = new Master(1);
    _router = Router::create(text, "end.click", _vars, &errh, _master);
    if (!_router || _router->initialize(&errh) < 0) {
        delete _router;
        _router = nullptr;
        return;
    }
    _thread = std::thread([this] { _master->run(_router); });
    while (!_master->running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

End::Swap End::hotswap(const std::map<std::string, std::string>& changes) {
    Swap r;
    for (auto& kv : changes)
        _vars[kv.first] = kv.second;
    std::string text = config_text(_vars);
    call([&] {
        FileErrorHandler errh(stderr, "");
        Router* nr = Router::create(text, "end.click", _vars, &errh, _master, _router);
        if (!nr || nr->initialize(&errh) < 0) {
            delete nr;
            return;
        }
        // Nothing runs between here and the swap: the old sink is complete.
        TestSink* old_sink = sink();
        r.old_sink = old_sink->take();
        uint64_t corrupt = old_sink->corrupt;
        RSP* o = rsp();
        o->lock_acquire();
        r.old_state = o->state(), r.old_tx = o->tx_queue_size(), r.old_rx = o->rx_queue_size();
        r.old_snd_nxt = o->snd_nxt();
        o->lock_release();
        _master->hotswap(nr, &errh);
        _router = nr;
        sink()->corrupt += corrupt;
        RSP* n = rsp();
        n->lock_acquire();
        r.new_state = n->state(), r.new_tx = n->tx_queue_size(), r.new_rx = n->rx_queue_size();
        r.new_snd_nxt = n->snd_nxt();
        n->lock_release();
        r.ok = true;
    });
    return r;
}

End::~End() {
    if (_router) {
        _master->please_stop();
        _thread.join();
        delete _router;
    }
    delete _master;
}

std::string End::read(const std::string& handler) {
    std::string out;
    call([&] {
        Element* e = nullptr;
        const Handler* h = _router->find_handler(handler, &e);
        if (h)
            out = h->call_read(e);
    });
    return out;
}

int End::state() {
    int s = -1;
    call([&] {
        RSP* r = rsp();
        r->lock_acquire();
        s = r->state();
        r->lock_release();
    });
    return s;
}

void End::announce_peer(const std::string& ip) {
    call([&] { find<TestNotifier>("peers")->peer_discovered_notify(1, IPAddress(ip)); });
}

void End::send(uint32_t first, uint32_t n, size_t size) {
    if (size < 8)
        size = 8;
    IPAddress src(_local), dst(_peer);
    call([&] {
        TestSource* s = find<TestSource>("src");
        for (uint32_t k = 0; k < n; ++k) {
            uint32_t id = first + k;
            // With a real compressor the source sends plain IP/UDP packets
            // (the compressor adds the shim); the stand-in takes tunnel packets.
            size_t off = _plain ? 28 : PAYLOAD_OFF;
            size_t len = off + size;
            WritablePacket* p = Packet::make(64, nullptr, uint32_t(len), 16);
            uint8_t* d = p->data();
            std::memset(d, 0, len);
            rsp::build_ipv4(d, uint16_t(len), uint16_t(id), 64, _plain ? 17 : 108, src.addr(), dst.addr());
            size_t udp = _plain ? 20 : 24;
            if (!_plain) {
                d[20] = WSHIM_MAGIC;
                d[22] = 17;
            }
            rsp::store16(d + udp, 4000);
            rsp::store16(d + udp + 2, 5000);
            rsp::store16(d + udp + 4, uint16_t(8 + size));
            rsp::store32(d + off, id);
            for (size_t i = off + 8; i < len; ++i)
                d[i] = uint8_t(id * 31 + i);
            p->set_network_header(d, 20);
            s->send(p);
        }
    });
}

bool wait_for(const std::function<bool()>& pred, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

std::map<std::string, std::string> vars_a(int w, const std::string& link, const std::string& rsp) {
    return {{"MODE", "client"}, {"LOCAL", "10.0.0.1"}, {"PEER", "10.0.0.2"}, {"WIRE_OUT", std::to_string(2 * w)},
            {"WIRE_IN", std::to_string(2 * w + 1)}, {"LINK", link}, {"RSP", rsp}, {"NAME", "alpha"}};
}

std::map<std::string, std::string> vars_b(int w, const std::string& link, const std::string& rsp) {
    return {{"MODE", "server"}, {"LOCAL", "10.0.0.2"}, {"PEER", "10.0.0.1"}, {"WIRE_OUT", std::to_string(2 * w + 1)},
            {"WIRE_IN", std::to_string(2 * w)}, {"LINK", link}, {"RSP", rsp}, {"NAME", "bravo"}};
}

}  // namespace rsptest
