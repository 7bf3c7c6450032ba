#include "compression/packet_compressor.hh"

#include <host/checksum.hh>
#include <host/packet.hh>

#include <chrono>
#include <cstring>

#include "common/shim.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "compression/wcompbase.hh"

namespace {

constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;

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

void set_thread_index(wshim_header* s, uint8_t index) {
    s->control = uint8_t((s->control & ~WSHIM_THREAD_MASK) | (index & WSHIM_THREAD_MASK));
}

uint64_t steady_ns() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

}  // namespace

int PacketCompressor::init(int compressor, int level) {
    _off = level == 0 || compressor < ENGINE_LZ4 || compressor > ENGINE_ZLIB;
    return _engine.init(_off ? ENGINE_NONE : compressor, level);
}

int PacketCompressor::adapt_level(int level) {
    if (level != 0 && _engine.set_level(level) < 0)
        return -1;
    _paused.store(level == 0, std::memory_order_relaxed);
    return 0;
}

void PacketCompressor::add_counters(const PacketCompressor& o) {
    for (auto [mine, theirs] : {std::pair{&_compressed, &o._compressed}, std::pair{&_uncompressed, &o._uncompressed},
                                std::pair{&_passed, &o._passed}, std::pair{&_errors, &o._errors},
                                std::pair{&_busy_ns, &o._busy_ns}})
        mine->fetch_add(theirs->load(std::memory_order_relaxed), std::memory_order_relaxed);
}

Packet* PacketCompressor::out_of_memory() {
    _errors.fetch_add(1, std::memory_order_relaxed);
    WLogger::error("%s Insufficient memory to allocate WComp packet%s", _name.c_str(), _suffix.c_str());
    return nullptr;
}

// Adds the shim without compressing; a packet that has one leaves unchanged.
// The headers in front of the IP payload move into the headroom (a few dozen
// bytes) rather than the payload towards the tail.
Packet* PacketCompressor::skip_compression(Packet* p, int ip_off, ShimLayout& l, const ShimConfig& c,
                                           uint8_t thread_index) {
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
    if (!q)
        return out_of_memory();
    uint8_t* ip = q->data() + ip_off;
    uint32_t total = shim_write_encap(ip, l, c);
    set_thread_index(l.shim(ip), thread_index);
    resize_to(q, ip_off, total);  // drops link padding after the IP packet
    if (mac)
        q->set_mac_header(q->data() + mac_off);
    q->set_network_header(ip, l.ihl);
    return q;
}

Packet* PacketCompressor::process(Packet* p, const ShimConfig& c, WCompBase& ctl, bool& new_stream,
                                  uint8_t thread_index) {
    int ip_off = packet_ip_offset(p);
    ShimLayout l;
    if (!parse_shim_layout(p->data() + ip_off, p->length() - uint32_t(ip_off), c, l) ||
        (l.inner_proto != PROTO_TCP && l.inner_proto != PROTO_UDP)) {
        _passed.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    // A transport header that does not fit is carried as it is, uncompressed.
    if (_off || paused() || !l.transport_ok || l.payload_len == 0 || l.payload_len < ctl._min_data_len)
        return skip_compression(p, ip_off, l, c, thread_index);

    const uint8_t* payload = p->data() + ip_off + l.payload_off;

    ctl._lock.acquire();
    bool streaming = ctl.streaming_in_force();
    uint64_t t0 = steady_ns();
    int n = _engine.compress(payload, l.payload_len, streaming);
    _busy_ns.fetch_add(steady_ns() - t0, std::memory_order_relaxed);
    if (n < 0) {
        ctl._master_fallback = true;
        // The engine restarted its stream: the peer must restart too.
        if (streaming)
            new_stream = true;
        ctl._lock.release();
        _errors.fetch_add(1, std::memory_order_relaxed);
        if (_engine.error()[0])
            WLogger::error("%s %s%s", _name.c_str(), _engine.error(), _suffix.c_str());
        WLogger::error("%s error compressing packet%s", _name.c_str(), _suffix.c_str());
        p->kill();
        return nullptr;
    }
    // Too large for the buffers, or stateless output that did not shrink.
    if (n == 0 || (ctl._method == WCompBase::METHOD_STATELESS && uint32_t(n) >= l.payload_len)) {
        ctl._lock.release();
        return skip_compression(p, ip_off, l, c, thread_index);
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
        // The compressed bytes never leave: a stream that took them in is
        // ahead of the peer's and must start again.
        if (streaming) {
            new_stream = true;
            _engine.reset_stream();
        }
        ctl._lock.release();
        return out_of_memory();
    }
    uint8_t* ip = q->data() + ip_off;
    shim_write_compressed(ip, l, c, _engine.out(), uint32_t(n), check);
    wshim_header* s = l.shim(ip);
    set_thread_index(s, thread_index);
    uint8_t flags = uint8_t(s->flags & ~(WSHIM_COMPRESSED_MASK | WSHIM_STREAM));
    if (streaming) {
        flags |= WSHIM_STREAM;
        if (new_stream) {
            WLogger::debug("%s setting new stream bit%s", _name.c_str(), _suffix.c_str());
            s->control |= WSHIM_START_STREAM;
            new_stream = false;
        } else {
            s->control &= uint8_t(~WSHIM_START_STREAM);
        }
    } else {
        s->control &= uint8_t(~WSHIM_START_STREAM);
    }
    s->flags = uint8_t(flags | compression::shim_flag(_engine.compressor()));
    ctl._lock.release();

    q = resize_to(q, ip_off, new_total);
    q->set_network_header(q->data() + ip_off, l.ihl);
    _compressed.fetch_add(1, std::memory_order_relaxed);
    return q;
}
