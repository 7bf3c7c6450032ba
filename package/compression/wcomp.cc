#include "compression/wcomp.hh"

#include <host/args.hh>
#include <host/checksum.hh>
#include <host/errorhandler.hh>

#include <strings.h>

#include <cstring>
#include <utility>

#include "common/predecessor.hh"
#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"

namespace {

constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;

// Offset of the IP header from the packet data: the network header when set.
int ip_offset(const Packet* p) {
    if (p->has_network_header()) {
        int off = p->network_header_offset();
        if (off >= 0 && uint32_t(off) < p->length())
            return off;
    }
    return 0;
}

// Resizes the packet so that `ip_off + want` bytes follow data(); returns
// the (possibly new) packet, or null when growing failed (packet killed).
WritablePacket* resize_to(WritablePacket* q, int ip_off, uint32_t want) {
    uint32_t have = q->length() - uint32_t(ip_off);
    if (want > have)
        return q->put(want - have);
    if (want < have)
        q->take(have - want);
    return q;
}

}  // namespace

WComp::WComp() = default;

WComp::~WComp() = default;

void* WComp::cast(const char* name) {
    if (std::strcmp(name, "WCompBase") == 0)
        return static_cast<WCompBase*>(this);
    if (std::strcmp(name, "WComp") == 0)
        return this;
    return WBase::cast(name);
}

int WComp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint16_t min_data_len = 128;
    uint32_t compressor = COMP_ZSTD;
    std::string method = "stateless";
    bool force_stateless = true;
    int32_t level = 0;
    if (Args(conf, this, errh)
            .read("MIN_DATA_LEN", min_data_len)
            .read("COMPRESSOR", compressor)
            .read("METHOD", WordArg(), method)
            .read("FORCE_STATELESS", force_stateless)
            .read("LEVEL", level)
            .complete() < 0)
        return -1;

    if (compressor > COMP_ZLIB)
        return errh->error("bad COMPRESSOR");
    if (compressor == COMP_DEPRECATED) {
        errh->warning("Level 1 = DEPRECATED COMPRESSOR. Setting to default level");
        compressor = COMP_ZSTD;
    }
    Methods m;
    if (strcasecmp(method.c_str(), "streaming") == 0)
        m = METHOD_STREAMING;
    else if (strcasecmp(method.c_str(), "stateless") == 0)
        m = METHOD_STATELESS;
    else
        return errh->error("bad METHOD");
    if (m == METHOD_STREAMING && compressor == COMP_NONE) {
        errh->warning("Compressor does not support streaming. Changing mode to stateless.");
        m = METHOD_STATELESS;
    }

    std::vector<std::string> rest;
    if (WBase::configure(rest, errh) < 0)
        return -1;

    _min_data_len = min_data_len;
    _compressor = Compressors(compressor);
    _method = m;
    _force_stateless = force_stateless;
    _master_fallback = false;
    _level = compression::clamp_level(int(compressor), level);
    _new_stream = true;
    return 0;
}

int WComp::initialize(ErrorHandler* errh) {
    if (_engine.init(_compressor, _level) < 0)
        return errh->error("%s", _engine.error());
    return 0;
}

void WComp::cleanup(CleanupStage) { _engine.cleanup(); }

void WComp::take_state(Element* old_e, ErrorHandler* errh) {
    WComp* old = predecessor_as(this, old_e, "WComp", errh);
    if (!old)
        return;
    for (auto [mine, theirs] : {std::pair{&_compressed, &old->_compressed}, std::pair{&_uncompressed, &old->_uncompressed},
                                std::pair{&_passed, &old->_passed}, std::pair{&_errors, &old->_errors}})
        mine->fetch_add(theirs->load(std::memory_order_relaxed), std::memory_order_relaxed);
    _lock.acquire();
    old->_lock.acquire();
    bool same = old->_compressor == _compressor && old->_level == _level && old->_method == _method;
    if (same) {
        _engine.swap(old->_engine);
        std::swap(_new_stream, old->_new_stream);
        _force_stateless = old->_force_stateless;
        _master_fallback = old->_master_fallback;
    }
    old->_lock.release();
    _lock.release();
    if (same)
        WLogger::debug("%s state taken successfully", name().c_str());
    else
        WLogger::info("%s compressor changed, starting a new stream", name().c_str());
}

void WComp::add_handlers() {
    add_read_handler("active_method", [this]() -> std::string {
        _lock.acquire();
        bool s = streaming_in_force();
        _lock.release();
        return s ? "Streaming" : "Stateless";
    });
    add_read_handler("compressed", [this]() { return std::to_string(compressed_count()); });
    add_read_handler("uncompressed", [this]() { return std::to_string(uncompressed_count()); });
    add_read_handler("passed", [this]() { return std::to_string(passed_count()); });
    add_read_handler("errors", [this]() { return std::to_string(error_count()); });
}

void WComp::set_force_stateless() {
    WLogger::info("%s setting force stateless.", name().c_str());
    _lock.acquire();
    _force_stateless = true;
    _lock.release();
}

void WComp::unforce_stateless() {
    WLogger::info("%s clearing force stateless.", name().c_str());
    _lock.acquire();
    _force_stateless = false;
    _lock.release();
}

void WComp::set_master_fallback() {
    WLogger::warn("%s setting master fallback.", name().c_str());
    _lock.acquire();
    _master_fallback = true;
    _lock.release();
}

void WComp::reset_master_fallback() {
    WLogger::info("%s resetting master fallback.", name().c_str());
    _lock.acquire();
    _master_fallback = false;
    _lock.release();
}

void WComp::hard_set_force_stateless() {
    WLogger::info("%s hard setting force", name().c_str());
    _lock.acquire();
    _force_stateless = true;
    _new_stream = true;
    int r = _engine.reset_stream();
    _lock.release();
    if (r < 0)
        WLogger::error("%s %s", name().c_str(), _engine.error());
}

// Adds the shim without compressing; a packet that has one leaves unchanged.
// The headers in front of the IP payload move into the headroom (a few dozen
// bytes) rather than the payload towards the tail.
Packet* WComp::skip_compression(Packet* p, int ip_off, ShimLayout& l, const ShimConfig& c) {
    _uncompressed.fetch_add(1, std::memory_order_relaxed);
    if (l.shim_off)
        return p;
    uint32_t add = uint32_t(shim_encap_len(c));
    bool mac = p->has_mac_header();
    int mac_off = mac ? p->mac_header_offset() : 0;
    WritablePacket* q = p->uniqueify();
    if (q && q->headroom() >= add && (!mac || mac_off >= 0)) {
        q = q->push(add);
        std::memmove(q->data(), q->data() + add, size_t(ip_off) + l.ihl);
    } else if (q) {
        q = resize_to(q, ip_off, l.total);
        if (q)
            q = q->put(add);
        if (q)
            std::memmove(q->data() + ip_off + l.ihl + add, q->data() + ip_off + l.ihl, l.total - l.ihl);
    }
    if (!q) {
        _errors.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("%s Insufficient memory to allocate WComp packet", name().c_str());
        return nullptr;
    }
    uint8_t* ip = q->data() + ip_off;
    uint32_t total = shim_write_encap(ip, l, c);
    resize_to(q, ip_off, total);  // drops link padding after the IP packet
    if (mac)
        q->set_mac_header(q->data() + mac_off);
    q->set_network_header(ip, l.ihl);
    return q;
}

Packet* WComp::simple_action(Packet* p) {
    const ShimConfig& c = _wconf->shim_config();
    int ip_off = ip_offset(p);
    ShimLayout l;
    if (!parse_shim_layout(p->data() + ip_off, p->length() - uint32_t(ip_off), c, l) ||
        (l.inner_proto != PROTO_TCP && l.inner_proto != PROTO_UDP)) {
        _passed.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    // A transport header that does not fit is carried as it is, uncompressed.
    if (!l.transport_ok || l.payload_len == 0 || l.payload_len < _min_data_len || _level == 0)
        return skip_compression(p, ip_off, l, c);

    const uint8_t* payload = p->data() + ip_off + l.payload_off;

    _lock.acquire();
    if (_compressor == COMP_NONE) {
        _lock.release();
        return skip_compression(p, ip_off, l, c);
    }
    bool streaming = streaming_in_force();
    int n = _engine.compress(payload, l.payload_len, streaming);
    if (n < 0) {
        _master_fallback = true;
        // The engine restarted its stream: the peer must restart too.
        if (streaming)
            _new_stream = true;
        _lock.release();
        _errors.fetch_add(1, std::memory_order_relaxed);
        if (_engine.error()[0])
            WLogger::error("%s %s", name().c_str(), _engine.error());
        WLogger::error("%s error compressing packet", name().c_str());
        p->kill();
        return nullptr;
    }
    // Too large for the buffers, or stateless output that did not shrink.
    if (n == 0 || (_method == METHOD_STATELESS && uint32_t(n) >= l.payload_len)) {
        _lock.release();
        return skip_compression(p, ip_off, l, c);
    }

    // The check value is only needed once the compressed form is sent.
    uint16_t check = click_in_cksum(payload, int(l.payload_len));
    uint32_t encap = l.shim_off ? l.encap : uint32_t(shim_encap_len(c));
    uint32_t new_total = l.ihl + encap + l.transport_len + uint32_t(n) + 2;
    WritablePacket* q = p->uniqueify();
    // Room for the old packet while the transport header moves, then the new size.
    if (q && new_total > l.total)
        q = resize_to(q, ip_off, new_total);
    if (!q) {
        _lock.release();
        _errors.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("%s Insufficient memory to allocate WComp packet", name().c_str());
        return nullptr;
    }
    uint8_t* ip = q->data() + ip_off;
    shim_write_compressed(ip, l, c, _engine.out(), uint32_t(n), check);
    wshim_header* s = l.shim(ip);
    uint8_t flags = uint8_t(s->flags & ~(WSHIM_COMPRESSED_MASK | WSHIM_STREAM));
    if (streaming) {
        flags |= WSHIM_STREAM;
        if (_new_stream) {
            WLogger::debug("%s setting new stream bit", name().c_str());
            s->control |= WSHIM_START_STREAM;
            _new_stream = false;
        } else {
            s->control &= uint8_t(~WSHIM_START_STREAM);
        }
    } else {
        s->control &= uint8_t(~WSHIM_START_STREAM);
    }
    s->flags = uint8_t(flags | compression::shim_flag(_compressor));
    _lock.release();

    q = resize_to(q, ip_off, new_total);
    q->set_network_header(q->data() + ip_off, l.ihl);
    _compressed.fetch_add(1, std::memory_order_relaxed);
    return q;
}

QUILO_REGISTER_ELEMENT(WComp);
