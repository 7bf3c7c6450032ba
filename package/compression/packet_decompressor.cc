#include "compression/packet_decompressor.hh"

#include <host/checksum.hh>
#include <host/errorhandler.hh>
#include <host/packet.hh>

#include <cstring>
#include <utility>

#include "common/shim.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "rsp/rsp.hh"

int PacketDecompressor::initialize(const std::string& name, ErrorHandler* errh, const std::string& suffix) {
    _name = name;
    _suffix = suffix;
    if (_engine.init() < 0)
        return errh->error("%s", _engine.error());
    return 0;
}

void PacketDecompressor::take_state(PacketDecompressor& old) {
    if (&old == this)
        return;
    _lock.acquire();
    old._lock.acquire();
    _engine.swap(old._engine);
    old._lock.release();
    _lock.release();
    for (auto [mine, theirs] : {std::pair{&_decompressed, &old._decompressed}, std::pair{&_uncompressed, &old._uncompressed},
                                std::pair{&_passed, &old._passed}, std::pair{&_errors, &old._errors}})
        mine->fetch_add(theirs->load(std::memory_order_relaxed), std::memory_order_relaxed);
}

// A packet that cannot be restored is dropped; a stream packet means the
// stream is lost and the owner resets RSP.
PacketDecompressor::Result PacketDecompressor::fail(Packet* p, bool stream) {
    _errors.fetch_add(1, std::memory_order_relaxed);
    p->kill();
    Result r;
    r.stream_failed = stream;
    return r;
}

PacketDecompressor::Result PacketDecompressor::uncompressed(Packet* p, int ip_off, const ShimLayout& l) {
    _uncompressed.fetch_add(1, std::memory_order_relaxed);
    Result r;
    WritablePacket* q = p->uniqueify();
    if (!q) {
        _errors.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("%s out of memory%s", _name.c_str(), _suffix.empty() ? "." : _suffix.c_str());
        return r;
    }
    uint8_t* ip = q->data() + ip_off;
    wshim_header* s = l.shim(ip);
    s->flags &= uint8_t(~WSHIM_STREAM);
    r.packet = q;
    if (s->flags & WSHIM_DEDUP_MASK) {
        r.port = 1;
        return r;
    }
    uint32_t total = shim_remove(ip, l);
    q->take(q->length() - uint32_t(ip_off) - total);
    q->set_network_header(ip, l.ihl);
    return r;
}

PacketDecompressor::Result PacketDecompressor::process(Packet* p, const ShimConfig& c) {
    int ip_off = packet_ip_offset(p);
    ShimLayout l;
    if (!parse_shim_layout(p->data() + ip_off, p->length() - uint32_t(ip_off), c, l) || l.shim_off == 0) {
        _passed.fetch_add(1, std::memory_order_relaxed);
        Result r;
        r.packet = p;
        return r;
    }
    const uint8_t* ip = p->data() + ip_off;
    const wshim_header* s = l.shim(ip);
    uint8_t flags = s->flags;
    bool stream = flags & WSHIM_STREAM;
    if (!(flags & WSHIM_COMPRESSED_MASK))
        return uncompressed(p, ip_off, l);  // reads nothing behind the shim

    // Compressed data runs from the transport header to the 2-byte check
    // value at the end; a packet too short to hold both is a failure.
    if (!l.transport_ok || l.payload_len < 3) {
        WLogger::error("%s error decompressing packet %i %i%s", _name.c_str(),
                       l.transport_ok ? int(l.payload_len) - 2 : -1, int(l.total), _suffix.c_str());
        return fail(p, stream);
    }
    uint32_t data_len = l.payload_len - 2;
    const uint8_t* data = ip + l.payload_off;
    uint16_t check;
    std::memcpy(&check, data + data_len, 2);

    _lock.acquire();
    if (s->control & WSHIM_START_STREAM) {
        WLogger::info("%s reset decompressor stream%s", _name.c_str(), _suffix.c_str());
        if (_engine.reset_stream() < 0)
            WLogger::error("%s %s%s", _name.c_str(), _engine.error(), _suffix.c_str());
    }
    int n = _engine.decompress(flags, data, data_len);
    if (n < 1) {
        _lock.release();
        if (_engine.error()[0])
            WLogger::error("%s %s%s", _name.c_str(), _engine.error(), _suffix.c_str());
        WLogger::error("%s error decompressing packet %i %i%s", _name.c_str(), n, int(l.total), _suffix.c_str());
        return fail(p, stream);
    }
    uint16_t computed = click_in_cksum(_engine.out(), n);
    if (computed != check) {
        _lock.release();
        WLogger::error("%s checksum does not match %u %u%s", _name.c_str(), unsigned(check), unsigned(computed),
                       _suffix.c_str());
        return fail(p, stream);
    }

    bool dedup = flags & WSHIM_DEDUP_MASK;
    uint32_t new_total = dedup ? l.payload_off + uint32_t(n) : l.ihl + l.transport_len + uint32_t(n);
    WritablePacket* q = p->uniqueify();
    uint32_t have = q ? q->length() - uint32_t(ip_off) : 0;
    if (q && new_total > have)
        q = q->put(new_total - have);
    if (!q) {
        _lock.release();
        _errors.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("%s out of memory%s", _name.c_str(), _suffix.empty() ? "." : _suffix.c_str());
        return Result{};
    }
    uint8_t* wip = q->data() + ip_off;
    shim_write_decompressed(wip, l, _engine.out(), uint32_t(n), dedup);
    _lock.release();
    Result r;
    if (dedup) {
        wshim_header* ws = l.shim(wip);
        ws->flags &= uint8_t(WSHIM_REFLECT | WSHIM_DEDUP_MASK);
        r.port = 1;
    }
    q->take(q->length() - uint32_t(ip_off) - new_total);
    q->set_network_header(wip, l.ihl);
    _decompressed.fetch_add(1, std::memory_order_relaxed);
    r.packet = q;
    return r;
}

Packet* PacketDecompressor::deliver(Result r, Element* owner, RSP* rsp) {
    if (r.stream_failed)
        rsp->stream_failed();
    if (r.packet && r.port == 1) {
        owner->checked_output_push(1, r.packet);
        return nullptr;
    }
    return r.packet;
}
