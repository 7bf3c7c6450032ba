#include "classifiers/ndpidetector.hh"

#include <host/element.hh>
#include <host/errorhandler.hh>

#include <ndpi/ndpi_api.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/wlogger.hh"

// The nDPI module and the lock that serialises every dissection on it (the
// module holds the packet being dissected). Handed to a successor as a whole.
struct NDPIDetector::Module {
    ndpi_detection_module_struct* ndpi = nullptr;
    Spinlock lock;
    std::string protocol_file;
};

// A slot holds what a packet of a detected session needs: the stamp
// (master << 16 | application protocol) and a done bit in the record
// pointer's low bit, so that stamping touches the slot only.
struct NDPIDetector::Slot {
    std::atomic<uint32_t> id{0};  // 0: empty (session ids are never 0)
    std::atomic<uint32_t> stamp{0};
    std::atomic<uintptr_t> flow{0};  // DPIFlow*, | DONE once detection ended

    static constexpr uintptr_t DONE = 1;
    DPIFlow* record() const { return reinterpret_cast<DPIFlow*>(flow.load(std::memory_order_relaxed) & ~DONE); }
    void copy_from(const Slot& o) {
        stamp.store(o.stamp.load(std::memory_order_relaxed), std::memory_order_relaxed);
        flow.store(o.flow.load(std::memory_order_relaxed), std::memory_order_relaxed);
        id.store(o.id.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    static void check_size() { static_assert(sizeof(Slot) == 16, "four slots to a cache line"); }
};

// Session id -> slot. Linear probing with backward-shift deletion, a
// power-of-two capacity at most 3/4 full. Lookups may run while one writer
// inserts (the slot is filled first and made visible by a release store of
// its id); growing and erasing need the readers gone. Owns the records.
class NDPIDetector::FlowTable {
  public:
    FlowTable() = default;
    ~FlowTable() {
        for (size_t i = 0; i < _cap; ++i)
            if (_slots[i].id.load(std::memory_order_relaxed)) {
                free_flow(_slots[i].record());
                delete _slots[i].record();
            }
    }
    FlowTable(const FlowTable&) = delete;
    FlowTable& operator=(const FlowTable&) = delete;

    size_t size() const { return _size.load(std::memory_order_relaxed); }

    __attribute__((always_inline)) Slot* find(uint32_t id) const {
        if (!_cap)
            return nullptr;
        for (size_t i = home(id);; i = (i + 1) & (_cap - 1)) {
            uint32_t s = _slots[i].id.load(std::memory_order_acquire);
            if (s == id)
                return &_slots[i];
            if (!s)
                return nullptr;
        }
    }

    bool needs_grow() const { return (size() + 1) * 4 > _cap * 3; }

    // Readers gone.
    void grow() {
        size_t ocap = _cap;
        std::unique_ptr<Slot[]> old(std::move(_slots));
        _cap = ocap ? ocap * 2 : 64;
        _bits = _bits ? _bits + 1 : 6;
        _slots.reset(new Slot[_cap]);
        for (size_t i = 0; i < ocap; ++i)
            if (uint32_t id = old[i].id.load(std::memory_order_relaxed))
                slot_for(id)->copy_from(old[i]);
    }

    // `id` must be absent and the table must not need to grow. Readers may
    // be looking: the id is stored last (release).
    void insert(uint32_t id, DPIFlow* f) {
        Slot* s = slot_for(id);
        s->stamp.store(0, std::memory_order_relaxed);
        s->flow.store(reinterpret_cast<uintptr_t>(f), std::memory_order_relaxed);
        s->id.store(id, std::memory_order_release);
        _size.store(size() + 1, std::memory_order_relaxed);
    }

    // Readers gone. Returns the record, now the caller's, or null.
    DPIFlow* erase(uint32_t id) {
        if (!_cap || !id)
            return nullptr;
        size_t mask = _cap - 1, i = home(id);
        for (;; i = (i + 1) & mask) {
            uint32_t s = _slots[i].id.load(std::memory_order_relaxed);
            if (!s)
                return nullptr;
            if (s == id)
                break;
        }
        DPIFlow* f = _slots[i].record();
        size_t hole = i;
        for (size_t j = (i + 1) & mask; _slots[j].id.load(std::memory_order_relaxed); j = (j + 1) & mask) {
            size_t h = home(_slots[j].id.load(std::memory_order_relaxed));
            bool stays = hole <= j ? (h > hole && h <= j) : (h > hole || h <= j);
            if (!stays) {
                _slots[hole].copy_from(_slots[j]);
                hole = j;
            }
        }
        _slots[hole].id.store(0, std::memory_order_relaxed);
        _slots[hole].flow.store(0, std::memory_order_relaxed);
        _size.store(size() - 1, std::memory_order_relaxed);
        return f;
    }

    template <typename F>
    void for_each(F&& f) const {
        for (size_t i = 0; i < _cap; ++i)
            if (uint32_t id = _slots[i].id.load(std::memory_order_acquire))
                f(id, _slots[i]);
    }

    void swap(FlowTable& o) {
        std::swap(_slots, o._slots);
        std::swap(_cap, o._cap);
        std::swap(_bits, o._bits);
        size_t n = size();
        _size.store(o.size(), std::memory_order_relaxed);
        o._size.store(n, std::memory_order_relaxed);
    }

  private:
    // Session ids are handed out in sequence: a multiplicative hash spreads them.
    size_t home(uint32_t id) const { return size_t((uint64_t(id) * 0x9E3779B97F4A7C15ULL) >> (64 - _bits)); }

    // The first empty slot of `id`'s probe run.
    Slot* slot_for(uint32_t id) {
        size_t i = home(id);
        while (_slots[i].id.load(std::memory_order_relaxed))
            i = (i + 1) & (_cap - 1);
        return &_slots[i];
    }

    std::unique_ptr<Slot[]> _slots;
    size_t _cap = 0;
    unsigned _bits = 0;
    std::atomic<size_t> _size{0};
};

namespace {

// nDPI allocates through these: the package's plain malloc and free.
void* dpi_malloc(size_t n) { return std::malloc(n); }
void dpi_free(void* p) { std::free(p); }

// nDPI's log levels 0, 1 and 2 become error, info and debug lines.
void dpi_debug(uint32_t protocol, void*, ndpi_log_level_t level, const char*, const char*, unsigned, const char* fmt,
               ...) {
    if (level > NDPI_LOG_DEBUG)
        return;
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (level == NDPI_LOG_ERROR)
        WLogger::error("Protocol: %u - %s", protocol, buf);
    else if (level == NDPI_LOG_TRACE)
        WLogger::info("Protocol: %u - %s", protocol, buf);
    else
        WLogger::debug("Protocol: %u - %s", protocol, buf);
}

// Protocols whose dissector fills the TLS part of nDPI's flow record.
bool tls_family(uint16_t id) {
    return id == NDPI_PROTOCOL_TLS || id == NDPI_PROTOCOL_QUIC || id == NDPI_PROTOCOL_DTLS;
}

std::string bounded(const char* s, size_t max) { return s ? std::string(s, strnlen(s, max)) : std::string(); }

}  // namespace

NDPIDetector::NDPIDetector(const Element* owner, Settings s)
    : _owner(owner), _s(std::move(s)), _table(new FlowTable) {
    _listener_mask = MASK_TCP | MASK_UDP;
}

NDPIDetector::~NDPIDetector() { cleanup(); }

const char* NDPIDetector::name() const { return _owner ? _owner->name().c_str() : "NDPIDetector"; }

bool NDPIDetector::init_module(ErrorHandler* errh) {
    set_ndpi_malloc(dpi_malloc);
    set_ndpi_free(dpi_free);
    std::unique_ptr<Module> m(new Module);
    m->protocol_file = _s.protocol_file;
    m->ndpi = ndpi_init_detection_module(ndpi_no_prefs);
    if (!m->ndpi) {
        errh->error("DPI module initialization failed.");
        return false;
    }
    set_ndpi_debug_function(m->ndpi, dpi_debug);
    // nDPI 4.2 keeps no per-endpoint records: their size is 0.
    WLogger::debug("%s _size_flow_struct: %u, _size_id_struct: %u", name(),
                   unsigned(ndpi_detection_get_sizeof_ndpi_flow_struct()), 0u);
    NDPI_PROTOCOL_BITMASK all;
    NDPI_BITMASK_SET_ALL(all);
    ndpi_set_protocol_detection_bitmask2(m->ndpi, &all);
    if (!_s.protocol_file.empty() && ndpi_load_protocols_file(m->ndpi, _s.protocol_file.c_str()) < 0) {
        ndpi_exit_detection_module(m->ndpi);
        errh->error("%s cannot load PROTOCOL_FILE %s", name(), _s.protocol_file.c_str());
        return false;
    }
    ndpi_finalize_initialization(m->ndpi);
    cleanup();
    _module = m.release();
    _handed_over = false;
    return true;
}

void NDPIDetector::cleanup() {
    if (_module && !_handed_over) {
        {
            SpinlockGuard g(_module->lock);
            ndpi_exit_detection_module(_module->ndpi);
        }
        delete _module;
    }
    _module = nullptr;
}

void NDPIDetector::take_state(NDPIDetector* old) {
    if (!old || old == this)
        return;
    old->_handed_over = true;
    if (!old->_module) {
        WLogger::error("%s taking state, old element has not set dpi module", name());
    } else {
        if (old->_module->protocol_file != _s.protocol_file)
            WLogger::warn("%s keeps the running protocol file %s; PROTOCOL_FILE %s applies after a restart", name(),
                          old->_module->protocol_file.c_str(), _s.protocol_file.c_str());
        _handed_over = false;
        cleanup();
        _module = old->_module;
        old->_module = nullptr;
    }
    size_t n;
    {
        WWriteLock w(_lock);
        WWriteLock wo(old->_lock);
        _table->swap(*old->_table);
        n = _table->size();
        SpinlockGuard a(_proto_lock), b(old->_proto_lock);
        _proto_counts.swap(old->_proto_counts);
    }
    for (auto [mine, theirs] : {std::pair{&_detected, &old->_detected}, {&_undetected, &old->_undetected},
                                {&_inspected, &old->_inspected}}) {
        mine->store(mine->load() + theirs->exchange(0));
    }
    WLogger::debug("%s state taken successfully. Map size: %i", name(), int(n));
}

void NDPIDetector::free_flow(DPIFlow* f) {
    if (f && f->flow) {
        ndpi_free_flow_data(f->flow);
        std::free(f->flow);
        f->flow = nullptr;
    }
}

void NDPIDetector::session_notify(unsigned int session_id, unsigned char mask, SessionEvent event,
                                  const IPFlowID* flow, const WSessionInfo*) {
    if (mask != MASK_TCP && mask != MASK_UDP) {
        WLogger::error("%s notification received with an invalid listener_mask value: %u", name(), unsigned(mask));
        return;
    }
    if (event == SESSION_NEW) {
        if (!flow || flow->saddr().addr() == _s.local_ip || flow->daddr().addr() == _s.local_ip || !session_id)
            return;
        std::unique_ptr<DPIFlow> f(new (std::nothrow) DPIFlow);
        if (f)
            f->flow = static_cast<ndpi_flow_struct*>(std::calloc(1, ndpi_detection_get_sizeof_ndpi_flow_struct()));
        if (!f || !f->flow) {
            WLogger::error("%s Out of memory!", name());
            return;
        }
        f->key = *flow;
        f->proto = mask == MASK_TCP ? IPPROTO_TCP : IPPROTO_UDP;
        WInsertLock w(_lock);
        if (_table->find(session_id)) {  // never reused while alive; keep the one we have
            free_flow(f.get());
            return;
        }
        if (_table->needs_grow()) {
            _lock.drain_readers();
            _table->grow();
            _lock.undrain_readers();
        }
        _table->insert(session_id, f.release());
    } else if (event == SESSION_DELETED) {
        DPIFlow* f;
        {
            WWriteLock w(_lock);
            f = _table->erase(session_id);
        }
        free_flow(f);
        delete f;
    } else {
        WLogger::error("%s received an invalid event type notification.", name());
    }
}

void NDPIDetector::process(Packet* p) {
    IPv4View v;
    if (!ipv4_view(p, &v)) {
        _malformed.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!v.first_fragment()) {
        if (_fragment_logs.load(std::memory_order_relaxed) < 5 && _fragment_logs.fetch_add(1) < 5)
            WLogger::debug("%s received packet that is not a first fragment.", name());
        return;
    }
    uint8_t proto = v.proto();
    uint32_t saddr, daddr;
    std::memcpy(&saddr, v.ip + 12, 4);
    std::memcpy(&daddr, v.ip + 16, 4);
    if ((proto != IPPROTO_TCP && proto != IPPROTO_UDP) || saddr == _s.local_ip || daddr == _s.local_ip) {
        _skipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    uint32_t id = session_id_anno(p);
    if (!id) {
        _skipped.fetch_add(1, std::memory_order_relaxed);
        WLogger::debug("%s received packet without a valid session id", name());
        return;
    }
    uint32_t stamp;
    {
        WReadLock r(_lock);
        Slot* s = _table->find(id);
        if (!s) {
            WLogger::debug("%s flow not found.", name());
            return;
        }
        if (__builtin_expect(!(s->flow.load(std::memory_order_acquire) & Slot::DONE), 0))
            detect(s, v.ip, v.tot, proto, session_direction_anno(p), p->timestamp_anno().msecval());
        stamp = s->stamp.load(std::memory_order_relaxed);
    }
    set_dpi_master_proto_anno(p, uint16_t(stamp >> 16));
    set_dpi_proto_anno(p, uint16_t(stamp));
}

void NDPIDetector::detect(Slot* s, const uint8_t* ip, size_t ip_len, uint8_t proto, int direction,
                          int64_t ts_ms) {
    if (!_module)
        return;
    SpinlockGuard g(_module->lock);
    DPIFlow* f = s->record();
    if ((s->flow.load(std::memory_order_relaxed) & Slot::DONE) || !f->flow)
        return;  // finished by the other direction's thread meanwhile
    _inspected.fetch_add(1, std::memory_order_relaxed);
    uint32_t n = f->packets.load(std::memory_order_relaxed) + 1;
    f->packets.store(n, std::memory_order_relaxed);
    ndpi_protocol r = ndpi_detection_process_packet(_module->ndpi, f->flow, ip, uint16_t(ip_len),
                                                    uint64_t(ts_ms < 0 ? 0 : ts_ms));
    f->master.store(r.master_protocol, std::memory_order_relaxed);
    f->app.store(r.app_protocol, std::memory_order_relaxed);
    // Interim result: the session's packets carry it until detection ends.
    s->stamp.store(uint32_t(r.master_protocol) << 16 | r.app_protocol, std::memory_order_relaxed);
    if (r.app_protocol != NDPI_PROTOCOL_UNKNOWN || n > (proto == IPPROTO_UDP ? 8u : 10u))
        finish(s, ip, ip_len, proto, direction);
}

// With the module lock held: keeps the names, guesses or falls back to the
// port id, frees nDPI's records and publishes the result.
void NDPIDetector::finish(Slot* s, const uint8_t* ip, size_t ip_len, uint8_t proto, int direction) {
    DPIFlow* f = s->record();
    uint16_t master = f->master.load(std::memory_order_relaxed);
    uint16_t app = f->app.load(std::memory_order_relaxed);
    ndpi_flow_struct* nf = f->flow;
    f->host_server_name = bounded(nf->host_server_name, sizeof nf->host_server_name);
    // nDPI 4.2 keeps the names of the server's certificate in the TLS part
    // of its record (a union: valid only for the TLS family) and none of a
    // client certificate.
    if (proto == IPPROTO_TCP && app != NDPI_PROTOCOL_DNS && (tls_family(master) || tls_family(app))) {
        const char* names = nf->protos.tls_quic.server_names ? nf->protos.tls_quic.server_names
                                                              : nf->protos.tls_quic.subjectDN;
        f->server_cert = bounded(names, 256);
    }

    // Ports of this packet, when its transport header is there (the IPv4
    // view bounds ip_len; the header length is at least 20).
    size_t hlen = size_t(ip[0] & 0x0F) * 4;
    uint16_t sport = 0, dport = 0;
    if (ip_len >= hlen + 4) {
        sport = uint16_t(ip[hlen] << 8 | ip[hlen + 1]);
        dport = uint16_t(ip[hlen + 2] << 8 | ip[hlen + 3]);
    }
    if (app == NDPI_PROTOCOL_UNKNOWN && _s.guess) {
        // The guess reads the flow: it runs before nDPI's records are freed.
        // Addresses and ports in host order, the wide-area side first.
        uint32_t s = uint32_t(ip[12] << 24 | ip[13] << 16 | ip[14] << 8 | ip[15]);
        uint32_t d = uint32_t(ip[16] << 24 | ip[17] << 16 | ip[18] << 8 | ip[19]);
        uint16_t sp = sport, dp = dport;
        if (direction == WAN_OUT)
            std::swap(s, d), std::swap(sp, dp);
        ndpi_protocol g = ndpi_guess_undetected_protocol(_module->ndpi, nf, proto, s, sp, d, dp);
        master = g.master_protocol;
        app = g.app_protocol;
        f->guessed = app != NDPI_PROTOCOL_UNKNOWN;
    }
    // Undetected: 1000 + the smaller port, in 16 bits (ports above 64535
    // wrap to small ids).
    bool named = app != NDPI_PROTOCOL_UNKNOWN;
    if (!named)
        app = uint16_t(1000 + std::min(sport, dport));
    free_flow(f);
    f->master.store(master, std::memory_order_relaxed);
    f->app.store(app, std::memory_order_relaxed);
    f->done.store(true, std::memory_order_release);
    s->stamp.store(uint32_t(master) << 16 | app, std::memory_order_relaxed);
    s->flow.fetch_or(Slot::DONE, std::memory_order_release);

    (named ? _detected : _undetected).fetch_add(1, std::memory_order_relaxed);
    {
        SpinlockGuard g(_proto_lock);
        ++_proto_counts[app];
    }
    if (_s.debug)
        log_result(f, ip, hlen, proto);
}

void NDPIDetector::log_result(const DPIFlow* f, const uint8_t* ip, size_t hlen, uint8_t proto) const {
    if (f->guessed)
        WLogger::debug("%s guessed the following protocol", name());
    // The transport header's ports as they stand (network order), when present.
    uint16_t ports[2] = {0, 0};
    if (size_t(ip[2] << 8 | ip[3]) >= hlen + 4)
        std::memcpy(ports, ip + hlen, 4);
    IPFlowID id(IPAddress(ip + 12), ports[0], IPAddress(ip + 16), ports[1]);
    std::string flow = id.unparse() + (proto == IPPROTO_TCP ? " tcp" : " udp");
    WLogger::debug("%s Detection for %s - Master Protocol: %s, Protocol: %s, Host Server Name: %s, Client SSL Cert: "
                   "%s, Server SSL Cert: %s",
                   name(), flow.c_str(), proto_name(f->master.load()).c_str(), proto_name(f->app.load()).c_str(),
                   f->host_server_name.c_str(), f->client_cert.c_str(), f->server_cert.c_str());
}

std::string NDPIDetector::proto_name(uint16_t id) const {
    if (_module && id < ndpi_get_num_supported_protocols(_module->ndpi))
        return ndpi_get_proto_name(_module->ndpi, id);
    return std::to_string(id);
}

size_t NDPIDetector::sessions() const {
    WReadLock r(const_cast<WReadWriteLock&>(_lock));
    return _table->size();
}

NDPIDetector::Stats NDPIDetector::stats() const {
    return {sessions(), _detected.load(), _undetected.load(), _inspected.load(), _skipped.load(), _malformed.load()};
}

bool NDPIDetector::result(uint32_t id, uint16_t* master, uint16_t* app, bool* done, std::string* host) const {
    WReadLock r(const_cast<WReadWriteLock&>(_lock));
    const Slot* s = _table->find(id);
    if (!s)
        return false;
    const DPIFlow* f = s->record();
    *done = f->done.load(std::memory_order_acquire);
    *master = f->master.load(std::memory_order_relaxed);
    *app = f->app.load(std::memory_order_relaxed);
    if (host && *done)
        *host = f->host_server_name;
    return true;
}

std::string NDPIDetector::unparse_flows() const {
    struct Row {
        uint32_t id;
        std::string key;
        uint16_t master, app;
        uint32_t packets;
        bool done;
        std::string host, cert;
    };
    std::vector<Row> rows;
    {
        WReadLock r(const_cast<WReadWriteLock&>(_lock));
        _table->for_each([&](uint32_t id, const Slot& s) {
            const DPIFlow* f = s.record();
            bool done = f->done.load(std::memory_order_acquire);
            std::string key = std::string(f->proto == IPPROTO_TCP ? "tcp " : "udp ") + f->key.saddr().unparse() + ":" +
                              std::to_string(ntohs(f->key.sport())) + " <-> " + f->key.daddr().unparse() + ":" +
                              std::to_string(ntohs(f->key.dport()));
            rows.push_back({id, key, f->master.load(), f->app.load(), f->packets.load(), done,
                            done ? f->host_server_name : std::string(), done ? f->server_cert : std::string()});
        });
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
    std::string out;
    for (const Row& r : rows)
        out += std::to_string(r.id) + " " + r.key + " app=" + proto_name(r.app) + " master=" + proto_name(r.master) +
               " packets=" + std::to_string(r.packets) + (r.done ? " done" : " detecting") +
               " host=" + (r.host.empty() ? "-" : r.host) + " cert=" + (r.cert.empty() ? "-" : r.cert) + "\n";
    return out;
}

std::string NDPIDetector::unparse_protocols() const {
    std::map<uint16_t, uint64_t> counts;
    {
        SpinlockGuard g(_proto_lock);
        counts = _proto_counts;
    }
    std::string out;
    for (auto [id, n] : counts)
        out += proto_name(id) + " " + std::to_string(n) + "\n";
    return out;
}
