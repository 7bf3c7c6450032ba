#include "peerinfo/pathredirect.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/partner.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"
#include "peerinfo/wpeerinfo.hh"

namespace {

constexpr uint16_t NO_RTT = 65535;  // WPeerInfo's average before the first response

uint64_t load_mac(const uint8_t* d) {
    uint64_t m = 0;
    for (int i = 0; i < 6; ++i)
        m = m << 8 | d[i];
    return m;
}

void store_mac(uint8_t* d, uint64_t m) {
    for (int i = 5; i >= 0; --i, m >>= 8)
        d[i] = uint8_t(m);
}

EtherAddress ether_of(uint64_t m) {
    uint8_t b[6];
    store_mac(b, m);
    return EtherAddress(b);
}

std::string mac_text(uint64_t m) { return m ? ether_of(m).unparse_dash() : std::string("unknown"); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// "XX-XX-XX-XX-XX-XX" (any one-character separator) -> 48-bit number, or 0.
uint64_t parse_mac_word(const std::string& w) {
    if (w.size() != 17)
        return 0;
    uint64_t m = 0;
    for (size_t i = 0; i < 17; i += 3) {
        int hi = hex_digit(w[i]), lo = hex_digit(w[i + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        m = m << 8 | uint64_t(hi << 4 | lo);
    }
    return m == 0xFFFFFFFFFFFFull ? 0 : m;
}

}  // namespace

uint64_t pathredirect::listed_mac(const std::string& listing, IPAddress gw) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < listing.size()) {
        while (i < listing.size() && std::isspace(static_cast<unsigned char>(listing[i])))
            ++i;
        size_t j = i;
        while (j < listing.size() && !std::isspace(static_cast<unsigned char>(listing[j])))
            ++j;
        if (j > i)
            words.push_back(listing.substr(i, j - i));
        i = j;
    }
    std::string addr = gw.unparse();
    // An address among the last two words has no MAC column.
    for (size_t k = 0; k + 2 < words.size(); ++k)
        if (words[k] == addr)
            if (uint64_t m = parse_mac_word(words[k + 2]))
                return m;
    return 0;
}

PathRedirect::PathRedirect() : _timer(this) {}

int PathRedirect::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string wrtt_name, rsp_name;
    IPAddress primary, secondary, my_ip;
    EtherAddress my_eth;
    bool bridge = false, fail_over = false, preempt = true;
    uint16_t timeout = 6, max_rtt_a = 5000, max_loss_a = 50, max_rtt_b = 5000, max_loss_b = 50, max_events = 10;
    int vlan = 0;
    if (Args(conf, this, errh)
            .read_mp("WRTT", WordArg(), wrtt_name)
            .read_mp("RSP", WordArg(), rsp_name)
            .read_mp("PRIMARY_GW", primary)
            .read_mp("SECONDARY_GW", secondary)
            .read_mp("MY_IP", my_ip)
            .read_mp("MY_ETH", my_eth)
            .read("BRIDGE", bridge)
            .read("FAIL_OVER", fail_over)
            .read("PREEMPT", preempt)
            .read("TIMEOUT", timeout)
            .read("MAX_RTT_A", max_rtt_a)
            .read("MAX_LOSS_A", max_loss_a)
            .read("MAX_RTT_B", max_rtt_b)
            .read("MAX_LOSS_B", max_loss_b)
            .read("MAX_EVENTS", max_events)
            .read("VLAN_ID", BoundedIntArg(0, 4095), vlan)
            .complete() < 0)
        return -1;
    WPeerInfo* wrtt[2] = {nullptr, nullptr};
    std::string names[2] = {wrtt_name, wrtt_name + "_b"};
    for (int i = 0; i < 2; ++i)
        if (!(wrtt[i] = find_partner<WPeerInfo>(this, names[i], "WPeerInfo", "WRTT", errh)))
            return -1;
    if (!find_partner<Element>(this, rsp_name, "RSP", "RSP", errh))
        return -1;

    _a.wrtt = wrtt[0];
    _b.wrtt = wrtt[1];
    _a.max_rtt = max_rtt_a;
    _b.max_rtt = max_rtt_b;
    _primary_gw = primary;
    _secondary_gw = secondary;
    _my_ip = my_ip;
    _my_eth = my_eth;
    _bridge = bridge;
    _fail_over = fail_over;
    _preempt = preempt;
    _timeout = timeout;
    _max_events = max_events;
    _vlan_id = uint16_t(vlan);
    return 0;
}

int PathRedirect::initialize(ErrorHandler* errh) {
    // The ARP table is read in both modes (a failover needs the gateway's
    // MAC either way); the proxy ARP entries are bridge mode's.
    _h_table = HandlerCall("arptable.table");
    if (_h_table.initialize_read(this, errh) < 0)
        return errh->error("PathRedirect needs an ARPTable named arptable");
    if (_bridge) {
        _h_insert = HandlerCall("arptable.insert");
        _h_add = HandlerCall("lan_arpr.add");
        _h_remove = HandlerCall("lan_arpr.remove");
        if (_h_insert.initialize_write(this, errh) < 0 || _h_add.initialize_write(this, errh) < 0 ||
            _h_remove.initialize_write(this, errh) < 0)
            return errh->error("in bridge mode PathRedirect needs an ARPTable named arptable and an "
                               "ARPResponder named lan_arpr");
    }
    _active_gw = _primary_gw.addr();
    _active_mac = _primary_mac.load();
    // Start-up (ARP requests, learning) begins once the router runs; the
    // first check follows FIRST_RUN_SECS later.
    _timer.initialize(this);
    _timer.schedule_now();
    return 0;
}

void PathRedirect::cleanup(CleanupStage) { _timer.unschedule(); }

// ---------------------------------------------------------------------------
// Packet path

Packet* PathRedirect::simple_action(Packet* p) {
    uint8_t link = path_anno(p);
    return _bridge ? bridge(p, link) : route(p, link);
}

Packet* PathRedirect::route(Packet* p, uint8_t link) {
    if (link == 1 || link == 2) {
        set_dst_ip_anno(p, (link == 1 ? _primary_gw : _secondary_gw).addr());
        return p;
    }
    uint32_t nh = dst_ip_anno(p), active = _active_gw.load(std::memory_order_relaxed);
    if (nh != _primary_gw.addr() || nh == active)
        return p;
    IPv4View v;
    uint32_t ip_dst;
    if (!ipv4_view(p, &v, true))
        return p;
    memcpy(&ip_dst, v.ip + 16, 4);
    if (ip_dst != nh) {
        set_dst_ip_anno(p, active);
        _redirected.fetch_add(1, std::memory_order_relaxed);
    }
    return p;
}

Packet* PathRedirect::bridge(Packet* p, uint8_t link) {
    uint64_t to;
    if (link == 1 || link == 2) {
        to = (link == 1 ? _primary_mac : _secondary_mac).load(std::memory_order_relaxed);
        if (!to || p->length() < 14) {
            _drops.fetch_add(1, std::memory_order_relaxed);
            p->kill();
            return nullptr;
        }
    } else {
        to = _active_mac.load(std::memory_order_relaxed);
        const uint8_t* d = p->data();
        if (!to || p->length() < 34 || d[12] != 0x08 || d[13] != 0x00)
            return p;
        uint64_t dst = load_mac(d);
        uint64_t primary = _primary_mac.load(std::memory_order_relaxed);
        uint64_t secondary = _secondary_mac.load(std::memory_order_relaxed);
        if (dst == to || !dst || (dst != primary && dst != secondary))
            return p;
        uint32_t ip_dst;
        memcpy(&ip_dst, d + 30, 4);
        if (ip_dst == _primary_gw.addr() || ip_dst == _secondary_gw.addr())
            return p;
        _redirected.fetch_add(1, std::memory_order_relaxed);
    }
    if (load_mac(p->data()) == to)
        return p;
    WritablePacket* q = p->uniqueify();
    if (q)
        store_mac(q->data(), to);
    return q;
}

// ---------------------------------------------------------------------------
// Handlers of other elements and ARP requests

void PathRedirect::write_handler(const HandlerCall& h, const std::string& value) {
    StringErrorHandler errh;
    if (h.call_write(value, &errh) < 0)
        WLogger::warn("%s %s %s failed: %s", name().c_str(), h.hdesc().c_str(), value.c_str(), errh.text().c_str());
}

void PathRedirect::send_arp_query(uint64_t mac, IPAddress ip) {
    WritablePacket* q = Packet::make(14, nullptr, 42, 0);
    if (!q) {
        WLogger::error("Path Selection probes arp queries: cannot make packet!");
        return;
    }
    uint8_t* d = q->data();
    if (mac)
        store_mac(d, mac);
    else
        memset(d, 0xFF, 6);
    memcpy(d + 6, _my_eth.data(), 6);
    d[12] = 0x08;
    d[13] = 0x06;
    static const uint8_t arp_request[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    memcpy(d + 14, arp_request, 8);
    memcpy(d + 22, _my_eth.data(), 6);
    memcpy(d + 28, _my_ip.data(), 4);
    memset(d + 32, 0, 6);
    memcpy(d + 38, ip.data(), 4);
    q->set_ether_header(reinterpret_cast<click_ether*>(d));
    q->set_timestamp_anno(Timestamp::now());
    if (_vlan_id)
        set_vlan_tci_anno(q, htons(_vlan_id));
    output(1).push(q);
}

// ---------------------------------------------------------------------------
// Switching

void PathRedirect::reset_counters() {
    _a.rtt_exceeded = _b.rtt_exceeded = 0;
    _a.loss_baseline = _b.loss_baseline = 0;
}

void PathRedirect::activate(IPAddress gw, uint64_t mac) {
    _active_gw = gw.addr();
    _active_mac = mac;
    _switched = true;
    ++_events_in_window;
    ++_total_events;
    reset_counters();
}

void PathRedirect::proxy_primary_as(uint64_t mac) {
    write_handler(_h_add, _primary_gw.unparse() + "/32 " + ether_of(mac).unparse_dash());
}

void PathRedirect::stand_in_for_primary(uint64_t secondary) {
    write_handler(_h_insert, _primary_gw.unparse() + " " + ether_of(secondary).unparse_dash());
    proxy_primary_as(secondary);
    _proxy_secondary = true;
    _proxy_mac = secondary;
}

void PathRedirect::switch_to_secondary() {
    uint64_t primary = _primary_mac.load(), secondary = _secondary_mac.load();
    activate(_secondary_gw, secondary);
    if (!_bridge)
        return;
    if (primary) {
        // LAN hosts keep resolving the primary gateway while it is down;
        // their frames are rewritten to the secondary MAC here.
        proxy_primary_as(primary);
        WLogger::info("%s 1 : Path Selection enabled Proxy ARP", name().c_str());
    } else if (secondary) {
        stand_in_for_primary(secondary);
        WLogger::info("%s 2 : Path Selection enabled Proxy ARP. Primary Gateway is unknown.", name().c_str());
    }
}

void PathRedirect::switch_to_primary() {
    uint64_t primary = _primary_mac.load();
    activate(_primary_gw, primary);
    if (!_bridge)
        return;
    send_arp_query(primary, _primary_gw);
    write_handler(_h_remove, _primary_gw.unparse() + "/32");
    WLogger::info("%s Path Selection disabled Proxy ARP : %s", name().c_str(), _primary_gw.unparse().c_str());
    _proxy_secondary = false;
}

// ---------------------------------------------------------------------------
// Timer

void PathRedirect::refresh() {
    uint64_t primary = _primary_mac.load(), secondary = _secondary_mac.load();
    send_arp_query(primary, _primary_gw);
    send_arp_query(secondary, _secondary_gw);
    if (!_fail_over || !_bridge || _active_gw.load() != _secondary_gw.addr())
        return;
    if (primary) {
        write_handler(_h_insert, _primary_gw.unparse() + " " + ether_of(primary).unparse_dash());
        if (_proxy_secondary) {
            write_handler(_h_remove, _primary_gw.unparse() + "/32");
            proxy_primary_as(primary);
            _proxy_secondary = false;
        }
    } else if (secondary) {
        // Never an all-zero MAC into the tables: with the secondary MAC
        // forgotten as well, the entries written before stay as they are.
        stand_in_for_primary(secondary);
    }
}

void PathRedirect::learn(bool sixth) {
    uint64_t primary = _primary_mac.load(), secondary = _secondary_mac.load();
    if (primary && secondary && !sixth)
        return;
    std::string listing = _h_table.call_read();
    uint64_t found_primary = pathredirect::listed_mac(listing, _primary_gw);
    uint64_t found_secondary = pathredirect::listed_mac(listing, _secondary_gw);
    // A PRIMARY_GW entry with the MAC this element wrote for it names the
    // secondary gateway, not the primary; it stands until a reply of the
    // primary gateway (or the refresh) replaces it.
    if (found_primary && found_primary == _proxy_mac)
        found_primary = 0;
    else if (found_primary)
        _proxy_mac = 0;
    if (!primary || sixth)
        _primary_mac = primary = found_primary;
    if (!secondary || sixth)
        _secondary_mac = secondary = found_secondary;
    if (sixth && !primary)
        WLogger::info("%s Path Selection searching for primary Gateway ARP", name().c_str());
    if (sixth && !secondary)
        WLogger::info("%s Path Selection searching for secondary Gateway ARP", name().c_str());
    // Once a switch has set it, the active MAC follows what is learned for
    // the active gateway: a new, changed or forgotten MAC takes effect.
    if (_switched)
        _active_mac = _active_gw.load() == _primary_gw.addr() ? primary : secondary;
}

void PathRedirect::grade(Path& path) {
    uint16_t rtt = path.wrtt->rtt_average();
    uint16_t missed = path.wrtt->missed_responses();
    path.rtt = rtt;
    if (missed == 0 && rtt < path.max_rtt)
        path.healthy = true;
    // Unanswered probes count from the value seen when they began.
    if (path.loss_baseline == 0) {
        path.loss_baseline = missed;
        path.loss = 0;
    } else if (missed < path.loss_baseline) {
        path.loss_baseline = 0;
        path.loss = missed;
    } else
        path.loss = uint16_t(missed - path.loss_baseline);
    if (path.loss >= _timeout)
        path.healthy = false;
    if (rtt > path.max_rtt && rtt != NO_RTT)
        ++path.rtt_exceeded;
    else
        path.rtt_exceeded = 0;
    if (path.rtt_exceeded >= _timeout)
        path.healthy = false;
}

void PathRedirect::leave(const Path& bad, bool to_secondary) {
    IPAddress from = to_secondary ? _primary_gw : _secondary_gw, to = to_secondary ? _secondary_gw : _primary_gw;
    const char* which[2] = {"primary", "secondary"};
    const char* Which[2] = {"Primary", "Secondary"};
    WLogger::warn("%s Path Selection Conditions exceed thresholds on Gateway : %s (RTT %d, RTT Exceeded %d, "
                  "Timeouts %d) . Selecting %s Gateway Path : %s",
                  name().c_str(), from.unparse().c_str(), int(bad.rtt), int(bad.rtt_exceeded), int(bad.loss),
                  Which[to_secondary], to.unparse().c_str());
    // Either mode needs the MAC: bridge mode sends to it, and it tells that
    // the gateway is there at all.
    if (!(to_secondary ? _secondary_mac : _primary_mac).load()) {
        WLogger::warn("%s Path Selection could not enable the %s path since the %s Gateway has not yet been found "
                      "on the network.",
                      name().c_str(), which[to_secondary], Which[to_secondary]);
        return;
    }
    if (to_secondary) {
        switch_to_secondary();
        _b.healthy = true;
    } else {
        switch_to_primary();
        _a.healthy = true;
    }
}

void PathRedirect::decide() {
    uint32_t active = _active_gw.load();
    if (!_a.healthy && active == _primary_gw.addr())
        leave(_a, true);
    else if (!_b.healthy && active == _secondary_gw.addr())
        leave(_b, false);
    if (_preempt && _a.healthy && _active_gw.load() == _secondary_gw.addr()) {
        if (++_preempt_count > _timeout + 1) {
            WLogger::warn("%s Path Selection discovered the primary link meets threshold conditions & preemption "
                          "is enabled. Switching to primary path : %s ",
                          name().c_str(), _primary_gw.unparse().c_str());
            switch_to_primary();
            _preempt_count = 0;
        }
    } else
        _preempt_count = 0;
}

uint32_t PathRedirect::run_once() {
    if (_refresh_tick == 0)
        refresh();
    _refresh_tick = uint8_t((_refresh_tick + 1) % 5);
    _learn_tick = uint8_t((_learn_tick + 1) % 6);
    learn(_learn_tick == 0);
    grade(_a);
    grade(_b);
    if (_fail_over)
        decide();
    // Flap guard: a window is RUNS_PER_WINDOW runs; one with MAX_EVENTS
    // switches or more pauses the checks.
    if (_runs_in_window < RUNS_PER_WINDOW) {
        ++_runs_in_window;
        return RUN_SECS;
    }
    uint32_t next = RUN_SECS;
    if (_events_in_window >= _max_events) {
        WLogger::warn("%s Path Selection : %d fail over events in 5 minutes. Pausing checks for 300 seconds",
                      name().c_str(), int(_max_events));
        next = PAUSE_SECS;
    }
    _events_in_window = 0;
    _runs_in_window = 1;
    return next;
}

void PathRedirect::run_timer(Timer*) {
    // Start-up: ARP requests to both gateways, then a look at the ARP table
    // every second until both MACs are known, so that each path's probes
    // flow well before the first check (they are dropped while their
    // gateway's MAC is unknown).
    if (_startup_secs < FIRST_RUN_SECS) {
        if (_startup_secs == 0) {
            send_arp_query(0, _primary_gw);
            send_arp_query(0, _secondary_gw);
        } else
            learn(false);
        uint32_t wait = _primary_mac.load() && _secondary_mac.load() ? FIRST_RUN_SECS - _startup_secs : 1;
        _startup_secs += wait;
        _timer.schedule_after_sec(wait);
        return;
    }
    _timer.schedule_after_sec(run_once());
}

void PathRedirect::add_handlers() {
    add_read_handler("active", ReadHandlerFunction([this] { return IPAddress(_active_gw.load()).unparse(); }));
    add_read_handler("link_a", ReadHandlerFunction([this] { return std::string(_a.healthy ? "true" : "false"); }));
    add_read_handler("link_b", ReadHandlerFunction([this] { return std::string(_b.healthy ? "true" : "false"); }));
    add_read_handler("total_events", ReadHandlerFunction([this] { return std::to_string(_total_events.load()); }));
    add_read_handler("primary_mac", ReadHandlerFunction([this] { return mac_text(_primary_mac.load()); }));
    add_read_handler("secondary_mac", ReadHandlerFunction([this] { return mac_text(_secondary_mac.load()); }));
    add_read_handler("active_mac", ReadHandlerFunction([this] { return mac_text(_active_mac.load()); }));
    add_read_handler("redirected", ReadHandlerFunction([this] { return std::to_string(_redirected.load()); }));
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
}

QUILO_REGISTER_ELEMENT(PathRedirect);
