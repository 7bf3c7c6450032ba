#include "fec/wfec.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/annotations.hh"
#include "common/ownpacket.hh"
#include "common/partner.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "fec/fec_wire.hh"
#include "rsp/rsp.hh"
#include "rsp/rsp_wire.hh"

namespace {

constexpr uint32_t FEC_HEADROOM = 28;

inline int64_t steady_ns() { return Timestamp::now_steady().nsecval(); }

}  // namespace

WFEC::WFEC() : _flush_timer(flush_timer_hook, this) {}

WFEC::~WFEC() {
    if (_fec)
        _fec->kill();
    for (Node& n : _rxq)
        n.pkt->kill();
}

int WFEC::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    IPAddress local_ip;
    std::string notifier_name, mode, rsp_name;
    int port = 0;
    uint8_t group = 5, bulk = 0;
    int max_rx = 0;
    int flush_ms = 0;
    bool debug = false, adaptive = false;
    int mtu = 1500;
    bool have_max_rx = false;
    if (Args(conf, this, errh)
            .read_m("LOCAL_IP", local_ip)
            .read_m("NOTIFIER", WordArg(), notifier_name)
            .read_m("PEER_OUTPUT_PORT", port)
            .read_m("MODE", WordArg(), mode)
            .read("GROUP_SIZE", group)
            .read("BULK_GROUP_SIZE", bulk)
            .read("ADAPTIVE", adaptive)
            .read("RSP", WordArg(), rsp_name)
            .read("FLUSH_MS", BoundedIntArg(0, 60000), flush_ms)
            .read("MAX_RX_QUEUE_SIZE", max_rx)
            .read_status(have_max_rx)
            .read("DEBUG", debug)
            .read("MTU", mtu)
            .complete() < 0)
        return -EINVAL;
    if (group < 1)
        return errh->error("GROUP_SIZE must be at least 1");
    int larger = std::max(int(group), int(bulk));
    if (!have_max_rx)
        max_rx = std::max(20, 2 * larger);
    else if (max_rx < 2 * larger)
        return errh->error("MAX_RX_QUEUE_SIZE should be at least double GROUP_SIZE and BULK_GROUP_SIZE");
    if (configure_peer(mode, notifier_name, port, errh) < 0)
        return -EINVAL;
    _rsp = nullptr;
    if (_tx && !rsp_name.empty()) {
        if (!(_rsp = find_partner<RSP>(this, rsp_name, "RSP", "RSP", errh)))
            return -EINVAL;
    }
    if (_tx && bulk && !_rsp)
        return errh->error("BULK_GROUP_SIZE needs RSP");
    _shim = _wconf->shim_config();
    _hdr = ownpacket::header_len(_shim);
    // An FEC packet is as long as the longest packet of its group plus its
    // own headers and must not grow past the WAN's MTU.
    if (mtu < int(_hdr + 2 + 20) || mtu > 65535)
        return errh->error("MTU must be between %d and 65535", int(_hdr + 2 + 20));
    _max_len = std::min(FEC_BUFFER_LEN, size_t(mtu)) - _hdr - 2;
    _local_ip = local_ip;
    _group_size = group;
    _bulk_group = bulk;
    _adaptive = _tx && adaptive && bulk;
    _flush_ms = uint32_t(flush_ms);
    _variable = bulk || flush_ms;
    _max_rx_queue = uint32_t(max_rx);
    _debug = debug;
    // One more than the limit: a node is inserted before the oldest is freed.
    if (!_tx)
        _rxq.reserve(_max_rx_queue + 1);
    return 0;
}

int WFEC::initialize(ErrorHandler*) {
    _expected = _last = 0;
    _longest = 0;
    _new_group = true;
    _in_bulk = false;
    _ip_id = 1;
    _highwater = 0;
    _rx_next_valid = false;
    _rx_span = 0;
    _bulk_now.store(_adaptive ? _group_size : _bulk_group, std::memory_order_relaxed);
    _blk_sent = _blk_sizes = 0;
    _resent.store(0, std::memory_order_relaxed);
    _sum_sent = _sum_resent = _sum_sizes = 0;
    _loss_ppm.store(0, std::memory_order_relaxed);
    if (_tx && _flush_ms)
        _flush_timer.initialize(this);
    return 0;
}

void WFEC::cleanup(CleanupStage) {
    if (_flush_timer.initialized())
        _flush_timer.unschedule();
    _lock.acquire();
    if (_fec) {
        _fec->kill();
        _fec = nullptr;
    }
    _lock.release();
}

// ---------------------------------------------------------------------------
// TX

size_t WFEC::rsp_held() const {
    if (!_rsp)
        return 0;
    _rsp->lock_acquire();
    size_t n = _rsp->pacer_held();
    _rsp->lock_release();
    return n;
}

bool WFEC::start_group(uint16_t seq, uint8_t size) {
    if (_fec) {
        count(_c.groups_abandoned);
        if (_debug)
            WLogger::debug("%s group ending %u abandoned at %u", name().c_str(), unsigned(_last), unsigned(seq));
        _fec->kill();
        _fec = nullptr;
    }
    _expected = seq;
    _last = uint16_t(seq + size - 1);
    _longest = 0;
    _new_group = false;
    _size = size;
    if (_in_bulk && size != _group_size)
        count(_c.bulk_groups);
    WritablePacket* q = Packet::make(FEC_HEADROOM, nullptr, uint32_t(FEC_BUFFER_LEN), 0);
    if (!q) {
        count(_c.no_memory);
        WLogger::error("%s out of memory", name().c_str());
        _new_group = true;
        return false;
    }
    std::memset(q->data(), 0, FEC_BUFFER_LEN);
    ownpacket::build(q->data(), _shim, WSHIM_PROTO_FEC, 0, _local_ip.addr(), peer_net());
    _fec = q;
    return true;
}

void WFEC::abandon_group() {
    _in_bulk = false;
    if (_fec) {
        count(_c.groups_abandoned);
        _fec->kill();
        _fec = nullptr;
    }
    _new_group = true;
}

Packet* WFEC::end_group() {
    if (!_fec || _new_group || !_variable || _longest == 0) {
        abandon_group();
        return nullptr;
    }
    // The packets so far, up to the one before the expected number, form
    // the group: the peer finds its start after the previous FEC packet.
    _last = uint16_t(_expected - 1);
    _in_bulk = false;
    count(_c.flushed);
    return finish_group();
}

Packet* WFEC::finish_group() {
    WritablePacket* q = _fec;
    _fec = nullptr;
    _new_group = true;
    size_t total = _longest + _hdr + 2;
    if (q->length() < total) {  // cannot happen: _longest <= _max_len
        WLogger::error("%s diff: %i, w len: %i, w_ip_len: %i", name().c_str(), int(total) - int(q->length()),
                       int(q->length()), int(total));
        q->kill();
        return nullptr;
    }
    q->take(uint32_t(q->length() - total));
    rsp::store16(q->data() + _hdr, _last);
    rsp::store16(q->data() + 4, _ip_id++);
    ownpacket::set_length(q->data(), _shim, uint16_t(total));
    q->set_network_header(q->data(), 20);
    set_dst_ip_anno(q, peer_net());
    q->set_timestamp_anno(Timestamp::now());
    count(_c.fec_sent);
    return q;
}

void WFEC::end_loss_block() {
    constexpr double keep = 15.0 / 16;
    _sum_sent = _sum_sent * keep + _blk_sent;
    _sum_resent = _sum_resent * keep + _resent.exchange(0, std::memory_order_relaxed);
    _sum_sizes = _sum_sizes * keep + _blk_sizes;
    _blk_sent = _blk_sizes = 0;
    double loss = fec::loss_from_resent(_sum_resent / _sum_sent, _sum_sizes / _sum_sent);
    _loss_ppm.store(uint32_t(loss * 1e6 + 0.5), std::memory_order_relaxed);
    uint8_t bulk = fec::group_for_loss(loss, _group_size, _bulk_group);
    if (bulk != _bulk_now.load(std::memory_order_relaxed)) {
        if (_debug)
            WLogger::debug("%s estimated loss %.4f, bulk groups of %u", name().c_str(), loss, unsigned(bulk));
        _bulk_now.store(bulk, std::memory_order_relaxed);
    }
}

void WFEC::push_tx(Packet* p) {
    const uint8_t* ip = packet_ip(p);
    rsp::View v;
    // Only first transmissions of stream packets with a sound RSP header are
    // protected; the view's IP length never exceeds the packet's bytes.
    bool stream = rsp::parse(ip, size_t(p->end_data() - ip), _shim, &v) == rsp::Parse::ok &&
                  (v.shim_flags & WSHIM_STREAM);
    if (!stream || (v.shim_control & WSHIM_RETRANSMIT)) {
        if (stream && _adaptive)
            _resent.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
        return;
    }
    // RSP's backlog, read before this element's lock is taken (it is the
    // only lock held while RSP's is).
    size_t held = _bulk_group ? rsp_held() : 0;
    Packet* ended = nullptr;
    Packet* fec = nullptr;
    _lock.acquire();
    if (v.ip_len > _max_len) {
        // Too long for the parity area: it passes unprotected and ends the
        // group, whose parity could not rebuild it.
        count(_c.unprotected);
        ended = end_group();
    } else {
        bool have = true;
        if (_new_group || v.seq != _expected) {
            ended = end_group();
            uint8_t bulk = _bulk_now.load(std::memory_order_relaxed);
            uint8_t size = fec::group_for(held, _in_bulk && _flush_ms, _group_size, bulk);
            _in_bulk = bulk && (held >= _group_size || (_in_bulk && _flush_ms));
            have = start_group(v.seq, size);
        }
        if (have) {
            if (_adaptive) {
                _blk_sizes += _size;
                if (++_blk_sent == LOSS_BLOCK)
                    end_loss_block();
            }
            if (v.ip_len > _longest)
                _longest = v.ip_len;
            fec::xor_into(_fec->data() + _hdr + 2, ip, v.ip_len);
            ++_expected;
            if (v.seq == _last) {
                fec = finish_group();
            } else if (_flush_ms) {
                _last_ns = steady_ns();
                if (!_flush_timer.scheduled())
                    _flush_timer.schedule_after_msec(_flush_ms);
            }
        }
    }
    _lock.release();
    if (ended)
        output(1).push(ended);
    output(0).push(p);
    if (fec)
        output(1).push(fec);
}

void WFEC::flush_timer_hook(Timer*, void* self) { static_cast<WFEC*>(self)->run_flush_timer(); }

// The open group has waited FLUSH_MS since its latest packet: unless RSP's
// pacer holds packets that will continue it, its parity goes now.
void WFEC::run_flush_timer() {
    size_t held = rsp_held();
    Packet* fec = nullptr;
    _lock.acquire();
    if (_fec && !_new_group) {
        int64_t due = _last_ns + int64_t(_flush_ms) * 1000000;
        int64_t now = steady_ns();
        if (now < due)
            _flush_timer.schedule_after(Timestamp::make_nsec(due - now));
        else if (held == 0)
            fec = end_group();
        else
            _flush_timer.schedule_after_msec(_flush_ms);
    }
    _lock.release();
    if (fec)
        output(1).push(fec);
}

// ---------------------------------------------------------------------------
// RX

void WFEC::remember(Packet* p, uint16_t seq) {
    size_t i = _rxq.size();
    // Packets mostly arrive in order: search from the back.
    while (i > 0 && rsp::seq_gt(_rxq[i - 1].seq, seq))
        --i;
    if (i > 0 && _rxq[i - 1].seq == seq)
        return;  // already held
    Packet* c = p->clone();
    if (!c) {
        count(_c.no_memory);
        WLogger::error("%s out of memory", name().c_str());
        return;
    }
    _rxq.insert(_rxq.begin() + ptrdiff_t(i), Node{c, seq});
    if (_rxq.size() > _highwater) {
        _highwater = _rxq.size();
        if (_debug)
            WLogger::debug("%s new RX queue highwater mark: %i", name().c_str(), int(_highwater));
    }
    while (_rxq.size() > _max_rx_queue) {
        _rxq.front().pkt->kill();
        _rxq.erase(_rxq.begin());
    }
}

Packet* WFEC::rebuild(const uint8_t* parity, size_t parity_len, const Node* nodes, size_t n, uint16_t start,
                      uint16_t end, uint16_t missing) {
    uint8_t buf[FEC_BUFFER_LEN];
    std::memcpy(buf, parity, parity_len);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* ip = packet_ip(nodes[i].pkt);
        size_t len = size_t(nodes[i].pkt->end_data() - ip);
        if (len >= 4) {
            size_t ip_len = size_t(ip[2]) << 8 | ip[3];
            if (ip_len < len)
                len = ip_len;
        }
        // A packet longer than the parity cannot belong to the group: only
        // the bytes both have are combined.
        fec::xor_into(buf, ip, len < parity_len ? len : parity_len);
    }
    size_t tot = fec::rebuilt_packet_len(buf, parity_len, _shim, missing);
    if (tot == 0)
        return nullptr;
    WritablePacket* q = Packet::make(FEC_HEADROOM, buf, uint32_t(tot), 0);
    if (!q) {
        count(_c.no_memory);
        WLogger::error("%s out of memory", name().c_str());
        return nullptr;
    }
    size_t hl = size_t(q->data()[0] & 0x0F) * 4;
    q->set_network_header(q->data(), uint32_t(hl));
    if (_debug)
        WLogger::debug("%s sending reconstructed packet. Packet len: %i, group start: %u, group end: %u",
                       name().c_str(), int(tot), unsigned(start), unsigned(end));
    return q;
}

void WFEC::push_rx(Packet* p) {
    const uint8_t* ip = packet_ip(p);
    size_t avail = size_t(p->end_data() - ip);
    int so = shim_offset(ip, avail, _shim);
    if (so < 0) {
        output(0).push(p);
        return;
    }
    uint8_t proto = ip[so + 2];
    if (proto != WSHIM_PROTO_FEC) {
        rsp::View v;
        if ((ip[so + 3] & WSHIM_STREAM) && rsp::parse(ip, avail, _shim, &v) == rsp::Parse::ok) {
            _lock.acquire();
            remember(p, v.seq);
            _lock.release();
        }
        output(0).push(p);
        return;
    }

    fec::View f;
    // No sender builds parity longer than its buffer less the headers.
    if (!fec::parse(ip, avail, size_t(so), &f) || f.parity_len > FEC_BUFFER_LEN) {
        count(_c.malformed);
        if (log_allowed())
            WLogger::warn("%s malformed FEC packet dropped", name().c_str());
        p->kill();
        return;
    }
    count(_c.fec_received);
    uint16_t end = f.end_seq;
    Packet* out = nullptr;
    _lock.acquire();
    // Where the group may start: after the previous FEC packet's group
    // (a sender of variable groups), or a whole group before its end (a
    // sender of fixed groups, or after a lost FEC packet), the longer
    // sizes first. The first that rebuilds a packet passing the check is
    // taken; one that finds its group whole ends the search.
    uint16_t starts[4];
    size_t nstarts = 0;
    auto candidate = [&](uint16_t s) {
        if (!rsp::seq_leq(s, end) || uint16_t(end - s) >= _max_rx_queue)
            return;
        for (size_t k = 0; k < nstarts; ++k)
            if (starts[k] == s)
                return;
        starts[nstarts++] = s;
    };
    if (_rx_next_valid)
        candidate(_rx_next);
    bool after_previous = nstarts == 1;
    uint16_t sizes[3] = {_bulk_group, _rx_span, _group_size};
    std::sort(sizes, sizes + 3, [](uint16_t a, uint16_t b) { return a > b; });
    for (uint16_t size : sizes)
        if (size)
            candidate(uint16_t(end - size + 1));
    if (!_rx_next_valid || rsp::seq_gt(uint16_t(end + 1), _rx_next)) {
        _rx_next = uint16_t(end + 1);
        _rx_next_valid = true;
    }
    size_t upto = 0;  // the nodes at or before end
    while (upto < _rxq.size() && rsp::seq_leq(_rxq[upto].seq, end))
        ++upto;
    bool tried = false, whole = false;
    for (size_t c = 0; c < nstarts && !out && !whole; ++c) {
        uint16_t start = starts[c];
        size_t first = upto;
        while (first > 0 && !rsp::seq_lt(_rxq[first - 1].seq, start))
            --first;
        size_t n = upto - first, span = size_t(uint16_t(end - start)) + 1;
        // A group found after the previous FEC packet, whole or rebuilt:
        // the sender's size, unless an FEC packet was lost before it.
        bool sized = c == 0 && after_previous && span <= std::max(_bulk_group, _group_size);
        if (n + 1 != span) {
            whole |= n == span;
            if (whole && sized)
                _rx_span = uint16_t(span);
            continue;
        }
        // The one number of start..end that no node holds.
        uint16_t missing = uint16_t(start + n);
        for (size_t k = 0; k < n; ++k)
            if (_rxq[first + k].seq != uint16_t(start + k)) {
                missing = uint16_t(start + k);
                break;
            }
        tried = true;
        out = rebuild(f.parity, f.parity_len, &_rxq[first], n, start, end, missing);
        if (out && sized)
            _rx_span = uint16_t(span);
    }
    if (!out && tried && !whole) {
        count(_c.bad_rebuild);
        if (_debug)
            WLogger::debug("%s no rebuilt packet for the group ending %u passed the check", name().c_str(),
                           unsigned(end));
    } else if (!out && !whole && nstarts) {
        count(_c.unrecoverable);
    }
    // Nodes up to end are older than any group still to come.
    for (size_t k = 0; k < upto; ++k)
        _rxq[k].pkt->kill();
    _rxq.erase(_rxq.begin(), _rxq.begin() + ptrdiff_t(upto));
    _lock.release();
    if (out) {
        out->set_timestamp_anno(p->timestamp_anno());
        count(_c.rebuilt);
    }
    p->kill();
    if (out)
        output(1).push(out);
}

void WFEC::add_handlers() {
    add_counter_handler("fec_sent", &_c.fec_sent);
    add_counter_handler("groups_abandoned", &_c.groups_abandoned);
    add_counter_handler("flushed", &_c.flushed);
    add_counter_handler("bulk_groups", &_c.bulk_groups);
    add_counter_handler("unprotected", &_c.unprotected);
    add_counter_handler("rebuilt", &_c.rebuilt);
    add_counter_handler("fec_received", &_c.fec_received);
    add_counter_handler("unrecoverable", &_c.unrecoverable);
    add_counter_handler("malformed", &_c.malformed);
    add_counter_handler("bad_rebuild", &_c.bad_rebuild);
    add_counter_handler("no_memory", &_c.no_memory);
    add_read_handler("bulk_size", ReadHandlerFunction([this] {
                         return std::to_string(unsigned(_bulk_now.load(std::memory_order_relaxed)));
                     }));
    add_read_handler("loss", ReadHandlerFunction([this] {
                         char buf[16];
                         unsigned ppm = _loss_ppm.load(std::memory_order_relaxed);
                         std::snprintf(buf, sizeof buf, "%u.%06u", ppm / 1000000, ppm % 1000000);
                         return std::string(buf);
                     }));
    add_read_handler("rx_queue_len", ReadHandlerFunction([this] {
                         _lock.acquire();
                         size_t n = _rxq.size();
                         _lock.release();
                         return std::to_string(n);
                     }));
}

QUILO_REGISTER_ELEMENT(WFEC);
