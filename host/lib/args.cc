#include <host/args.hh>
#include <host/confparse.hh>

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

Args::Args(ErrorHandler* errh) : errh_(errh) {}

Args::Args(const void* context, ErrorHandler* errh) : context_(context), errh_(errh) {}

Args::Args(const std::vector<std::string>& conf, ErrorHandler* errh) : errh_(errh) {
    for (const auto& a : conf)
        add_slot(a);
}

Args::Args(const std::vector<std::string>& conf, const void* context, ErrorHandler* errh)
    : context_(context), errh_(errh) {
    for (const auto& a : conf)
        add_slot(a);
}

Args& Args::blank() {
    thread_local Args blank_args(nullptr);
    blank_args.nerrors_ = 0;
    return blank_args;
}

Args& Args::bind(std::vector<std::string>& conf) {
    slots_.clear();
    next_positional_ = 0;
    for (const auto& a : conf)
        add_slot(a);
    bound_ = &conf;
    return *this;
}

Args& Args::push_back(const std::string& arg) {
    add_slot(arg);
    return *this;
}

Args& Args::push_back_args(const std::string& text) {
    for (const auto& a : cp_argvec(text))
        add_slot(a);
    return *this;
}

void Args::add_slot(const std::string& arg) {
    Slot s;
    s.raw = arg;
    std::string kw, rest;
    if (cp_keyword(arg, &kw, &rest)) {
        s.keyword = kw;
        s.value = rest;
    } else
        s.value = arg;
    slots_.push_back(std::move(s));
}

int Args::verror(const char* anno, const char* fmt, va_list val) {
    ErrorHandler* e = errh_ ? errh_ : ErrorHandler::silent_handler();
    std::string text = e->vformat(fmt, val);
    if (!cur_kw_.empty())
        text = cur_kw_ + ": " + text;
    return e->xmessage(anno, text);
}

int Args::error(const char* fmt, ...) {
    va_list val;
    va_start(val, fmt);
    verror(ErrorHandler::e_error, fmt, val);
    va_end(val);
    ++nerrors_;
    return -EINVAL;
}

int Args::warning(const char* fmt, ...) {
    va_list val;
    va_start(val, fmt);
    verror(ErrorHandler::e_warning_annotated, fmt, val);
    va_end(val);
    return 0;
}

void Args::parse_failed(int errors_before) {
    if (nerrors_ == errors_before)
        error("invalid value");
}

bool Args::find(const char* kw, int flags, std::string& value) {
    // A keyword argument (the last one given wins).
    int found = -1;
    if (kw && *kw)
        for (size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i].keyword == kw) {
                slots_[i].used = true;
                found = static_cast<int>(i);
            }
    if (found >= 0) {
        value = slots_[found].value;
        return true;
    }
    // The next positional argument.  Positional arguments come before the
    // keyword ones; an empty one counts as absent.
    if (flags & positional) {
        while (next_positional_ < slots_.size() && slots_[next_positional_].used)
            ++next_positional_;
        if (next_positional_ < slots_.size() && slots_[next_positional_].keyword.empty()) {
            Slot& s = slots_[next_positional_++];
            s.used = true;
            if (!s.value.empty()) {
                value = s.value;
                return true;
            }
        }
    }
    if (flags & mandatory) {
        ArgsKeywordScope scope(*this, nullptr);
        if (kw && *kw)
            error("missing mandatory %s argument", kw);
        else
            error("missing mandatory argument");
    }
    return false;
}

int Args::finish(bool complete) {
    if (complete) {
        ArgsKeywordScope scope(*this, nullptr);
        bool extra_positional = false;
        for (const Slot& s : slots_) {
            if (s.used)
                continue;
            if (!s.keyword.empty())
                error("unknown keyword %<%s%>", s.keyword.c_str());
            else if (!s.value.empty())
                extra_positional = true;
        }
        if (extra_positional)
            error("too many arguments");
    }
    finished_ = true;
    if (nerrors_)
        return -EINVAL;
    for (auto& c : commits_)
        c();
    commits_.clear();
    if (bound_) {
        std::vector<std::string> rest;
        for (const Slot& s : slots_)
            if (!s.used)
                rest.push_back(s.raw);
        *bound_ = rest;
    }
    return 0;
}

int Args::consume() {
    return finish(false);
}

int Args::complete() {
    return finish(true);
}

// ---- parsers ----

namespace {

std::string lower(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return r;
}

}  // namespace

bool IntArg::parse_raw(const std::string& str, int base, bool allow_negative, bool& neg, uint64_t& magnitude,
                       bool& overflow) {
    size_t i = 0, n = str.size();
    neg = false;
    overflow = false;
    magnitude = 0;
    if (i < n && (str[i] == '+' || str[i] == '-')) {
        neg = str[i] == '-';
        ++i;
    }
    if (neg && !allow_negative)
        return false;
    int b = base;
    if ((b == 0 || b == 16) && i + 1 < n && str[i] == '0' && (str[i + 1] == 'x' || str[i + 1] == 'X')) {
        b = 16;
        i += 2;
    } else if (b == 0)
        b = 10;
    if (b < 2 || b > 36 || i >= n)
        return false;
    for (; i < n; ++i) {
        unsigned char c = str[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (isalpha(c))
            d = tolower(c) - 'a' + 10;
        else if (c == '_' && i > 0 && isalnum(static_cast<unsigned char>(str[i - 1])) && i + 1 < n)
            continue;  // digit separator "1_000_000"
        else
            return false;
        if (d >= b)
            return false;
        if (magnitude > (UINT64_MAX - d) / b)
            overflow = true;
        else
            magnitude = magnitude * b + d;
    }
    if (neg && magnitude == 0)
        neg = false;
    return true;
}

bool BoolArg::parse(const std::string& str, bool& result, Args& args) const {
    std::string s = lower(str);
    if (s == "true" || s == "yes" || s == "on" || s == "1" || s == "t" || s == "y")
        result = true;
    else if (s == "false" || s == "no" || s == "off" || s == "0" || s == "f" || s == "n")
        result = false;
    else {
        args.error("expected boolean");
        return false;
    }
    return true;
}

bool DoubleArg::parse(const std::string& str, double& result, Args& args) const {
    if (str.empty() || cp_is_space(str[0])) {
        args.error("expected real number");
        return false;
    }
    errno = 0;
    char* end;
    double v = strtod(str.c_str(), &end);
    if (end != str.c_str() + str.size() || std::isnan(v)) {
        args.error("expected real number");
        return false;
    }
    if (errno == ERANGE && std::isinf(v)) {
        args.error("out of range");
        return false;
    }
    if (std::isinf(v)) {
        args.error("expected real number");
        return false;
    }
    result = v;
    return true;
}

bool DoubleArg::parse(const std::string& str, float& result, Args& args) const {
    double d;
    if (!parse(str, d, args))
        return false;
    if (std::fabs(d) > 3.4e38) {
        args.error("out of range");
        return false;
    }
    result = static_cast<float>(d);
    return true;
}

bool SecondsArg::parse_nsec(const std::string& str, int64_t& nsec, Args& args) const {
    size_t i = 0, n = str.size();
    __int128 whole = 0;
    std::string frac;
    bool digits = false;
    while (i < n && isdigit(static_cast<unsigned char>(str[i]))) {
        whole = whole * 10 + (str[i] - '0');
        if (whole > static_cast<__int128>(1) << 80)
            whole = static_cast<__int128>(1) << 80;  // clamp; overflow is reported below
        digits = true;
        ++i;
    }
    if (i < n && str[i] == '.') {
        ++i;
        while (i < n && isdigit(static_cast<unsigned char>(str[i]))) {
            if (frac.size() < 30)
                frac += str[i];
            digits = true;
            ++i;
        }
    }
    while (i < n && cp_is_space(str[i]))
        ++i;
    std::string unit = lower(str.substr(i));
    __int128 mult;
    if (unit.empty())
        mult = default_unit_nsec;
    else if (unit == "s" || unit == "sec" || unit == "secs" || unit == "second" || unit == "seconds")
        mult = 1000000000;
    else if (unit == "ms" || unit == "msec" || unit == "msecs")
        mult = 1000000;
    else if (unit == "us" || unit == "usec" || unit == "usecs")
        mult = 1000;
    else if (unit == "ns" || unit == "nsec" || unit == "nsecs")
        mult = 1;
    else if (unit == "m" || unit == "min" || unit == "mins" || unit == "minute" || unit == "minutes")
        mult = 60LL * 1000000000LL;
    else if (unit == "h" || unit == "hr" || unit == "hour" || unit == "hours")
        mult = 3600LL * 1000000000LL;
    else if (unit == "d" || unit == "day" || unit == "days")
        mult = 86400LL * 1000000000LL;
    else
        mult = -1;
    if (!digits || mult < 0) {
        args.error("expected time in %s", default_unit_nsec == 1000000 ? "milliseconds" : "seconds");
        return false;
    }
    __int128 total = whole * mult;
    __int128 scale = 1;
    __int128 f = 0;
    for (char c : frac) {
        f = f * 10 + (c - '0');
        scale *= 10;
    }
    total += f * mult / scale;
    if (total > INT64_MAX) {
        args.error("out of range");
        return false;
    }
    nsec = static_cast<int64_t>(total);
    return true;
}

bool IPAddressArg::parse(const std::string& str, IPAddress& result, Args& args) const {
    if (!IPAddress::parse(str, result)) {
        args.error("expected IP address");
        return false;
    }
    return true;
}

bool IPAddressArg::parse(const std::string& str, uint32_t& network_order, Args& args) const {
    IPAddress a;
    if (!parse(str, a, args))
        return false;
    network_order = a.addr();
    return true;
}

bool IPPrefixArg::parse(const std::string& str, IPAddress& addr, IPAddress& mask, Args& args) const {
    std::string a, m;
    size_t slash = str.find('/');
    bool have_mask = true;
    if (slash != std::string::npos) {
        a = str.substr(0, slash);
        m = str.substr(slash + 1);
    } else {
        std::vector<std::string> words = cp_spacevec(str);
        if (words.size() == 2) {
            a = words[0];
            m = words[1];
        } else if (words.size() == 1) {
            a = words[0];
            have_mask = false;
        } else {
            args.error("expected IP address prefix");
            return false;
        }
    }
    IPAddress ra, rm;
    if (!IPAddress::parse(a, ra) || (!have_mask && !allow_bare)) {
        args.error("expected IP address prefix");
        return false;
    }
    if (!have_mask)
        rm = IPAddress::make_broadcast();
    else if (!m.empty() && m.find('.') == std::string::npos) {
        bool neg, overflow;
        uint64_t len;
        if (!IntArg::parse_raw(m, 10, false, neg, len, overflow) || overflow || len > 32) {
            args.error("expected IP address prefix");
            return false;
        }
        rm = IPAddress::make_prefix(static_cast<int>(len));
    } else if (!IPAddress::parse(m, rm) || (slash != std::string::npos && rm.mask_to_prefix_len() < 0)) {
        args.error("expected IP address prefix");
        return false;
    }
    addr = ra;
    mask = rm;
    return true;
}

bool EtherAddressArg::parse(const std::string& str, EtherAddress& result, Args& args) const {
    if (!EtherAddress::parse(str, result)) {
        args.error("expected Ethernet address");
        return false;
    }
    return true;
}

bool IPPortArg::parse(const std::string& str, uint16_t& result, Args& args) const {
    static const struct {
        const char* name;
        uint16_t port;
    } services[] = {{"echo", 7}, {"discard", 9}, {"ftp-data", 20}, {"ftp", 21}, {"ssh", 22}, {"telnet", 23},
                    {"smtp", 25}, {"domain", 53}, {"dns", 53}, {"bootps", 67}, {"bootpc", 68}, {"tftp", 69},
                    {"http", 80}, {"www", 80}, {"pop3", 110}, {"ntp", 123}, {"imap", 143}, {"snmp", 161},
                    {"bgp", 179}, {"https", 443}, {"syslog", 514}};
    bool neg, overflow;
    uint64_t v;
    if (IntArg::parse_raw(str, 10, false, neg, v, overflow)) {
        if (overflow || v > 65535) {
            args.error("out of range");
            return false;
        }
        result = static_cast<uint16_t>(v);
        return true;
    }
    std::string s = lower(str);
    for (const auto& sv : services)
        if (s == sv.name) {
            result = sv.port;
            return true;
        }
    args.error("expected port number");
    return false;
}

bool IPProtocolArg::parse(const std::string& str, int& result, Args& args) const {
    static const struct {
        const char* name;
        int proto;
    } protos[] = {{"icmp", 1}, {"igmp", 2}, {"ipip", 4}, {"tcp", 6}, {"udp", 17}, {"ipv6", 41}, {"rsvp", 46},
                  {"gre", 47}, {"esp", 50}, {"ah", 51}, {"icmpv6", 58}, {"icmp6", 58}, {"sctp", 132},
                  {"udplite", 136}, {"dccp", 33}};
    bool neg, overflow;
    uint64_t v;
    if (IntArg::parse_raw(str, 10, false, neg, v, overflow)) {
        if (overflow || v > 255) {
            args.error("out of range");
            return false;
        }
        result = static_cast<int>(v);
        return true;
    }
    std::string s = lower(str);
    for (const auto& p : protos)
        if (s == p.name) {
            result = p.proto;
            return true;
        }
    args.error("expected IP protocol");
    return false;
}

bool AnnoArg::parse(const std::string& str, int& result, Args& args) const {
    static const struct {
        const char* name;
        int offset;
        int size;
    } names[] = {{"DST_IP", 0, 4}, {"DST_IP_ANNO", 0, 4}, {"PAINT", 16, 1}, {"PAINT_ANNO", 16, 1},
                 {"VLAN_TCI", 20, 2}, {"VLAN_TCI_ANNO", 20, 2}};
    if (size <= 0 || size > anno_size) {
        args.error("bad annotation size %d", size);
        return false;
    }
    bool neg, overflow;
    uint64_t v;
    int offset = -1;
    if (IntArg::parse_raw(str, 0, false, neg, v, overflow)) {
        if (overflow || v > static_cast<uint64_t>(anno_size)) {
            args.error("annotation offset out of range");
            return false;
        }
        offset = static_cast<int>(v);
    } else {
        for (const auto& n : names)
            if (str == n.name) {
                if (n.size != size) {
                    args.error("annotation %<%s%> has size %d, not %d", n.name, n.size, size);
                    return false;
                }
                offset = n.offset;
            }
        if (offset < 0) {
            args.error("expected annotation offset");
            return false;
        }
    }
    if (offset + size > anno_size) {
        args.error("annotation offset out of range (%d-byte annotations fit at 0 to %d)", size, anno_size - size);
        return false;
    }
    result = offset;
    return true;
}

bool WordArg::parse(const std::string& str, std::string& result, Args& args) const {
    std::vector<std::string> words = cp_spacevec(str);
    if (words.size() != 1 || words[0] != str) {
        args.error("expected word");
        return false;
    }
    result = cp_unquote(str);
    return true;
}

bool StringArg::parse(const std::string& str, std::string& result, Args& args) const {
    // Every quote must be closed.
    size_t i = 0, n = str.size();
    while (i < n) {
        char c = str[i];
        if (c == '"' || c == '\'') {
            size_t j = i + 1;
            while (j < n && str[j] != c) {
                if (c == '"' && str[j] == '\\')
                    ++j;
                ++j;
            }
            if (j >= n) {
                args.error("unterminated string");
                return false;
            }
            i = j + 1;
        } else
            ++i;
    }
    result = cp_unquote(str);
    return true;
}
