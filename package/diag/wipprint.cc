#include "diag/wipprint.hh"

#include <host/activehandler.hh>
#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"

namespace {

uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void put_u(std::string& s, uint64_t v) {
    char b[24];
    auto r = std::to_chars(b, b + sizeof b, v);
    s.append(b, r.ptr);
}

void put_addr(std::string& s, const uint8_t* a) {
    for (int i = 0; i < 4; ++i) {
        if (i)
            s += '.';
        put_u(s, a[i]);
    }
}

// "SRC > DST"
void put_pair(std::string& s, const uint8_t* ip) {
    put_addr(s, ip + 12);
    s += " > ";
    put_addr(s, ip + 16);
}

// "SRC.SPORT > DST.DPORT: "
void put_ports(std::string& s, const uint8_t* ip, const uint8_t* t) {
    put_addr(s, ip + 12);
    s += '.';
    put_u(s, be16(t));
    s += " > ";
    put_addr(s, ip + 16);
    s += '.';
    put_u(s, be16(t + 2));
    s += ": ";
}

const char* unreach_name(uint8_t code) {
    static const char* const names[] = {"net",           "host",           "protocol",       "port",
                                        "needfrag",      "srcroute-fail",  "net-unknown",    "host-unknown",
                                        "isolated",      "net-prohibited", "host-prohibited", "net-tos",
                                        "host-tos",      "admin-prohibited", "host-precedence", "precedence-cutoff"};
    return code < sizeof(names) / sizeof(names[0]) ? names[code] : nullptr;
}

std::string upper(std::string w) {
    for (char& c : w)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return w;
}

// CONTENTS: a boolean (true means hex), or NONE, HEX, ASCII in any case.
bool parse_contents(const std::string& word, WIPPrint::Dump* d) {
    bool b;
    std::string w = upper(word);
    if (BoolArg().parse(word, b))
        *d = b ? WIPPrint::DUMP_HEX : WIPPrint::DUMP_NONE;
    else if (w == "NONE" || w == "HEX" || w == "ASCII")
        *d = w == "NONE" ? WIPPrint::DUMP_NONE : w == "HEX" ? WIPPrint::DUMP_HEX : WIPPrint::DUMP_ASCII;
    else
        return false;
    return true;
}

// PAYLOAD: NO, FALSE, YES, TRUE (hex), HEX, ASCII in any case.
bool parse_payload(const std::string& word, WIPPrint::Dump* d) {
    std::string w = upper(word);
    if (w == "NO" || w == "FALSE")
        *d = WIPPrint::DUMP_NONE;
    else if (w == "YES" || w == "TRUE" || w == "HEX")
        *d = WIPPrint::DUMP_HEX;
    else if (w == "ASCII")
        *d = WIPPrint::DUMP_ASCII;
    else
        return false;
    return true;
}

}  // namespace

WIPPrint::~WIPPrint() {
    if (_out && _out != stdout)
        std::fclose(_out);
}

int WIPPrint::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Settings s;
    std::string contents, payload, channel;
    bool has_contents = false, has_payload = false, has_maxlength = false, has_nbytes = false;
    bool swap = true, active = true;
    Timestamp interval;
    int64_t nbytes = 1500;
    if (Args(conf, this, errh)
            .read_p("LABEL", s.label)
            .read("CONTENTS", WordArg(), contents)
            .read_status(has_contents)
            .read("PAYLOAD", WordArg(), payload)
            .read_status(has_payload)
            .read("MAXLENGTH", s.maxlength)
            .read_status(has_maxlength)
            .read("NBYTES", nbytes)
            .read_status(has_nbytes)
            .read("ID", s.print_id)
            .read("TIMESTAMP", s.print_timestamp)
            .read("PAINT", s.print_paint)
            .read("TOS", s.print_tos)
            .read("TTL", s.print_ttl)
            .read("SWAP", swap)
            .read("LENGTH", s.print_length)
            .read("AGGREGATE", s.print_aggregate)
            .read("ACTIVE", active)
            .read("INTERVAL", SecondsArg(), interval)
            .read("OUTFILE", StringArg(), s.outfile)
            .read("CHANNEL", WordArg(), channel)
            .complete() < 0)
        return -1;
    if (has_contents && has_payload)
        return errh->error("specify at most one of PAYLOAD and CONTENTS");
    if (has_maxlength && has_nbytes)
        return errh->error("specify at most one of MAXLENGTH and NBYTES");
    if (has_nbytes)
        s.maxlength = nbytes;
    if (has_contents && !parse_contents(contents, &s.dump))
        return errh->error("bad contents value '%s'; should be 'NONE', 'HEX', or 'ASCII'", contents.c_str());
    if (has_payload) {
        if (!parse_payload(payload, &s.dump))
            return errh->error("bad payload value '%s'; should be 'false', 'hex', or 'ascii'", payload.c_str());
        s.payload_only = s.dump != DUMP_NONE;
    }
    if (!channel.empty() && channel != "default")
        return errh->error("CHANNEL %s: this host has only the default channel; use OUTFILE to write elsewhere",
                           channel.c_str());
    s.interval_ns = interval.nsecval();
    _s = s;
    _active = active;
    return 0;
}

int WIPPrint::initialize(ErrorHandler* errh) {
    if (!_s.outfile.empty()) {
        if (_s.outfile == "-")
            _out = stdout;
        else if (!(_out = std::fopen(_s.outfile.c_str(), "wb")))
            return errh->error("%s: %s", _s.outfile.c_str(), std::strerror(errno));
        else
            std::setvbuf(_out, nullptr, _IOLBF, 0);
    }
    _timer.initialize(this);
    if (_s.interval_ns > 0)
        _timer.schedule_after(Timestamp::make_nsec(_s.interval_ns));
    return 0;
}

void WIPPrint::cleanup(CleanupStage) {
    _timer.unschedule();
    if (_out && _out != stdout)
        std::fclose(_out);
    else if (_out)
        std::fflush(_out);
    _out = nullptr;
}

void WIPPrint::run_timer(Timer*) {
    _interval_open.store(true, std::memory_order_relaxed);
    _timer.reschedule_after(Timestamp::make_nsec(_s.interval_ns));
}

Packet* WIPPrint::simple_action(Packet* p) {
    if (!_active.load(std::memory_order_relaxed) || !p->has_network_header())
        return p;
    if (_s.interval_ns > 0 && !_interval_open.exchange(false, std::memory_order_relaxed))
        return p;
    // One buffer per thread: it grows to the longest line once, then lines
    // cost no allocation.
    thread_local std::string line;
    line.clear();
    unparse(p, line);
    write_line(line);
    return p;
}

void WIPPrint::write_line(std::string& line) {
    if (_out) {
        // One call per line: lines from several threads do not mix.
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), _out);
        return;
    }
    ErrorHandler::default_handler()->xmessage(ErrorHandler::e_info, line);
}

void WIPPrint::unparse(const Packet* p, std::string& out) const {
    if (!_s.label.empty()) {
        out += _s.label;
        out += ": ";
    }
    if (_s.print_timestamp) {
        out += p->timestamp_anno().unparse();
        out += ": ";
    }
    if (_s.print_aggregate) {
        out += '#';
        put_u(out, aggregate_anno(p));
    }
    if (_s.print_paint) {
        out += _s.print_aggregate ? "." : "paint ";
        put_u(out, paint_anno(p));
    }
    if (_s.print_aggregate || _s.print_paint)
        out += ": ";

    const uint8_t* ip = p->network_header();
    // The network header may sit in the headroom after a strip; it is still
    // inside the buffer. Beyond the data's end there is nothing to read.
    size_t avail = ip >= p->buffer() && ip <= p->end_data() ? size_t(p->end_data() - ip) : 0;
    if (avail < 20) {
        out += "truncated-ip";
    } else {
        if (_s.print_id) {
            out += "id ";
            put_u(out, be16(ip + 4));
            out += ' ';
        }
        if (_s.print_ttl) {
            out += "ttl ";
            put_u(out, ip[8]);
            out += ' ';
        }
        if (_s.print_tos) {
            out += "tos ";
            put_u(out, ip[1]);
            out += ' ';
        }
        if (_s.print_length) {
            out += "length ";
            put_u(out, be16(ip + 2));
            out += ' ';
        }
        unparse_transport(ip, avail, p, out);
    }

    if (_s.dump == DUMP_NONE)
        return;
    const uint8_t* from = p->data();
    const uint8_t* to = p->end_data();
    if (_s.payload_only) {
        if (avail < 20) {
            from = to;
        } else {
            // Everything below is bounded by the IP packet and the data present.
            size_t hl = size_t(ip[0] & 0x0F) * 4;
            size_t tot = be16(ip + 2);
            size_t end = std::min(avail, std::max(tot, hl));
            size_t start = std::min(hl, end);
            bool later_fragment = (be16(ip + 6) & IP_OFFMASK) != 0;
            size_t seg = end - start;
            if (!later_fragment && ip[9] == IPPROTO_TCP)
            {
                size_t doff = seg >= 13 ? size_t(ip[start + 12] >> 4) * 4 : 0;
                start += doff >= 20 ? std::min(doff, seg) : seg;
            }
            else if (!later_fragment && ip[9] == IPPROTO_UDP)
                start += std::min<size_t>(8, seg);
            from = std::max(ip + start, p->data());
            to = ip + end;
        }
    }
    dump(from, std::max(from, to), out);
}

void WIPPrint::unparse_transport(const uint8_t* ip, size_t avail, const Packet* p, std::string& out) const {
    size_t hl = size_t(ip[0] & 0x0F) * 4;
    if (hl < 20) {
        put_pair(out, ip);
        out += ": bad-hlen ";
        put_u(out, hl);
        return;
    }
    size_t tot = be16(ip + 2);
    size_t plen = tot > hl ? tot - hl : 0;       // IP payload length
    size_t present = avail > hl ? avail - hl : 0;  // transport bytes in the packet
    size_t a = std::min(present, plen);
    uint16_t frag = be16(ip + 6);
    bool later_fragment = (frag & IP_OFFMASK) != 0;
    const uint8_t* t = ip + hl;
    uint8_t proto = ip[9];

    if (proto == IPPROTO_TCP || proto == IPPROTO_UDP) {
        const char* name = proto == IPPROTO_TCP ? "tcp" : "udp";
        if (later_fragment || a < 4) {
            put_pair(out, ip);
            out += later_fragment ? ": " : ": truncated-";
            out += name;
        } else if (proto == IPPROTO_UDP) {
            put_ports(out, ip, t);
            if (a > 7) {
                out += "udp ";
                put_u(out, be16(t + 4));
            } else
                out += "truncated-udp";
        } else {
            put_ports(out, ip, t);
            size_t doff = a >= 14 ? size_t(t[12] >> 4) * 4 : 0;
            if (doff < 20 || doff > plen) {
                out += "truncated-tcp";
            } else {
                uint8_t flags = t[13];
                size_t seqlen = plen - doff;
                if (flags & TH_SYN)
                    out += 'S', ++seqlen;
                if (flags & TH_FIN)
                    out += 'F', ++seqlen;
                if (flags & TH_RST)
                    out += 'R';
                if (flags & TH_PUSH)
                    out += 'P';
                if (!(flags & (TH_SYN | TH_FIN | TH_RST | TH_PUSH)))
                    out += '.';
                uint32_t seq = be32(t + 4);
                out += ' ';
                put_u(out, seq);
                out += ':';
                put_u(out, uint32_t(seq + seqlen));
                out += '(';
                put_u(out, seqlen);
                out += ',';
                put_u(out, p->length());
                out += ',';
                put_u(out, tot);
                out += ')';
                if (flags & TH_ACK) {
                    out += " ack ";
                    put_u(out, be32(t + 8));
                }
                if (a > 15) {
                    out += " win ";
                    put_u(out, be16(t + 14));
                } else
                    out += " truncated-tcp";
            }
        }
    } else if (proto == IPPROTO_ICMP) {
        put_pair(out, ip);
        out += ": ";
        uint8_t type = a >= 2 ? t[0] : 0, code = a >= 2 ? t[1] : 0;
        if (later_fragment)
            out += "icmp";
        else if (a < 2 || ((type == 0 || type == 8) && a < 8))
            out += "truncated-icmp";
        else if (type == 0 || type == 8) {
            out += type == 8 ? "icmp echo id " : "icmp echo-reply id ";
            put_u(out, be16(t + 4));
            out += " seq ";
            put_u(out, be16(t + 6));
        } else if (type == 3) {
            out += "icmp unreachable ";
            if (const char* n = unreach_name(code))
                out += n;
            else
                put_u(out, code);
            if (code == 4 && a >= 8) {
                out += " (mtu ";
                put_u(out, be16(t + 6));
                out += ')';
            }
        } else {
            out += "icmp type ";
            put_u(out, type);
            out += " code ";
            put_u(out, code);
        }
    } else {
        put_pair(out, ip);
        out += ": ip-proto-";
        put_u(out, proto);
    }

    if (frag & (IP_MF | IP_OFFMASK)) {
        out += " (frag ";
        put_u(out, be16(ip + 4));
        out += ':';
        put_u(out, plen);
        out += '@';
        put_u(out, size_t(frag & IP_OFFMASK) * 8);
        if (frag & IP_MF)
            out += '+';
        out += ')';
    }
}

void WIPPrint::dump(const uint8_t* from, const uint8_t* to, std::string& out) const {
    size_t n = size_t(to - from);
    if (_s.maxlength >= 0)
        n = std::min(n, size_t(_s.maxlength));
    static const char hex[] = "0123456789abcdef";
    bool ascii = _s.dump == DUMP_ASCII;
    size_t per_line = ascii ? 48 : 24, per_group = ascii ? 8 : 4;
    for (size_t i = 0; i < n; ++i) {
        if (i % per_line == 0)
            out += "\n  ";
        else if (i % per_group == 0)
            out += ' ';
        uint8_t c = from[i];
        if (ascii)
            out += c >= 32 && c <= 126 ? char(c) : '.';
        else {
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

void WIPPrint::add_handlers() {
    add_read_handler("active", ReadHandlerFunction([this] { return std::string(_active ? "true" : "false"); }));
    add_write_handler("active", active_write_handler(_active));
}

QUILO_REGISTER_ELEMENT(WIPPrint);
