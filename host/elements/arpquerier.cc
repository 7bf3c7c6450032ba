#include "arpquerier.hh"

#include <arpa/inet.h>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>

#include "arptable.hh"

int ARPQuerier::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    ArpCache::Limits l;
    if (ARPTable::parse_limits(conf, this, errh, l) < 0)
        return -1;
    std::string ipstr;
    EtherAddress eth;
    Element* table = nullptr;
    IPAddress bcast;
    bool have_bcast = false;
    Timestamp poll = Timestamp::make_sec(1);
    if (Args(conf, this, errh)
            .read_mp("IP", WordArg(), ipstr)
            .read_mp("ETH", eth)
            .read("TABLE", ElementArg(), table)
            .read("POLL_TIMEOUT", SecondsArg(), poll)
            .read("BROADCAST", bcast)
            .read_status(have_bcast)
            .complete() < 0)
        return -1;
    IPAddress ip, mask = IPAddress::make_broadcast();
    if (ipstr.find('/') != std::string::npos || ipstr.find(' ') != std::string::npos) {
        Args pa(this, errh);
        if (!IPPrefixArg().parse(ipstr, ip, mask, pa))
            return errh->error("IP: expected IP address or prefix");
    } else if (!IPAddress::parse(ipstr, ip))
        return errh->error("IP: expected IP address");
    if (table) {
        ARPTable* t = static_cast<ARPTable*>(table->cast("ARPTable"));
        if (!t)
            return errh->error("TABLE: %<%s%> is not an ARPTable", table->name().c_str());
        _cache = &t->cache();
    } else
        _own.set_limits(l);
    _ip = ip;
    _eth = eth;
    _bcast = have_bcast ? bcast : (mask == IPAddress::make_broadcast() ? mask : (ip | ~mask));
    _poll_ns = poll.nsecval() > 0 ? poll.nsecval() : 1;
    return 0;
}

int ARPQuerier::initialize(ErrorHandler*) {
    _cache->set_release_hook([this](Packet* p) {
        EtherAddress dst;
        IPAddress nh = p->dst_ip_anno();
        if (_cache->lookup(nh, &dst))
            send_resolved(p, dst);
        else {
            _drops.fetch_add(1, std::memory_order_relaxed);
            p->kill();
        }
    });
    return 0;
}

void ARPQuerier::send_resolved(Packet* p, const EtherAddress& dst) {
    WritablePacket* q = p->push(14);
    if (!q) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    click_ether* e = reinterpret_cast<click_ether*>(q->data());
    memcpy(e->ether_dhost, dst.data(), 6);
    memcpy(e->ether_shost, _eth.data(), 6);
    e->ether_type = htons(0x0800);
    q->set_ether_header(e);
    output(0).push(q);
}

void ARPQuerier::send_query(IPAddress ip, uint16_t vlan_anno) {
    WritablePacket* q = Packet::make(Packet::default_headroom, nullptr, 42, 0);
    if (!q) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    unsigned char* d = q->data();
    memset(d, 0xFF, 6);
    memcpy(d + 6, _eth.data(), 6);
    d[12] = 0x08;
    d[13] = 0x06;
    static const unsigned char hdr[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    memcpy(d + 14, hdr, 8);
    memcpy(d + 22, _eth.data(), 6);
    memcpy(d + 28, _ip.data(), 4);
    memset(d + 32, 0, 6);
    memcpy(d + 38, ip.data(), 4);
    q->set_ether_header(reinterpret_cast<click_ether*>(d));
    q->set_timestamp_anno(Timestamp::now());
    q->set_anno_u16(VLAN_TCI_ANNO_OFFSET, vlan_anno);
    _queries.fetch_add(1, std::memory_order_relaxed);
    output(noutputs() > 1 ? 1 : 0).push(q);
}

void ARPQuerier::handle_ip(Packet* p) {
    IPAddress nh = p->dst_ip_anno();
    if (!nh) {
        const unsigned char* ip = nullptr;
        if (p->has_network_header() && p->network_header_offset() >= 0 &&
            uint32_t(p->network_header_offset()) + 20 <= p->length())
            ip = p->network_header();
        else if (p->length() >= 20)
            ip = p->data();
        if (!ip) {
            _drops.fetch_add(1, std::memory_order_relaxed);
            p->kill();
            return;
        }
        nh = IPAddress(ip + 16);
        p->set_dst_ip_anno(nh);
    }
    EtherAddress dst;
    if (nh == _bcast || nh == IPAddress::make_broadcast())
        dst = EtherAddress::make_broadcast();
    else if (nh.is_multicast()) {
        // 01:00:5e + low 23 bits of the group
        unsigned char m[6] = {0x01, 0x00, 0x5E, uint8_t(nh.data()[1] & 0x7F), nh.data()[2], nh.data()[3]};
        dst = EtherAddress(m);
    } else if (!_cache->lookup(nh, &dst)) {
        // Keep a copy of the VLAN annotation for the query before the cache owns p.
        uint16_t vlan = p->anno_u16(VLAN_TCI_ANNO_OFFSET);
        ArpCache::HoldResult r = _cache->hold(nh, p, _poll_ns);
        if (r == ArpCache::HOLD_DROPPED)
            _drops.fetch_add(1, std::memory_order_relaxed);
        else if (r == ArpCache::HOLD_QUERY)
            send_query(nh, vlan);
        return;
    }
    send_resolved(p, dst);
}

void ARPQuerier::handle_response(Packet* p) {
    const unsigned char* d = p->data();
    if (p->length() < 42 || d[12] != 0x08 || d[13] != 0x06 || d[14] != 0 || d[15] != 1 || d[16] != 0x08 ||
        d[17] != 0 || d[18] != 6 || d[19] != 4 || d[20] != 0 || d[21] != 2) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    EtherAddress sha(d + 22);
    IPAddress spa(d + 28);
    p->kill();
    if (!spa || sha.is_group() || sha.is_zero()) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    _responses.fetch_add(1, std::memory_order_relaxed);
    Packet* list = _cache->insert(spa, sha);
    while (list) {
        Packet* n = list->next();
        list->set_next(nullptr);
        send_resolved(list, sha);
        list = n;
    }
}

void ARPQuerier::push(int port, Packet* p) {
    if (port == 0)
        handle_ip(p);
    else
        handle_response(p);
}

void ARPQuerier::add_handlers() {
    ARPTable::add_cache_handlers(this, _cache);
    add_read_handler("queries", ReadHandlerFunction([this]() { return std::to_string(_queries.load()) + "\n"; }));
    add_read_handler("responses", ReadHandlerFunction([this]() { return std::to_string(_responses.load()) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() {
                         return std::to_string(_drops.load() + _cache->drops()) + "\n";
                     }));
}

QUILO_HOST_ELEMENT(ARPQuerier);
