#include "sessions/peerprobe.hh"

#include <host/args.hh>
#include <host/checksum.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <arpa/inet.h>

#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"
#include "sessions/flowtable.hh"

// Largest IP packet that is given the option: 16 more bytes must still fit
// the path.
static constexpr size_t PROBE_MAX_PACKET = 1320;

TcpOptionScan scan_tcp_options(const uint8_t* th, size_t hl, size_t avail) {
    TcpOptionScan s;
    size_t end = hl < avail ? hl : avail;
    size_t i = 20;
    while (i < end) {
        uint8_t kind = th[i];
        if (kind == 0) {
            s.eol = int(i);
            break;
        }
        if (kind == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= end)
            break;  // no room for the length byte
        uint8_t len = th[i + 1];
        if (len < 2) {
            s.invalid = true;
            break;
        }
        if (i + len > end)
            break;  // reaches past the end
        if (kind == PEER_PROBE_KIND && len == PEER_PROBE_LEN && th[i + 2] == PEER_PROBE_MAGIC0 &&
            th[i + 3] == PEER_PROBE_MAGIC1 && s.probe < 0)
            s.probe = int(i);
        i += len;
    }
    return s;
}

int PeerProbe::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int mode = 0, intf = 0;
    bool probe = false, add = false;
    IPAddress key;
    EtherAddress mac;
    if (Args(conf, this, errh)
            .read_mp("MODE", mode)
            .read_mp("INT", intf)
            .read_mp("PROBE", probe)
            .read_mp("KEY", key)
            .read_mp("MAC", mac)
            .read_p("ADD_PEERS", add)
            .complete() < 0)
        return -1;
    FlowTable* t = find_flow_table(router());
    if (!t)
        return errh->error("FlowTable not found");
    _mode = mode;
    _int = intf;
    _active.store(probe);
    _key = key;
    _mac = mac;
    _add_peers = add;
    _table = t;
    return 0;
}

void PeerProbe::push(int, Packet* p) {
    if (Packet* q = handle(p))
        output(0).push(q);
}

Packet* PeerProbe::pull(int) {
    Packet* p = input(0).pull();
    return p ? handle(p) : nullptr;
}

Packet* PeerProbe::handle(Packet* p) {
    if (!active() || !p->has_network_header())
        return p;
    const uint8_t* nh = p->network_header();
    if (nh < p->data() || nh >= p->end_data())
        return p;
    size_t avail = size_t(p->end_data() - nh);
    if (avail < 20 || (nh[0] >> 4) != 4 || nh[9] != IPPROTO_TCP)
        return p;
    size_t hl = size_t(nh[0] & 0x0F) * 4;
    uint16_t tot, off;
    std::memcpy(&tot, nh + 2, 2);
    std::memcpy(&off, nh + 6, 2);
    size_t ip_len = ntohs(tot);
    if (hl < 20 || ip_len < hl + 20 || ip_len > avail || (ntohs(off) & (IP_MF | IP_OFFMASK)))
        return p;
    const uint8_t* th = nh + hl;
    if (!(th[13] & TH_SYN))
        return p;
    size_t thl = size_t(th[12] >> 4) * 4;

    if (_mode == 1 && _int == 0) {
        if (ip_len > PROBE_MAX_PACKET || thl < 20)
            return p;
        TcpOptionScan s = scan_tcp_options(th, thl, ip_len - hl);
        if (s.invalid) {
            WLogger::error("%s invalid TCP option length.", name().c_str());
            return p;
        }
        return add_probe(p, size_t(nh - p->data()), ip_len, hl, thl, s);
    }
    if (_mode == 0 && _int == 1) {
        TcpOptionScan s = scan_tcp_options(th, thl, ip_len - hl);
        if (s.invalid) {
            WLogger::error("%s invalid TCP option length.", name().c_str());
            return p;
        }
        return read_probe(p, th, s);
    }
    p->kill();
    return nullptr;
}

Packet* PeerProbe::add_probe(Packet* p, size_t ip_off, size_t ip_len, size_t hl, size_t thl, const TcpOptionScan& s) {
    // A header of 48 bytes or more has no room for 16 more (60 at most), and
    // a header claiming more than the packet holds cannot take the option.
    if (s.probe < 0 && (thl > 44 || hl + thl > ip_len))
        return p;
    WritablePacket* q = p->uniqueify();
    if (!q) {
        WLogger::error("%s Insufficient memory to allocate PeerProbe packet", name().c_str());
        return nullptr;
    }
    // Bytes after the IP packet (Ethernet padding) would end up inside it.
    size_t total = ip_off + ip_len;
    if (q->length() > total)
        q->take(uint32_t(q->length() - total));

    uint8_t* ip = q->data() + ip_off;
    uint8_t* th = ip + hl;
    size_t opt;
    if (s.probe >= 0)
        opt = size_t(s.probe);
    else {
        // End-of-options and everything after it become NOPs, then the
        // option goes at the end of the header.
        if (s.eol >= 0)
            std::memset(th + s.eol, 1, thl - size_t(s.eol));
        q = q->put(PEER_PROBE_LEN);
        if (!q) {
            WLogger::error("%s Insufficient memory to allocate PeerProbe packet", name().c_str());
            return nullptr;
        }
        ip = q->data() + ip_off;
        th = ip + hl;
        size_t payload = ip_len - hl - thl;
        std::memmove(th + thl + PEER_PROBE_LEN, th + thl, payload);
        opt = thl;
        th[12] = uint8_t(((thl / 4 + 4) << 4) | (th[12] & 0x0F));
        ip_len += PEER_PROBE_LEN;
        uint16_t tot = htons(uint16_t(ip_len));
        std::memcpy(ip + 2, &tot, 2);
        q->set_network_header(ip, uint32_t(hl));
    }
    uint8_t* o = th + opt;
    o[0] = PEER_PROBE_KIND;
    o[1] = PEER_PROBE_LEN;
    o[2] = PEER_PROBE_MAGIC0;
    o[3] = PEER_PROBE_MAGIC1;
    std::memcpy(o + 4, _key.data(), 4);
    std::memcpy(o + 8, _mac.data(), 6);
    o[14] = 0;
    o[15] = _table->output_ports_available() ? 0 : 1;

    ip[10] = ip[11] = 0;
    uint16_t ipsum = click_in_cksum(ip, int(hl));
    std::memcpy(ip + 10, &ipsum, 2);
    size_t tcp_len = ip_len - hl;
    th[16] = th[17] = 0;
    uint16_t tsum = click_in_cksum_pseudohdr(click_in_cksum(th, int(tcp_len)), ip, int(tcp_len));
    std::memcpy(th + 16, &tsum, 2);

    _probed.fetch_add(1, std::memory_order_relaxed);
    _table->set_peer_flow_state_flag(q, PeerFlowInfo::LOCAL_PROBE);
    checked_output_push(1, q);
    return nullptr;
}

Packet* PeerProbe::read_probe(Packet* p, const uint8_t* th, const TcpOptionScan& s) {
    if (s.probe < 0)
        return p;
    _seen.fetch_add(1, std::memory_order_relaxed);
    const uint8_t* o = th + s.probe;
    IPAddress addr(o + 4);
    EtherAddress mac(o + 8);
    if (addr != _key && mac != _mac && _add_peers) {
        _registered.fetch_add(1, std::memory_order_relaxed);
        _table->register_peer_flow(p, addr, mac, o[15] != 1);
    }
    if (noutputs() > 1)
        if (Packet* c = p->clone())
            output(1).push(c);
    return p;
}

void PeerProbe::add_handlers() {
    add_read_handler("active", ReadHandlerFunction([this] { return std::string(active() ? "true" : "false"); }));
    add_write_handler("active", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          bool v;
                          if (!BoolArg().parse(s, v))
                              return errh->error("syntax error");
                          set_active(v);
                          return 0;
                      }));
    add_read_handler("probed_count", ReadHandlerFunction([this] { return std::to_string(_probed.load()); }));
    add_read_handler("seen_count", ReadHandlerFunction([this] { return std::to_string(_seen.load()); }));
    add_read_handler("registered_count", ReadHandlerFunction([this] { return std::to_string(_registered.load()); }));
}

QUILO_REGISTER_ELEMENT(PeerProbe);
