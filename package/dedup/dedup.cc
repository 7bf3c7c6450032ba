#include "dedup/dedup.hh"

#include <host/args.hh>
#include <host/checksum.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "dedup/dedupstream.hh"
#include "dedup/wdedupimpl.hh"

namespace {

constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;
// Packets of this IP length or less never reach the engine.
constexpr uint32_t MIN_ENCODE_TOTAL = 460;

// Offset of the IP header from the packet data: the network header, which the
// element requires; -1 when it is missing or outside the data.
int ip_offset(const Packet* p) {
    if (!p->has_network_header())
        return -1;
    int off = p->network_header_offset();
    if (off < 0 || uint32_t(off) >= p->length())
        return -1;
    return off;
}

bool unfragmented(const uint8_t* ip) {
    uint16_t f = uint16_t(ip[6] << 8 | ip[7]);
    return (f & (IP_MF | IP_OFFMASK)) == 0;
}

// Whether the TCP segment made of the transport header at `th` (`tl` bytes,
// a multiple of 4) and the payload `data` carries a correct checksum for the
// addresses of the IP header at `ip`.
bool tcp_checksum_ok(const uint8_t* ip, const uint8_t* th, uint32_t tl, const uint8_t* data, uint32_t n) {
    uint32_t sum = click_in_cksum_partial(th, int(tl), 0);
    sum = click_in_cksum_partial(data, int(n), sum);
    uint32_t saddr, daddr;
    std::memcpy(&saddr, ip + 12, 4);
    std::memcpy(&daddr, ip + 16, 4);
    return click_in_cksum_pseudohdr(click_in_cksum_fold(sum), saddr, daddr, PROTO_TCP, int(tl + n)) == 0;
}

// Drops link-layer padding behind the IP packet, then grows the packet so that
// `need` bytes from the IP header fit. Returns null (packet freed) on failure.
WritablePacket* fit(Packet* p, int ip_off, uint32_t total, uint32_t need) {
    WritablePacket* q = p->uniqueify();
    if (!q)
        return nullptr;
    q->take(q->length() - uint32_t(ip_off) - total);
    if (need > total)
        q = q->put(need - total);
    return q;
}

// Sets the packet's length to `total` bytes from the IP header and its header
// positions to the IP header of `ihl` bytes.
void finish(WritablePacket* q, int ip_off, uint32_t ihl, uint32_t total) {
    uint32_t have = q->length() - uint32_t(ip_off);
    if (have > total)
        q->take(have - total);
    q->set_network_header(q->data() + ip_off, ihl);
}

// A sync packet goes back to the appliance it came from, so it travels as
// its session's other direction: IP addresses, inner ports and Ethernet
// addresses swapped. The session manager over there orients session keys by
// direction and finds the session only so; the packet is then handed to that
// appliance's Dedup, which turns it round again. The tunnel's own UDP ports
// stay. Swapping aligned 16-bit words leaves every checksum as it was.
void turn_around(WritablePacket* q, int ip_off, const ShimLayout& l) {
    uint8_t* ip = q->data() + ip_off;
    for (int i = 12; i < 16; ++i)
        std::swap(ip[i], ip[i + 4]);
    if (l.transport_len >= 4 && (l.inner_proto == PROTO_TCP || l.inner_proto == PROTO_UDP)) {
        uint8_t* ports = ip + l.ihl + l.encap;
        std::swap(ports[0], ports[2]);
        std::swap(ports[1], ports[3]);
    }
    if (q->has_mac_header() && q->mac_header() >= q->data() && ip - q->mac_header() >= 12) {
        uint8_t* eth = q->mac_header();
        for (int i = 0; i < 6; ++i)
            std::swap(eth[i], eth[i + 6]);
    }
}

}  // namespace

Dedup::Dedup() : _timer(this) {}

Dedup::~Dedup() {
    if (!_state_taken)
        delete _engine.exchange(nullptr);
}

int Dedup::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int action = 0, ds = 0, level = 4, ds_size = 16000;
    bool boost = false;
    double rate = 0.05;
    std::string dir = WDedup::DEFAULT_DIR, notifier;
    int peer_port = -1;
    if (Args(conf, this, errh)
            .read_mp("ACTION", action)
            .read_mp("DS", ds)
            .read("LOOKUP_BOOST", boost)
            .read("LOOKUP_BOOST_ERROR_RATE", rate)
            .read("LEVEL", level)
            .read("DS_SIZE", ds_size)
            .read("DS_DIR", StringArg(), dir)
            .read("NOTIFIER", WordArg(), notifier)
            .read("PEER_OUTPUT_PORT", peer_port)
            .complete() < 0)
        return -1;
    if (notifier.empty() != (peer_port < 0))
        return errh->error("NOTIFIER and PEER_OUTPUT_PORT go together");
    PeerDiscoveryNotifier* pdn = nullptr;
    if (!notifier.empty() && !(pdn = find_peer_notifier(this, notifier, errh)))
        return -EINVAL;
    // The engine indexes the datastore's records with 32-bit slot numbers.
    constexpr uint64_t max_records = uint64_t(INT32_MAX) - 200;
    if (ds_size <= 0)
        return errh->error("DS_SIZE must be greater than 0");
    if (uint64_t(ds_size) * 1048576u / (WDedup::CHUNK_LEN + 8) > max_records)
        return errh->error("DS_SIZE too large");
    if (!(rate > 0 && rate < 1))
        return errh->error("LOOKUP_BOOST_ERROR_RATE must be between 0 and 1");
    if (action == 0 && noutputs() < 3)
        return errh->error("ACTION 0 needs three outputs");
    std::vector<std::string> rest;
    if (WBase::configure(rest, errh) < 0)
        return -1;
    _action = action;
    _ds = ds;
    _level = level;
    _ds_size = ds_size;
    _lookup_boost = boost;
    _error_rate = rate;
    _ds_dir = dir;
    _ds_path = WDedup::datastore_path(dir, ds);
    _await_peer = pdn != nullptr;
    if (pdn)
        pdn->add_listener(this, peer_port);
    return 0;
}

void Dedup::peer_discovered_notify(const IPAddress& peer) {
    if (!_peer_known.exchange(true, std::memory_order_acq_rel))
        WLogger::debug("%s peer %s on its port: the datastore opens", name().c_str(), peer.unparse().c_str());
}

int Dedup::initialize(ErrorHandler*) {
    WLogger::debug("%s initializing timer.", name().c_str());
    _timer.initialize(this);
    _timer.schedule_after_msec(1);
    return 0;
}

void Dedup::run_timer(Timer*) {
    WDedup* e = engine();
    if (!e && waiting_for_peer()) {
        // No peer on this branch yet: look again a little later.
        _timer.schedule_after_msec(100);
        return;
    }
    if (_ready_polls++ == 0) {
        WLogger::debug("%s run_timer.", name().c_str());
        if (e) {
            WLogger::debug("%s WDedup already exist, must be hot swap load.", name().c_str());
        } else {
            // All settings go to the constructor: preparation reads them on
            // the engine's own thread as soon as it starts.
            e = new WDedup(_ds_path, _ds_size, WDedup::CHUNK_LEN, _level, _lookup_boost, _error_rate);
            _engine.store(e, std::memory_order_release);
        }
    }
    if (_readiness_reported)
        return;
    // Watch preparation so that its outcome is logged: every 10 ms at first,
    // then once a second.
    if (!e->impl()->prepared()) {
        _timer.schedule_after_msec(_ready_polls < 100 ? 10 : 1000);
        return;
    }
    _readiness_reported = true;
    if (e->ds_ready())
        WLogger::info("%s datastore %s ready", name().c_str(), _ds_path.c_str());
    else
        WLogger::error("%s datastore %s could not be prepared; traffic passes unencoded", name().c_str(),
                       _ds_path.c_str());
}

void Dedup::take_state(Element* old, ErrorHandler*) {
    WLogger::info("%s taking state", name().c_str());
    Dedup* o = static_cast<Dedup*>(old->cast("Dedup"));
    if (!o)
        return;
    o->_state_taken = true;
    delete _engine.exchange(nullptr);
    WDedup* theirs = o->_engine.exchange(nullptr);
    if (!theirs) {
        WLogger::info("%s taking state, old element has not set wdedup", name().c_str());
        return;
    }
    if (o->_ds_path == _ds_path && o->_ds_size == _ds_size) {
        // Same datastore: keep it open, with the new encoding settings.
        theirs->configure(_level, _lookup_boost, _error_rate);
        _engine.store(theirs, std::memory_order_release);
        _readiness_reported = o->_readiness_reported;
        return;
    }
    // Another datastore: close the old one now, so it is never open twice;
    // the start timer opens the new one.
    WLogger::info("%s datastore changed from %s to %s", name().c_str(), o->_ds_path.c_str(), _ds_path.c_str());
    delete theirs;
}

void Dedup::cleanup(CleanupStage) {
    _timer.unschedule();
    if (!_state_taken)
        delete _engine.exchange(nullptr);
}

bool Dedup::ds_ready() const {
    WDedup* e = engine();
    return e && e->ds_ready();
}

void Dedup::reset_counts() {
    for (std::atomic<uint64_t>* c : {&_count.encoded, &_count.unencoded, &_count.passed, &_count.decoded,
                                     &_count.bytes_in, &_count.bytes_out, &_count.missing_syncs,
                                     &_count.checksum_syncs, &_count.sync_returns, &_count.drops,
                                     &_count.errors})
        c->store(0, std::memory_order_relaxed);
}

void Dedup::add_handlers() {
    add_read_handler("ds_ready", [this] { return std::string(ds_ready() ? "true" : "false"); });
    add_read_handler("ds_slot", [this] {
        WDedup* e = engine();
        return std::to_string(e ? e->get_slot() : 0u);
    });
    add_read_handler("ds_path", [this] { return _ds_path; });
    add_read_handler("ds_waiting", [this] { return std::string(waiting_for_peer() ? "true" : "false"); });
    // Chunks the datastore holds before it wraps ("0" without a usable one).
    add_read_handler("ds_capacity", [this] {
        WDedup* e = engine();
        return std::to_string(e && e->ds_ready() ? e->impl()->capacity() : 0);
    });
    auto counter = [this](const char* n, const std::atomic<uint64_t>* c) {
        add_read_handler(n, [c] { return std::to_string(c->load(std::memory_order_relaxed)); });
    };
    counter("encoded", &_count.encoded);
    counter("unencoded", &_count.unencoded);
    counter("passed", &_count.passed);
    counter("decoded", &_count.decoded);
    counter("encode_bytes_in", &_count.bytes_in);
    counter("encode_bytes_out", &_count.bytes_out);
    counter("missing_syncs", &_count.missing_syncs);
    counter("checksum_syncs", &_count.checksum_syncs);
    counter("sync_returns", &_count.sync_returns);
    counter("drops", &_count.drops);
    counter("errors", &_count.errors);
    add_write_handler("reset_counts", [this](const std::string&, ErrorHandler*) {
        reset_counts();
        return 0;
    });
}

Packet* Dedup::drop(Packet* p) {
    _count.drops.fetch_add(1, std::memory_order_relaxed);
    p->kill();
    return nullptr;
}

bool Dedup::loud_error() {
    // A peer sending bad packets must not flood the log: the first error and
    // every 1000th are reported, all are counted.
    uint64_t n = _count.errors.fetch_add(1, std::memory_order_relaxed);
    return n % 1000 == 0 || WLogger::enabled(WLogger::DEBUG);
}

WritablePacket* Dedup::resize(Packet* p, int ip_off, uint32_t total, uint32_t need) {
    WritablePacket* q = fit(p, ip_off, total, need);
    if (!q) {
        if (loud_error())
            WLogger::error("%s E14 put() returned false during dedup", name().c_str());
        _count.drops.fetch_add(1, std::memory_order_relaxed);
    }
    return q;
}

void Dedup::note_sync_update() {
    uint32_t c = ++_sync_counter;
    if (c <= 5)
        WLogger::debug("%s Datastore Sync Update", name().c_str());
    else if (c == 100)
        WLogger::debug("%s Datastore Sync Update (100)", name().c_str());
    else if (c == 1000)
        WLogger::info("%s Datastore Sync Update (1K)", name().c_str());
    else if (c == 10000) {
        WLogger::info("%s Datastore Sync Update (10K)", name().c_str());
        _sync_counter = 0;
    }
}

Packet* Dedup::process(Packet* p, int* port, bool* used) {
    *port = OUT_PASS;
    *used = false;
    int ip_off = ip_offset(p);
    ShimLayout l;
    if (ip_off < 0 ||
        !parse_shim_layout(p->data() + ip_off, p->length() - uint32_t(ip_off), _wconf->shim_config(), l)) {
        // Not an IPv4 packet this element understands: not ours to change.
        _count.passed.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    bool shimmed = l.shim_off != 0;
    if (!shimmed && (_action == 1 || _level == 0)) {
        _count.passed.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    WDedup* e = engine();
    if (!e || !e->ds_ready()) {
        if (shimmed)
            return drop(p);  // cannot be rehydrated without the datastore
        _count.passed.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    if (shimmed) {
        *used = true;
        return decode(p, ip_off, l, e, port);
    }
    if ((l.ip_proto != PROTO_TCP && l.ip_proto != PROTO_UDP) || l.total <= MIN_ENCODE_TOTAL || !l.transport_ok) {
        _count.passed.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    *used = true;
    return encode(p, ip_off, l, e);
}

Packet* Dedup::encode(Packet* p, int ip_off, const ShimLayout& l, WDedup* e) {
    const ShimConfig& c = _wconf->shim_config();
    const uint8_t* payload = p->data() + ip_off + l.payload_off;
    uint32_t plen = l.payload_len;
    bool dedup = _action == 0;
    // The peer rehydrates into MAX_PAYLOAD bytes: a longer payload could not
    // come back out of its decoder, so it travels as it is.
    if (dedup && (plen > uint32_t(WDedup::MAX_PAYLOAD) || plen < WDedup::CHUNK_LEN)) {
        _count.unencoded.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    SpinlockGuard g(_lock);
    uint32_t n;
    if (dedup) {
        int r = e->compress(payload, _out, int(plen), WDedup::MAX_PAYLOAD);
        if (r < 0) {
            int err = errno;
            if (err == EIO || err == EINTR) {
                // The encoding does not fit (or the payload is too short for
                // a chunk): nothing is lost by sending the packet unencoded.
                _count.unencoded.fetch_add(1, std::memory_order_relaxed);
                return p;
            }
            if (loud_error())
                WLogger::error("%s error compressing packet. %i", name().c_str(), err);
            return drop(p);
        }
        n = uint32_t(r);
    } else {
        // Shim only: the payload escaped as literals, which any decoder
        // restores exactly.
        dedupstream::ByteSink out(_out, WDedup::MAX_PAYLOAD);
        out.literals(payload, plen);
        if (out.overflow()) {
            _count.unencoded.fetch_add(1, std::memory_order_relaxed);
            return p;
        }
        n = uint32_t(out.length());
    }

    uint32_t encap = uint32_t(shim_encap_len(c));
    uint32_t tl = l.transport_len;
    uint32_t total = l.ihl + encap + tl + n;
    WritablePacket* q = resize(p, ip_off, l.total, total);
    if (!q)
        return nullptr;
    uint8_t* ip = q->data() + ip_off;
    // The encoded bytes go behind where the transport header will be; they
    // never overlap its old place, so the header can move afterwards.
    std::memcpy(ip + l.ihl + encap + tl, _out, n);
    std::memmove(ip + l.ihl + encap, ip + l.ihl, tl);
    ShimLayout nl = l;
    nl.total = l.ihl + tl + n;
    shim_write_encap(ip, nl, c);  // UDP header, shim, IP protocol, lengths
    nl.shim(ip)->flags = WSHIM_DEDUP;
    finish(q, ip_off, l.ihl, total);
    _count.encoded.fetch_add(1, std::memory_order_relaxed);
    _count.bytes_in.fetch_add(plen, std::memory_order_relaxed);
    _count.bytes_out.fetch_add(n, std::memory_order_relaxed);
    return q;
}

Packet* Dedup::strip_shim(Packet* p, int ip_off, const ShimLayout& l, int* port) {
    WritablePacket* q = fit(p, ip_off, l.total, l.total);
    if (!q) {
        _count.drops.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    uint32_t total = shim_remove(q->data() + ip_off, l);
    finish(q, ip_off, l.ihl, total);
    _count.passed.fetch_add(1, std::memory_order_relaxed);
    *port = _action == 0 ? OUT_REHYDRATED : OUT_PASS;
    return q;
}

Packet* Dedup::decode(Packet* p, int ip_off, const ShimLayout& l, WDedup* e, int* port) {
    const uint8_t* ip = p->data() + ip_off;
    uint8_t flags = l.shim(ip)->flags;
    // A payload still compressed, or a transport header cut short, cannot be
    // restored here.
    if (!l.transport_ok || (flags & WSHIM_COMPRESSED_MASK))
        return drop(p);
    if (!(flags & WSHIM_DEDUP_MASK))
        return strip_shim(p, ip_off, l, port);
    bool sync = flags & WSHIM_DEDUP_SYNC;
    const uint8_t* payload = ip + l.payload_off;
    uint32_t plen = l.payload_len;

    SpinlockGuard g(_lock);
    int r = e->decompress(payload, _out, int(plen), WDedup::MAX_PAYLOAD, _missing, sync);
    if (r < 0) {
        int err = errno;
        if (err != ENOENT || _missing.empty()) {
            if (loud_error())
                WLogger::error("%s error decompressing packet. %i", name().c_str(), err);
            return drop(p);
        }
        // Chunks missing here: the packet goes back to its sender, still
        // encoded, with the sync flag; the sender rehydrates it itself.
        note_sync_update();
        if (sync)
            return drop(p);
        WritablePacket* q = p->uniqueify();
        if (!q) {
            _count.drops.fetch_add(1, std::memory_order_relaxed);
            return nullptr;
        }
        l.shim(q->data() + ip_off)->flags = WSHIM_DEDUP_SYNC;
        turn_around(q, ip_off, l);
        _count.missing_syncs.fetch_add(1, std::memory_order_relaxed);
        *port = OUT_SYNC;
        return q;
    }
    uint32_t n = uint32_t(r);
    uint32_t tl = l.transport_len;
    // The checksum covers the whole segment only when the packet is not a
    // fragment; it is checked before the packet changes, so that a failure
    // can still send the encoded form back.
    if (!sync && l.inner_proto == PROTO_TCP && unfragmented(ip) &&
        !tcp_checksum_ok(ip, ip + l.payload_off - tl, tl, _out, n)) {
        // Decoding again in sync mode puts the local datastore in step; the
        // sender does the same when the packet reaches it.
        e->decompress(payload, _out, int(plen), WDedup::MAX_PAYLOAD, _missing, true);
        WritablePacket* q = p->uniqueify();
        if (!q) {
            _count.drops.fetch_add(1, std::memory_order_relaxed);
            return nullptr;
        }
        l.shim(q->data() + ip_off)->flags = WSHIM_DEDUP_SYNC;
        turn_around(q, ip_off, l);
        _count.checksum_syncs.fetch_add(1, std::memory_order_relaxed);
        WLogger::debug("%s Datastore Chksum Sync", name().c_str());
        *port = OUT_SYNC;
        return q;
    }

    uint32_t total = sync ? l.payload_off + n : l.ihl + tl + n;
    WritablePacket* q = resize(p, ip_off, l.total, total);
    if (!q)
        return nullptr;
    uint8_t* wip = q->data() + ip_off;
    // With the sync flag the shim stays (flags 0) and the UDP length follows
    // the new size; otherwise the shim goes and the IP protocol comes back.
    shim_write_decompressed(wip, l, _out, n, sync);
    if (sync) {
        // Back at its sender: turned round once more, the packet continues
        // its original way, rehydrated.
        l.shim(wip)->flags = 0;
        turn_around(q, ip_off, l);
        _count.sync_returns.fetch_add(1, std::memory_order_relaxed);
        *port = OUT_SYNC;
    } else {
        _count.decoded.fetch_add(1, std::memory_order_relaxed);
        *port = _action == 0 ? OUT_REHYDRATED : OUT_PASS;
    }
    finish(q, ip_off, l.ihl, total);
    return q;
}

void Dedup::push(int, Packet* p) {
    int port = OUT_PASS;
    bool used;
    Packet* q = process(p, &port, &used);
    if (q)
        checked_output_push(port, q);
    // Chunks queued by this packet enter the datastore once it is on its way.
    if (used)
        engine()->commit();
}

Packet* Dedup::simple_action(Packet* p) {
    int port = OUT_PASS;
    bool used;
    Packet* q = process(p, &port, &used);
    if (q && port != OUT_PASS) {
        checked_output_push(port, q);
        q = nullptr;
    }
    if (used)
        engine()->commit();
    return q;
}

QUILO_REGISTER_ELEMENT(Dedup);
