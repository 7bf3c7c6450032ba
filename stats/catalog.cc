#include "catalog.hh"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace qstats {

const std::vector<Family>& families() {
    static const std::vector<Family> f = {
        {"quilo_up", false, "1 while quilo-stats reads the appliance's control socket, 0 while it cannot"},
        {"quilo_stats_connects_total", true, "Connections quilo-stats opened to the appliance's control socket"},
        {"quilo_stats_errors_total", true,
         "Connections to the appliance's control socket dropped after an error (refused, timed out, malformed reply)"},
        {"quilo_lan_bytes_total", true,
         "LAN bytes (whole frames) sent to the peer through the tunnel (direction tx) or restored from it (rx)"},
        {"quilo_lan_packets_total", true, "LAN frames sent to the peer through the tunnel (tx) or restored from it (rx)"},
        {"quilo_wan_bytes_total", true, "Tunnel bytes (whole frames) sent to the peer (direction tx) or received from it (rx)"},
        {"quilo_wan_packets_total", true, "Tunnel frames sent to the peer (tx) or received from it (rx)"},
        {"quilo_compression_ratio", false,
         "LAN bytes per WAN byte sent to the peer over the last minute (byte cache and compression together)"},
        {"quilo_tunnel_up", false, "1 while the RSP tunnel to the peer is open"},
        {"quilo_tunnel_state", false, "RSP connection state of the tunnel to the peer: 1 for the current state"},
        {"quilo_rsp_retransmits_total", true, "Tunnel packets RSP retransmitted, by its timer (kind timeout) or on duplicate ACKs (fast)"},
        {"quilo_rsp_rx_out_of_order_total", true, "Tunnel packets received ahead of the next expected one"},
        {"quilo_rsp_rx_duplicates_total", true, "Out-of-order tunnel packets received twice"},
        {"quilo_rsp_rx_old_retransmits_total", true, "Tunnel packets received again after they had been delivered"},
        {"quilo_rsp_window_full_total", true, "Times RSP found its transmit window full"},
        {"quilo_rsp_tx_queue_packets", false, "Tunnel packets sent and not yet acknowledged"},
        {"quilo_rsp_rx_queue_packets", false, "Tunnel packets received out of order and held"},
        {"quilo_peer_rtt_seconds", false, "Round trip to the peer measured by peer-information probes (moving average)"},
        {"quilo_peer_rtt_missed_responses", false, "Consecutive probe intervals that ended without an answer from the peer"},
        {"quilo_peer_info", false, "A known peer: its address and the host name it announced"},
        {"quilo_peers", false, "Peers the flow table knows"},
        {"quilo_peer_sessions", false, "Sessions the flow table has bound to a peer"},
        {"quilo_sessions", false, "Sessions the session manager tracks"},
        {"quilo_sessions_created_total", true, "Sessions the session manager created"},
        {"quilo_bytecache_ready", false, "1 when the byte-cache datastore is open and ready"},
        {"quilo_bytecache_records", false, "Records written to the byte-cache datastore since it last wrapped"},
        {"quilo_bytecache_capacity_records", false, "Records the byte-cache datastore holds before it wraps"},
        {"quilo_bytecache_fill_ratio", false, "Fill of the byte-cache datastore, 0 to 1 (1 once it has wrapped)"},
        {"quilo_bytecache_input_bytes_total", true, "Payload bytes the byte cache encoded, before encoding"},
        {"quilo_bytecache_output_bytes_total", true,
         "Payload bytes the byte cache encoded, after encoding (input minus output: bytes found in the cache)"},
        {"quilo_bytecache_packets_total", true, "Packets through the byte cache: encoded, sent unencoded, or rehydrated (decoded)"},
        {"quilo_bytecache_syncs_total", true, "Byte-cache resynchronisations, by reason"},
        {"quilo_bytecache_errors_total", true, "Packets the byte cache failed on"},
        {"quilo_compressor_packets_total", true, "Packets through the compressor, by result"},
        {"quilo_compressor_streaming", false, "1 while the compressor streams (0: stateless packets)"},
        {"quilo_decompressor_packets_total", true, "Packets through the decompressor, by result"},
        {"quilo_queue_length_packets", false, "Packets in the queue"},
        {"quilo_queue_capacity_packets", false, "Capacity of the queue"},
        {"quilo_queue_highwater_packets", false, "Longest the queue has been"},
        {"quilo_drops_total", true, "Packets the element dropped"},
        {"quilo_drops_by_reason_total", true, "Packets the element dropped, by reason (queue-management elements)"},
        {"quilo_device_packets_total", true, "Frames an interface element received (rx) or sent (tx)"},
        {"quilo_device_kernel_drops_total", true, "Frames the kernel dropped before the interface element read them"},
        {"quilo_counter_packets_total", true, "Packets through a Counter element"},
        {"quilo_counter_bytes_total", true, "Bytes through a Counter element"},
        {"quilo_fec_parity_sent_total", true, "Parity packets sent to the peer"},
        {"quilo_fec_groups_abandoned_total", true, "Parity groups sent without their parity packet"},
        {"quilo_fec_rebuilt_total", true, "Lost tunnel packets rebuilt from parity"},
        {"quilo_fec_unrecoverable_total", true, "Parity groups that lost too much to rebuild"},
        {"quilo_stacker_stacked_packets_total", true, "Small packets stacked into stacker packets"},
        {"quilo_stacker_sent_packets_total", true, "Stacker packets sent"},
        {"quilo_stacker_unstacked_packets_total", true, "Packets unpacked from received stacker packets"},
        {"quilo_stacker_corrupt_total", true, "Malformed stacker packets received"},
        {"quilo_bypass", false, "1 while new sessions bypass the appliance"},
        {"quilo_dpi_sessions_total", true, "Sessions protocol detection finished with, by result"},
    };
    return f;
}

const Family* family(const std::string& name) {
    for (const Family& f : families())
        if (name == f.name)
            return &f;
    return nullptr;
}

std::set<std::string> read_handlers(const std::string& text) {
    std::set<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0)
            continue;
        if (line.find('r', tab) != std::string::npos)
            out.insert(line.substr(0, tab));
    }
    return out;
}

std::vector<std::string> element_list(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {  // the count
            first = false;
            continue;
        }
        if (out.size() >= kMaxElements)
            break;
        if (!line.empty() && line.size() < 256)
            out.push_back(line);
    }
    return out;
}

namespace {
// The decimal number (at most five digits) that `s` holds whole.
bool small_number(const std::string& s, std::string* out) {
    if (s.empty() || s.size() > 5)
        return false;
    for (char c : s)
        if (!isdigit(uint8_t(c)))
            return false;
    *out = std::to_string(std::atoi(s.c_str()));
    return true;
}

// The number that ends `name` ("dd1": "1"), "" if none.
std::string trailing_number(const std::string& name) {
    size_t i = name.size();
    while (i > 0 && isdigit(uint8_t(name[i - 1])))
        --i;
    std::string p;
    if (i == 0 || !small_number(name.substr(i), &p))
        return "";
    return p;
}
}  // namespace

std::string peer_of(const std::string& name, const std::string& config) {
    // PEER_OUTPUT_PORT as a keyword argument of the configuration.
    std::istringstream args(config);
    std::string arg, p;
    while (std::getline(args, arg, ',')) {
        std::istringstream words(arg);
        std::string key, value, extra;
        if (words >> key >> value && !(words >> extra) && key == "PEER_OUTPUT_PORT" && small_number(value, &p))
            return p;
    }
    if (name.find('@') != std::string::npos)
        return "";  // anonymous element
    // Inside a compound the branch's number counts ("peer2/dd": 2).
    return trailing_number(name.substr(0, name.find('/')));
}

// "lan_tx1", "wan_tx1_own", or inside a numbered compound "peer2/lan_tx",
// "peer2/wan_tx_own": *side lan or wan, *dir tx or rx, *peer the number.
bool traffic_counter(const std::string& name, std::string* side, std::string* dir, std::string* peer) {
    size_t slash = name.rfind('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.size() < 6 || (base.compare(0, 4, "lan_") != 0 && base.compare(0, 4, "wan_") != 0) ||
        (base.compare(4, 2, "tx") != 0 && base.compare(4, 2, "rx") != 0))
        return false;
    size_t e = 6;
    while (e < base.size() && isdigit(uint8_t(base[e])))
        ++e;
    if (e < base.size() && (base[e] != '_' || e + 1 == base.size()))
        return false;
    std::string p = e > 6 ? base.substr(6, e - 6) : "";
    if (p.empty() && slash != std::string::npos && name.find('@') == std::string::npos)
        p = trailing_number(name.substr(0, name.find('/')));
    if (!small_number(p, peer))
        return false;
    *side = base.substr(0, 3);
    *dir = base.substr(4, 2);
    return true;
}

bool whole_number(const std::string& text, double* out) {
    size_t a = 0, b = text.size();
    while (a < b && isspace(uint8_t(text[a])))
        ++a;
    while (b > a && isspace(uint8_t(text[b - 1])))
        --b;
    if (a == b || b - a > 40)
        return false;
    std::string s = text.substr(a, b - a);
    char* end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool number_after(const std::string& text, const std::string& key, double* out) {
    size_t p = text.find(key);
    if (p == std::string::npos)
        return false;
    p += key.size();
    size_t e = p;
    while (e < text.size() && (isdigit(uint8_t(text[e])) || text[e] == '.'))
        ++e;
    return e > p && whole_number(text.substr(p, e - p), out);
}

namespace {
bool last_number(const std::string& text, double* out) {
    size_t e = text.size();
    while (e > 0 && !isdigit(uint8_t(text[e - 1])))
        --e;
    size_t b = e;
    while (b > 0 && isdigit(uint8_t(text[b - 1])))
        --b;
    return e > b && whole_number(text.substr(b, e - b), out);
}

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && isspace(uint8_t(s[a])))
        ++a;
    while (b > a && isspace(uint8_t(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

const char* kTunnelStates[] = {"CLOSED", "LISTEN", "SYN_SENT", "SYN_RCVD", "OPEN"};
}  // namespace

void Catalog::add(const std::string& handler, Kind kind, const char* fam, Labels labels,
                  const std::string& peer, const std::string& element) {
    reads_.push_back(handler);
    probes_.push_back({kind, family(fam), std::move(labels), peer, element});
}

void Catalog::build(const std::vector<ElementInfo>& elements) {
    reads_.clear();
    probes_.clear();
    sums_.clear();
    elements_ = elements.size();
    std::map<std::string, int> sum_index;
    for (const ElementInfo& e : elements) {
        auto has = [&](const char* h) { return e.reads.count(h) > 0; };
        const std::string peer = peer_of(e.name, e.config);
        const std::string& n = e.name;
        Labels el = {{"element", n}};
        Labels pe = peer.empty() ? el : Labels{{"peer", peer}, {"element", n}};
        auto h = [&](const char* handler) { return n + "." + handler; };
        auto with = [](Labels l, const char* k, const char* v) {
            l.emplace_back(k, v);
            return l;
        };

        if (has("count") && has("byte_count")) {
            add(h("count"), Kind::Number, "quilo_counter_packets_total", el);
            add(h("byte_count"), Kind::Number, "quilo_counter_bytes_total", el);
            std::string side, dir, p;
            if (traffic_counter(n, &side, &dir, &p)) {
                for (const char* unit : {"bytes", "packets"}) {
                    std::string fam = "quilo_" + side + "_" + unit + "_total";
                    std::string key = fam + "/" + p + "/" + dir;
                    auto [it, fresh] = sum_index.emplace(key, int(sums_.size()));
                    if (fresh)
                        sums_.push_back({family(fam), Labels{{"peer", p}, {"direction", dir}}});
                    add(h(unit[0] == 'b' ? "byte_count" : "count"), Kind::Number, fam.c_str(), {});
                    probes_.back().sum_group = it->second;
                }
            }
        } else if (has("count") && (e.cls == "FromDevice" || e.cls == "ToDevice")) {
            add(h("count"), Kind::Number, "quilo_device_packets_total",
                with(el, "direction", e.cls == "FromDevice" ? "rx" : "tx"));
            if (has("kernel_drops"))
                add(h("kernel_drops"), Kind::Number, "quilo_device_kernel_drops_total", el);
        }
        if (e.cls == "RSP" || (has("connection_state") && has("tx_retransmit_count"))) {
            add(h("connection_state"), Kind::TunnelState, "quilo_tunnel_state", pe, peer, n);
            add(h("tx_retransmit_count"), Kind::Number, "quilo_rsp_retransmits_total", with(pe, "kind", "timeout"));
            if (has("tx_fast_retransmit_count"))
                add(h("tx_fast_retransmit_count"), Kind::Number, "quilo_rsp_retransmits_total", with(pe, "kind", "fast"));
            if (has("rx_out_of_order_count"))
                add(h("rx_out_of_order_count"), Kind::Number, "quilo_rsp_rx_out_of_order_total", pe);
            if (has("rx_duplicate_packets"))
                add(h("rx_duplicate_packets"), Kind::Number, "quilo_rsp_rx_duplicates_total", pe);
            if (has("rx_old_retransmit_count"))
                add(h("rx_old_retransmit_count"), Kind::Number, "quilo_rsp_rx_old_retransmits_total", pe);
            if (has("tx_queue_full_count"))
                add(h("tx_queue_full_count"), Kind::Number, "quilo_rsp_window_full_total", pe);
            if (has("state"))
                add(h("state"), Kind::RspQueues, "quilo_rsp_tx_queue_packets", pe);
        }
        if (has("wrtt")) {
            add(h("wrtt"), Kind::Rtt, "quilo_peer_rtt_seconds", pe);
            if (has("missed_responses"))
                add(h("missed_responses"), Kind::Number, "quilo_peer_rtt_missed_responses", pe);
            if (has("peerhostname") && !peer.empty())
                add(h("peerhostname"), Kind::Hostname, "quilo_peer_info", {}, peer);
        }
        if (has("peers") && has("peer_count")) {
            add(h("peers"), Kind::Peers, "quilo_peer_info", {});
            add(h("peer_count"), Kind::Number, "quilo_peers", el);
            if (has("tcp_map"))
                add(h("tcp_map"), Kind::LastNumber, "quilo_peer_sessions", el);
        }
        if (has("maps") && has("sessions_created")) {
            add(h("maps"), Kind::Sessions, "quilo_sessions", el);
            add(h("sessions_created"), Kind::Number, "quilo_sessions_created_total", el);
        }
        if (has("ds_slot") && has("ds_capacity")) {
            if (has("ds_ready"))
                add(h("ds_ready"), Kind::Bool, "quilo_bytecache_ready", pe);
            add(h("ds_capacity"), Kind::Number, "quilo_bytecache_capacity_records", pe, peer, n);
            add(h("ds_slot"), Kind::CacheSlot, "quilo_bytecache_records", pe, peer, n);
            const std::pair<const char*, const char*> counts[] = {
                {"encode_bytes_in", "quilo_bytecache_input_bytes_total"},
                {"encode_bytes_out", "quilo_bytecache_output_bytes_total"},
                {"errors", "quilo_bytecache_errors_total"}};
            for (auto [hn, fam] : counts)
                if (has(hn))
                    add(h(hn), Kind::Number, fam, pe);
            for (const char* r : {"encoded", "unencoded", "decoded"})
                if (has(r))
                    add(h(r), Kind::Number, "quilo_bytecache_packets_total", with(pe, "result", r));
            if (has("missing_syncs"))
                add(h("missing_syncs"), Kind::Number, "quilo_bytecache_syncs_total", with(pe, "reason", "missing"));
            if (has("checksum_syncs"))
                add(h("checksum_syncs"), Kind::Number, "quilo_bytecache_syncs_total", with(pe, "reason", "checksum"));
        }
        if (has("active_method") && has("compressed")) {
            add(h("active_method"), Kind::Streaming, "quilo_compressor_streaming", pe);
            for (const char* r : {"compressed", "uncompressed", "passed", "errors"})
                if (has(r))
                    add(h(r), Kind::Number, "quilo_compressor_packets_total",
                        with(pe, "result", r[0] == 'e' ? "error" : r));
        } else if (has("decompressed")) {
            for (const char* r : {"decompressed", "uncompressed", "passed", "errors"})
                if (has(r))
                    add(h(r), Kind::Number, "quilo_decompressor_packets_total",
                        with(pe, "result", r[0] == 'e' ? "error" : r));
        }
        if (has("length") && has("capacity")) {
            add(h("length"), Kind::Number, "quilo_queue_length_packets", el);
            add(h("capacity"), Kind::Number, "quilo_queue_capacity_packets", el);
            if (has("highwater_length"))
                add(h("highwater_length"), Kind::Number, "quilo_queue_highwater_packets", el);
        }
        const std::pair<const char*, const char*> fec_stk[] = {
            {"fec_sent", "quilo_fec_parity_sent_total"},
            {"groups_abandoned", "quilo_fec_groups_abandoned_total"},
            {"rebuilt", "quilo_fec_rebuilt_total"},
            {"unrecoverable", "quilo_fec_unrecoverable_total"},
            {"stacked", "quilo_stacker_stacked_packets_total"},
            {"unstacked", "quilo_stacker_unstacked_packets_total"},
            {"corrupt", "quilo_stacker_corrupt_total"}};
        for (auto [hn, fam] : fec_stk)
            if (has(hn))
                add(h(hn), Kind::Number, fam, pe);
        if (has("stacked") && has("sent"))
            add(h("sent"), Kind::Number, "quilo_stacker_sent_packets_total", pe);
        if (e.cls == "BypassSwitch" && has("bypass"))
            add(h("bypass"), Kind::Bool, "quilo_bypass", el);
        if (has("detected") && has("undetected")) {
            add(h("detected"), Kind::Number, "quilo_dpi_sessions_total", with(el, "result", "detected"));
            add(h("undetected"), Kind::Number, "quilo_dpi_sessions_total", with(el, "result", "undetected"));
        }
        // Drop counters of every element, whatever its class: queues,
        // devices, queue management ("drops_latency", "drops_loss"), ...
        for (const std::string& r : e.reads) {
            Labels cl = {{"element", n}, {"class", e.cls}};
            if (r == "drops")
                add(h("drops"), Kind::Number, "quilo_drops_total", cl);
            else if (r.rfind("drops_", 0) == 0 && r.size() > 6)
                add(n + "." + r, Kind::Number, "quilo_drops_by_reason_total",
                    with(cl, "reason", r.c_str() + 6));
        }
    }
}

std::vector<Sample> Catalog::extract(const std::vector<Reply>& replies) {
    std::vector<Sample> out;
    std::vector<double> sums(sums_.size(), 0);
    std::vector<bool> sum_ok(sums_.size(), true);
    std::map<std::string, std::string> addresses, hostnames;  // by peer
    std::map<std::string, double> capacity;                     // by element
    std::vector<std::pair<size_t, double>> slots;               // probe, slot
    for (size_t i = 0; i < probes_.size() && i < replies.size(); ++i) {
        const Probe& p = probes_[i];
        const Reply& r = replies[i];
        double v = 0;
        bool ok = r.code == 200 && r.has_data;
        auto emit = [&](const Family* f, Labels l, double x) { out.push_back({f, std::move(l), x}); };
        if (p.sum_group >= 0) {
            if (ok && whole_number(r.data, &v))
                sums[size_t(p.sum_group)] += v;
            else
                sum_ok[size_t(p.sum_group)] = false;
            continue;
        }
        if (!ok)
            continue;
        switch (p.kind) {
        case Kind::Number:
            if (whole_number(r.data, &v)) {
                emit(p.family, p.labels, v);
                if (p.family == family("quilo_bytecache_capacity_records"))
                    capacity[p.element] = v;
            }
            break;
        case Kind::Bool: {
            std::string s = trimmed(r.data);
            if (s == "true" || s == "false")
                emit(p.family, p.labels, s == "true" ? 1 : 0);
            break;
        }
        case Kind::LastNumber:
            if (last_number(r.data, &v))
                emit(p.family, p.labels, v);
            break;
        case Kind::Rtt:
            if (whole_number(r.data, &v) && v >= 0 && v < 65535)
                emit(p.family, p.labels, v / 1000.0);
            break;
        case Kind::TunnelState: {
            std::string s = trimmed(r.data);
            bool known = false;
            for (const char* st : kTunnelStates)
                known |= s == st;
            if (!known)
                break;
            for (const char* st : kTunnelStates) {
                Labels l = p.labels;
                l.emplace_back("state", st);
                emit(p.family, l, s == st ? 1 : 0);
            }
            emit(family("quilo_tunnel_up"), p.labels, s == "OPEN" ? 1 : 0);
            break;
        }
        case Kind::RspQueues:
            if (number_after(r.data, "tx_queue: ", &v))
                emit(family("quilo_rsp_tx_queue_packets"), p.labels, v);
            if (number_after(r.data, "rx_queue: ", &v))
                emit(family("quilo_rsp_rx_queue_packets"), p.labels, v);
            break;
        case Kind::Sessions:
            for (const char* proto : {"tcp", "udp"}) {
                Labels l = p.labels;
                l.emplace_back("protocol", proto);
                if (number_after(r.data, std::string(proto) + " map size: ", &v))
                    emit(p.family, l, v);
            }
            break;
        case Kind::Streaming: {
            std::string s = trimmed(r.data);
            if (s == "Streaming" || s == "Stateless")
                emit(p.family, p.labels, s == "Streaming" ? 1 : 0);
            break;
        }
        case Kind::Peers: {
            std::istringstream in(r.data);
            std::string addr, port;
            while (in >> addr >> port)
                if (addr.size() < 64 && port.size() < 6 && whole_number(port, &v))
                    addresses[std::to_string(int(v))] = addr;
            break;
        }
        case Kind::Hostname: {
            std::string s = printable(trimmed(r.data));
            hostnames[p.peer] = s;
            break;
        }
        case Kind::CacheSlot:
            if (whole_number(r.data, &v)) {
                emit(p.family, p.labels, v);
                slots.emplace_back(i, v);
            }
            break;
        }
    }
    for (size_t g = 0; g < sums_.size(); ++g)
        if (sum_ok[g])
            out.push_back({sums_[g].family, sums_[g].labels, sums[g]});
    for (const auto& [peer, addr] : addresses) {
        auto hn = hostnames.find(peer);
        out.push_back({family("quilo_peer_info"),
                       {{"peer", peer}, {"address", addr}, {"hostname", hn == hostnames.end() ? "" : hn->second}},
                       1});
    }
    for (auto [i, slot] : slots) {
        const Probe& p = probes_[i];
        auto& [last, wrapped] = slots_[p.element];
        wrapped = wrapped || slot < last;
        last = slot;
        auto cap = capacity.find(p.element);
        if (cap != capacity.end() && cap->second > 0)
            out.push_back({family("quilo_bytecache_fill_ratio"), p.labels,
                           wrapped ? 1.0 : std::min(1.0, slot / cap->second)});
    }
    return out;
}

}  // namespace qstats
