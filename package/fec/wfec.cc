#include "fec/wfec.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <algorithm>
#include <cstring>

#include "common/annotations.hh"
#include "common/ownpacket.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "fec/fec_wire.hh"
#include "rsp/rsp_wire.hh"

namespace {

constexpr uint32_t FEC_HEADROOM = 28;

}  // namespace

WFEC::WFEC() = default;

WFEC::~WFEC() {
    if (_fec)
        _fec->kill();
    for (Node& n : _rxq)
        n.pkt->kill();
}

int WFEC::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    IPAddress local_ip;
    std::string notifier_name, mode;
    int port = 0;
    uint8_t group = 5;
    int max_rx = 20;
    bool debug = false;
    int mtu = 1500;
    if (Args(conf, this, errh)
            .read_m("LOCAL_IP", local_ip)
            .read_m("NOTIFIER", WordArg(), notifier_name)
            .read_m("PEER_OUTPUT_PORT", port)
            .read_m("MODE", WordArg(), mode)
            .read("GROUP_SIZE", group)
            .read("MAX_RX_QUEUE_SIZE", max_rx)
            .read("DEBUG", debug)
            .read("MTU", mtu)
            .complete() < 0)
        return -EINVAL;
    if (group < 1)
        return errh->error("GROUP_SIZE must be at least 1");
    if (max_rx < 2 * int(group))
        return errh->error("MAX_RX_QUEUE_SIZE should be at least double GROUP_SIZE");
    if (configure_peer(mode, notifier_name, port, errh) < 0)
        return -EINVAL;
    _shim = _wconf->shim_config();
    _hdr = ownpacket::header_len(_shim);
    // An FEC packet is as long as the longest packet of its group plus its
    // own headers and must not grow past the WAN's MTU.
    if (mtu < int(_hdr + 2 + 20) || mtu > 65535)
        return errh->error("MTU must be between %d and 65535", int(_hdr + 2 + 20));
    _max_len = std::min(FEC_BUFFER_LEN, size_t(mtu)) - _hdr - 2;
    _local_ip = local_ip;
    _group_size = group;
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
    _ip_id = 1;
    _highwater = 0;
    return 0;
}

void WFEC::cleanup(CleanupStage) {
    _lock.acquire();
    if (_fec) {
        _fec->kill();
        _fec = nullptr;
    }
    _lock.release();
}

// ---------------------------------------------------------------------------
// TX

bool WFEC::start_group(uint16_t seq, size_t len) {
    if (_fec) {
        count(_c.groups_abandoned);
        if (_debug)
            WLogger::debug("%s group ending %u abandoned at %u", name().c_str(), unsigned(_last), unsigned(seq));
        _fec->kill();
        _fec = nullptr;
    }
    _expected = seq;
    _last = uint16_t(seq + _group_size - 1);
    _longest = len;
    _new_group = false;
    WritablePacket* q = Packet::make(FEC_HEADROOM, nullptr, uint32_t(FEC_BUFFER_LEN), 0);
    if (!q) {
        count(_c.no_memory);
        WLogger::error("%s out of memory", name().c_str());
        _new_group = true;
        return false;
    }
    std::memset(q->data(), 0, FEC_BUFFER_LEN);
    ownpacket::build(q->data(), _shim, WSHIM_PROTO_FEC, 0, _local_ip.addr(), peer_net());
    rsp::store16(q->data() + _hdr, _last);
    _fec = q;
    return true;
}

void WFEC::abandon_group() {
    if (_fec) {
        count(_c.groups_abandoned);
        _fec->kill();
        _fec = nullptr;
    }
    _new_group = true;
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
    rsp::store16(q->data() + 4, _ip_id++);
    ownpacket::set_length(q->data(), _shim, uint16_t(total));
    q->set_network_header(q->data(), 20);
    set_dst_ip_anno(q, peer_net());
    q->set_timestamp_anno(Timestamp::now());
    count(_c.fec_sent);
    return q;
}

void WFEC::push_tx(Packet* p) {
    const uint8_t* ip = packet_ip(p);
    rsp::View v;
    // Only first transmissions of stream packets with a sound RSP header are
    // protected; the view's IP length never exceeds the packet's bytes.
    if (rsp::parse(ip, size_t(p->end_data() - ip), _shim, &v) != rsp::Parse::ok || !(v.shim_flags & WSHIM_STREAM) ||
        (v.shim_control & WSHIM_RETRANSMIT)) {
        output(0).push(p);
        return;
    }
    Packet* fec = nullptr;
    _lock.acquire();
    if (v.ip_len > _max_len) {
        // Too long for the parity area: it passes unprotected and ends the
        // group, whose parity could not rebuild it.
        count(_c.unprotected);
        abandon_group();
    } else {
        bool have = true;
        if (_new_group || v.seq != _expected)
            have = start_group(v.seq, v.ip_len);
        if (have) {
            if (v.ip_len > _longest)
                _longest = v.ip_len;
            fec::xor_into(_fec->data() + _hdr + 2, ip, v.ip_len);
            ++_expected;
            if (v.seq == _last)
                fec = finish_group();
        }
    }
    _lock.release();
    output(0).push(p);
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

Packet* WFEC::rebuild(const uint8_t* parity, size_t parity_len, const Node* taken, size_t n, uint16_t start,
                      uint16_t end) {
    WritablePacket* q = Packet::make(FEC_HEADROOM, parity, uint32_t(parity_len), 0);
    if (!q) {
        count(_c.no_memory);
        WLogger::error("%s out of memory", name().c_str());
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* ip = packet_ip(taken[i].pkt);
        size_t len = size_t(taken[i].pkt->end_data() - ip);
        if (len >= 4) {
            size_t ip_len = size_t(ip[2]) << 8 | ip[3];
            if (ip_len < len)
                len = ip_len;
        }
        // A packet longer than the parity cannot belong to the group: only
        // the bytes both have are combined.
        fec::xor_into(q->data(), ip, len < parity_len ? len : parity_len);
    }
    size_t tot = fec::rebuilt_len(q->data(), q->length());
    if (tot == 0) {
        count(_c.bad_rebuild);
        if (log_allowed())
            WLogger::warn("%s rebuilt packet for group %u-%u is not IPv4, dropped", name().c_str(), unsigned(start),
                       unsigned(end));
        q->kill();
        return nullptr;
    }
    q->take(uint32_t(q->length() - tot));
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
    if (!fec::parse(ip, avail, size_t(so), &f)) {
        count(_c.malformed);
        if (log_allowed())
            WLogger::warn("%s malformed FEC packet dropped", name().c_str());
        p->kill();
        return;
    }
    count(_c.fec_received);
    uint16_t end = f.end_seq;
    uint16_t start = uint16_t(end - _group_size + 1);
    Node taken[255];
    size_t n = 0;
    Packet* out = nullptr;
    _lock.acquire();
    size_t i = 0;
    while (i < _rxq.size() && rsp::seq_lt(_rxq[i].seq, start))
        ++i;
    size_t first = i;
    while (i < _rxq.size() && rsp::seq_leq(_rxq[i].seq, end)) {
        if (n < _group_size)
            taken[n++] = _rxq[i];
        else
            _rxq[i].pkt->kill();  // cannot happen: numbers in the queue are distinct
        ++i;
    }
    // Nodes before the group are older than any group still to come.
    for (size_t k = 0; k < first; ++k)
        _rxq[k].pkt->kill();
    _rxq.erase(_rxq.begin(), _rxq.begin() + ptrdiff_t(i));
    if (n + 1 == _group_size)
        out = rebuild(f.parity, f.parity_len, taken, n, start, end);
    else if (n + 1 < _group_size)
        count(_c.unrecoverable);
    _lock.release();
    for (size_t k = 0; k < n; ++k)
        taken[k].pkt->kill();
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
    add_counter_handler("unprotected", &_c.unprotected);
    add_counter_handler("rebuilt", &_c.rebuilt);
    add_counter_handler("fec_received", &_c.fec_received);
    add_counter_handler("unrecoverable", &_c.unrecoverable);
    add_counter_handler("malformed", &_c.malformed);
    add_counter_handler("bad_rebuild", &_c.bad_rebuild);
    add_counter_handler("no_memory", &_c.no_memory);
    add_read_handler("rx_queue_len", ReadHandlerFunction([this] {
                         _lock.acquire();
                         size_t n = _rxq.size();
                         _lock.release();
                         return std::to_string(n);
                     }));
}

QUILO_REGISTER_ELEMENT(WFEC);
