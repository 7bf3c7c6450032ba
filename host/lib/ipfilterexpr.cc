// Parser and matcher of the IPClassifier / IPFilter expression language.
#include "ipfilterexpr.hh"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>

namespace ipfilter {

namespace {

constexpr int kMaxDepth = 64;

struct Tok {
    enum Type { Word, LParen, RParen, And, Or, Not, Rel, End } type = End;
    std::string text;       // lower-cased for words
    size_t pos = 0;
    FieldTest::Op rel = FieldTest::Eq;
};

bool word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/' || c == '-' || c == '_' || c == ':';
}

bool tokenize(const std::string& s, std::vector<Tok>& out, ParseError* err) {
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) { ++i; continue; }
        Tok t;
        t.pos = i;
        if (c == '(') { t.type = Tok::LParen; ++i; }
        else if (c == ')') { t.type = Tok::RParen; ++i; }
        else if (c == '&' && i + 1 < s.size() && s[i + 1] == '&') { t.type = Tok::And; i += 2; }
        else if (c == '|' && i + 1 < s.size() && s[i + 1] == '|') { t.type = Tok::Or; i += 2; }
        else if (c == '!' && i + 1 < s.size() && s[i + 1] == '=') { t.type = Tok::Rel; t.rel = FieldTest::Ne; i += 2; }
        else if (c == '!') { t.type = Tok::Not; ++i; }
        else if (c == '=') { t.type = Tok::Rel; t.rel = FieldTest::Eq; i += (i + 1 < s.size() && s[i + 1] == '=') ? 2 : 1; }
        else if (c == '<' || c == '>') {
            t.type = Tok::Rel;
            bool eq = i + 1 < s.size() && s[i + 1] == '=';
            t.rel = c == '<' ? (eq ? FieldTest::Le : FieldTest::Lt) : (eq ? FieldTest::Ge : FieldTest::Gt);
            i += eq ? 2 : 1;
        } else if (word_char(c)) {
            size_t j = i;
            while (j < s.size() && word_char(s[j])) ++j;
            t.text = s.substr(i, j - i);
            for (auto& ch : t.text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            i = j;
            if (t.text == "and") t.type = Tok::And;
            else if (t.text == "or") t.type = Tok::Or;
            else if (t.text == "not") t.type = Tok::Not;
            else t.type = Tok::Word;
        } else {
            err->pos = i;
            err->message = std::string("unexpected character '") + c + "'";
            return false;
        }
        out.push_back(std::move(t));
    }
    Tok end;
    end.type = Tok::End;
    end.pos = s.size();
    out.push_back(end);
    return true;
}

struct NamedValue { const char* name; uint32_t value; };

const NamedValue kProtocols[] = {
    {"icmp", 1}, {"igmp", 2}, {"ipip", 4}, {"tcp", 6}, {"udp", 17}, {"gre", 47},
    {"esp", 50}, {"ah", 51}, {"icmp6", 58}, {"sctp", 132},
};
const NamedValue kPorts[] = {
    {"ftp-data", 20}, {"ftp", 21}, {"ssh", 22}, {"telnet", 23}, {"smtp", 25}, {"domain", 53},
    {"dns", 53}, {"bootps", 67}, {"bootpc", 68}, {"tftp", 69}, {"www", 80}, {"http", 80},
    {"pop3", 110}, {"sunrpc", 111}, {"ntp", 123}, {"imap", 143}, {"snmp", 161}, {"bgp", 179},
    {"ldap", 389}, {"https", 443}, {"syslog", 514}, {"submission", 587}, {"imaps", 993},
    {"pop3s", 995}, {"openvpn", 1194}, {"mysql", 3306}, {"rdp", 3389}, {"sip", 5060},
};
const NamedValue kIcmpTypes[] = {
    {"echo-reply", 0}, {"unreachable", 3}, {"sourcequench", 4}, {"redirect", 5}, {"echo", 8},
    {"routeradvert", 9}, {"routersolicit", 10}, {"timxceed", 11}, {"time-exceeded", 11},
    {"paramprob", 12}, {"parameter-problem", 12}, {"timestamp", 13}, {"timestamp-reply", 14},
    {"inforeq", 15}, {"inforeq-reply", 16}, {"maskreq", 17}, {"maskreq-reply", 18},
};
const NamedValue kTcpFlags[] = {
    {"fin", 0x01}, {"syn", 0x02}, {"rst", 0x04}, {"psh", 0x08}, {"ack", 0x10}, {"urg", 0x20},
};

template <size_t N>
bool lookup(const NamedValue (&table)[N], const std::string& w, uint32_t& v) {
    for (const auto& e : table)
        if (w == e.name) { v = e.value; return true; }
    return false;
}

bool parse_uint(const std::string& w, uint32_t max, uint32_t& v) {
    if (w.empty()) return false;
    uint64_t x = 0;
    size_t i = 0;
    int base = 10;
    if (w.size() > 2 && w[0] == '0' && w[1] == 'x') { base = 16; i = 2; }
    for (; i < w.size(); ++i) {
        int d;
        char c = w[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return false;
        x = x * base + d;
        if (x > max) return false;
    }
    v = static_cast<uint32_t>(x);
    return true;
}

bool parse_ip(const std::string& w, uint32_t& host_order) {
    in_addr a;
    if (w.empty() || !std::isdigit(static_cast<unsigned char>(w[0])) || inet_pton(AF_INET, w.c_str(), &a) != 1)
        return false;
    host_order = ntohl(a.s_addr);
    return true;
}

enum class Proto { None, Ip, Tcp, Udp, Icmp };
enum class Dir { None, Src, Dst, SrcOrDst, SrcAndDst };
enum class Type { None, Host, Net, Port, IpField, IcmpType, TcpOpt, Proto };

struct IpField { const char* name; uint16_t offset; uint8_t width; uint32_t mask; uint8_t shift; uint32_t max; };
const IpField kIpFields[] = {
    {"vers", 0, 1, 0xF0, 4, 15}, {"hl", 0, 1, 0x0F, 0, 15}, {"tos", 1, 1, 0xFF, 0, 255},
    {"dscp", 1, 1, 0xFC, 2, 63}, {"len", 2, 2, 0xFFFF, 0, 65535}, {"id", 4, 2, 0xFFFF, 0, 65535},
    {"ttl", 8, 1, 0xFF, 0, 255},
};

const IpField* find_ip_field(const std::string& w) {
    for (const auto& f : kIpFields)
        if (w == f.name) return &f;
    return nullptr;
}

struct Qual {
    Proto proto = Proto::None;
    Dir dir = Dir::None;
    Type type = Type::None;
    const IpField* field = nullptr;
};

class Parser {
  public:
    Parser(std::vector<Tok>& toks, Expr& e, ParseError* err) : toks_(toks), e_(e), err_(err) {}

    bool run() {
        uint32_t root;
        if (toks_[0].type == Tok::End) return fail(0, "empty pattern");
        if (!parse_or(root)) return false;
        if (peek().type == Tok::RParen) return fail(peek().pos, "unexpected ')'");
        if (peek().type != Tok::End) return fail(peek().pos, "unexpected '" + describe(peek()) + "'");
        e_.root_ = root;
        return true;
    }

  private:
    std::vector<Tok>& toks_;
    Expr& e_;
    ParseError* err_;
    size_t i_ = 0;
    int depth_ = 0;
    bool have_last_ = false;
    Qual last_;

    const Tok& peek(size_t k = 0) const { return toks_[std::min(i_ + k, toks_.size() - 1)]; }
    const Tok& next() { const Tok& t = toks_[i_]; if (i_ + 1 < toks_.size()) ++i_; return t; }
    bool peek_word(const char* w, size_t k = 0) const { return peek(k).type == Tok::Word && peek(k).text == w; }

    static std::string describe(const Tok& t) {
        switch (t.type) {
        case Tok::Word: return t.text;
        case Tok::LParen: return "(";
        case Tok::RParen: return ")";
        case Tok::And: return "and";
        case Tok::Or: return "or";
        case Tok::Not: return "not";
        case Tok::Rel: return "relation";
        case Tok::End: return "end of pattern";
        }
        return "?";
    }

    bool fail(size_t pos, std::string msg) {
        err_->pos = pos;
        err_->message = std::move(msg);
        return false;
    }
    bool fail_expected(const char* what) {
        const Tok& t = peek();
        if (t.type == Tok::End) return fail(t.pos, std::string("expected ") + what + ", got end of pattern");
        return fail(t.pos, std::string("expected ") + what + ", got '" + describe(t) + "'");
    }

    // Node builders.
    uint32_t add_node(Node n) { e_.nodes_.push_back(n); return static_cast<uint32_t>(e_.nodes_.size() - 1); }
    uint32_t mk_const(bool v) { Node n; n.kind = v ? Node::True : Node::False; return add_node(n); }
    uint32_t mk_test(const FieldTest& t) {
        e_.tests_.push_back(t);
        Node n;
        n.kind = Node::Test;
        n.first = static_cast<uint32_t>(e_.tests_.size() - 1);
        return add_node(n);
    }
    uint32_t mk_list(Node::Kind k, const std::vector<uint32_t>& kids) {
        if (kids.size() == 1) return kids[0];
        Node n;
        n.kind = k;
        n.first = static_cast<uint32_t>(e_.children_.size());
        n.count = static_cast<uint32_t>(kids.size());
        e_.children_.insert(e_.children_.end(), kids.begin(), kids.end());
        return add_node(n);
    }
    uint32_t mk_not(uint32_t x) {
        Node n;
        n.kind = Node::Not;
        n.first = static_cast<uint32_t>(e_.children_.size());
        n.count = 1;
        e_.children_.push_back(x);
        return add_node(n);
    }
    static FieldTest ip_test(uint16_t off, uint8_t width, uint32_t value, uint32_t mask = 0xFFFFFFFFu) {
        FieldTest t;
        t.base = FieldTest::Ip;
        t.offset = off;
        t.width = width;
        t.value = value;
        t.mask = mask;
        return t;
    }
    uint32_t mk_proto(uint32_t p) { return mk_test(ip_test(9, 1, p)); }

    bool parse_or(uint32_t& out) {
        std::vector<uint32_t> kids;
        uint32_t x;
        if (!parse_and(x)) return false;
        kids.push_back(x);
        while (peek().type == Tok::Or) {
            next();
            if (!parse_and(x)) return false;
            kids.push_back(x);
        }
        out = mk_list(Node::Or, kids);
        return true;
    }

    bool starts_term(const Tok& t) const {
        return t.type == Tok::Word || t.type == Tok::LParen || t.type == Tok::Not || t.type == Tok::Rel;
    }

    bool parse_and(uint32_t& out) {
        std::vector<uint32_t> kids;
        uint32_t x;
        if (!parse_unary(x)) return false;
        kids.push_back(x);
        for (;;) {
            if (peek().type == Tok::And) next();
            else if (!starts_term(peek())) break;
            if (!parse_unary(x)) return false;
            kids.push_back(x);
        }
        out = mk_list(Node::And, kids);
        return true;
    }

    bool parse_unary(uint32_t& out) {
        const Tok& t = peek();
        if (t.type == Tok::Not || t.type == Tok::LParen) {
            if (++depth_ > kMaxDepth) return fail(t.pos, "expression nested too deeply");
            next();
            uint32_t x;
            if (t.type == Tok::Not) {
                if (!parse_unary(x)) return false;
                out = mk_not(x);
            } else {
                if (!parse_or(x)) return false;
                if (peek().type != Tok::RParen) return fail_expected("')'");
                next();
                out = x;
            }
            --depth_;
            return true;
        }
        if (t.type == Tok::End) return fail(t.pos, "unexpected end of pattern");
        if (t.type != Tok::Word && t.type != Tok::Rel) return fail(t.pos, "unexpected '" + describe(t) + "'");
        return parse_primitive(out);
    }

    static bool looks_like_value(const Tok& t) {
        return t.type == Tok::Rel || (t.type == Tok::Word && std::isdigit(static_cast<unsigned char>(t.text[0])));
    }

    bool parse_dir(Qual& q) {
        if (!(peek_word("src") || peek_word("dst"))) return true;
        bool src = next().text == "src";
        q.dir = src ? Dir::Src : Dir::Dst;
        // "src or dst" / "src and dst" as one qualifier: only when the other
        // direction word follows directly.
        const Tok& op = peek();
        if ((op.type == Tok::Or || op.type == Tok::And) && peek_word(src ? "dst" : "src", 1)) {
            q.dir = op.type == Tok::Or ? Dir::SrcOrDst : Dir::SrcAndDst;
            next();
            next();
        }
        return true;
    }

    bool parse_primitive(uint32_t& out) {
        const Tok& t0 = peek();
        if (t0.type == Tok::Word) {
            const std::string& w = t0.text;
            if (w == "true" || w == "-" || w == "any" || w == "all") { next(); out = mk_const(true); return true; }
            if (w == "false" || w == "none") { next(); out = mk_const(false); return true; }
        }
        if (looks_like_value(t0)) {
            // A bare value: reuse the previous primitive's qualifiers, or infer
            // host/net from an address.
            Qual q;
            if (have_last_) q = last_;
            else if (t0.type == Tok::Word && t0.text.find('/') != std::string::npos) q.type = Type::Net;
            else if (t0.type == Tok::Word && t0.text.find('.') != std::string::npos) q.type = Type::Host;
            else return fail(t0.pos, "value '" + describe(t0) + "' without 'host', 'net' or 'port'");
            return parse_value(q, out);
        }
        Qual q;
        uint32_t flag;
        if (peek_word("ip")) { next(); q.proto = Proto::Ip; }
        else if (peek_word("tcp")) { next(); q.proto = Proto::Tcp; }
        else if (peek_word("udp")) { next(); q.proto = Proto::Udp; }
        else if (peek_word("icmp")) { next(); q.proto = Proto::Icmp; }
        else if (peek(0).type == Tok::Word && lookup(kTcpFlags, peek(0).text, flag)) {
            // bare "syn", "ack", ...: TCP flag tests
            q.proto = Proto::Tcp;
            q.type = Type::TcpOpt;
            return parse_value(q, out);
        }

        if (q.proto == Proto::Ip) {
            if (peek_word("frag") || peek_word("unfrag")) {
                bool frag = next().text == "frag";
                FieldTest t = ip_test(6, 2, 0, 0x3FFF);
                t.op = frag ? FieldTest::Ne : FieldTest::Eq;
                out = mk_test(t);
                have_last_ = false;
                return true;
            }
            if (peek(0).type == Tok::Word) {
                if (const IpField* f = find_ip_field(peek(0).text)) {
                    next();
                    q.type = Type::IpField;
                    q.field = f;
                    return parse_value(q, out);
                }
            }
        }
        if (q.proto == Proto::Tcp && (peek_word("opt") || (peek(0).type == Tok::Word && lookup(kTcpFlags, peek(0).text, flag)))) {
            if (peek_word("opt")) next();
            q.type = Type::TcpOpt;
            return parse_value(q, out);
        }
        if (q.proto == Proto::Icmp && peek_word("type")) {
            next();
            q.type = Type::IcmpType;
            return parse_value(q, out);
        }
        if ((q.proto == Proto::None || q.proto == Proto::Ip) && peek_word("proto")) {
            next();
            q.type = Type::Proto;
            return parse_value(q, out);
        }
        if (!parse_dir(q)) return false;
        if (peek_word("host")) { next(); q.type = Type::Host; }
        else if (peek_word("net")) { next(); q.type = Type::Net; }
        else if (peek_word("port")) { next(); q.type = Type::Port; }

        if (q.type == Type::None) {
            if (q.dir != Dir::None) {
                // "src 10.0.0.1", "dst 10.0.0.0/8"
                const Tok& v = peek();
                if (v.type == Tok::Word && v.text.find('/') != std::string::npos) q.type = Type::Net;
                else if (v.type == Tok::Word && v.text.find('.') != std::string::npos) q.type = Type::Host;
                else return fail_expected("'host', 'net' or 'port'");
                return parse_value(q, out);
            }
            if (q.proto == Proto::None) {
                return fail(peek().pos, "unknown word '" + describe(peek()) + "'");
            }
            // "tcp", "udp", "icmp", "ip" alone
            static const uint32_t protos[] = {0, 0, 6, 17, 1};
            out = q.proto == Proto::Ip ? mk_const(true) : mk_proto(protos[static_cast<int>(q.proto)]);
            have_last_ = false;
            return true;
        }
        if (q.proto == Proto::Icmp && q.type == Type::Port) return fail(t0.pos, "'icmp' has no ports");
        if (q.proto != Proto::None && q.proto != Proto::Ip && q.type != Type::Port)
            return fail(t0.pos, "'" + t0.text + "' cannot qualify 'host' or 'net'");
        return parse_value(q, out);
    }

    bool parse_number(const Qual& q, uint32_t max, uint32_t& v) {
        const Tok& t = peek();
        if (t.type != Tok::Word) return fail_expected(q.type == Type::Port ? "port" : "number");
        bool ok = parse_uint(t.text, max, v);
        if (!ok && q.type == Type::Port) ok = lookup(kPorts, t.text, v);
        if (!ok && q.type == Type::Proto) ok = lookup(kProtocols, t.text, v);
        if (!ok && q.type == Type::IcmpType) ok = lookup(kIcmpTypes, t.text, v);
        if (!ok) {
            const char* what = q.type == Type::Port ? "port" : q.type == Type::Proto ? "IP protocol"
                : q.type == Type::IcmpType ? "ICMP type" : "number";
            return fail(t.pos, std::string("expected ") + what + " (0-" + std::to_string(max) + "), got '" + t.text + "'");
        }
        next();
        return true;
    }

    // Field test(s) with the direction applied: Src reads at src_off, Dst at
    // dst_off. "!=" negates the whole test ("host != A": neither address is A).
    uint32_t mk_dir(Dir d, FieldTest t, uint16_t src_off, uint16_t dst_off) {
        bool neg = t.op == FieldTest::Ne;
        if (neg) t.op = FieldTest::Eq;
        FieldTest a = t, b = t;
        a.offset = src_off;
        b.offset = dst_off;
        uint32_t r;
        switch (d) {
        case Dir::Src: r = mk_test(a); break;
        case Dir::Dst: r = mk_test(b); break;
        case Dir::SrcAndDst: r = mk_list(Node::And, {mk_test(a), mk_test(b)}); break;
        default: r = mk_list(Node::Or, {mk_test(a), mk_test(b)}); break;
        }
        return neg ? mk_not(r) : r;
    }

    bool parse_value(Qual q, uint32_t& out) {
        FieldTest::Op op = FieldTest::Eq;
        size_t vpos = peek().pos;
        if (peek().type == Tok::Rel) op = next().rel;
        FieldTest t;
        t.op = op;
        switch (q.type) {
        case Type::Host: {
            if (op != FieldTest::Eq && op != FieldTest::Ne) return fail(vpos, "only '=' and '!=' apply to addresses");
            uint32_t a;
            if (peek().type != Tok::Word || !parse_ip(peek().text, a)) return fail_expected("IP address");
            next();
            t = ip_test(0, 4, a);
            t.op = op;
            out = mk_dir(q.dir, t, 12, 16);
            break;
        }
        case Type::Net: {
            if (op != FieldTest::Eq && op != FieldTest::Ne) return fail(vpos, "only '=' and '!=' apply to networks");
            if (peek().type != Tok::Word) return fail_expected("network");
            std::string w = peek().text;
            size_t wpos = peek().pos;
            uint32_t a, mask;
            size_t slash = w.find('/');
            if (slash != std::string::npos) {
                uint32_t len;
                if (!parse_ip(w.substr(0, slash), a)) return fail(wpos, "expected network address, got '" + w + "'");
                std::string m = w.substr(slash + 1);
                if (parse_uint(m, 32, len)) mask = len == 0 ? 0 : ~0u << (32 - len);
                else if (!parse_ip(m, mask)) return fail(wpos, "bad prefix length in '" + w + "'");
                next();
            } else {
                if (!parse_ip(w, a)) return fail(wpos, "expected network address, got '" + w + "'");
                next();
                if (!peek_word("mask")) return fail_expected("'/LEN' or 'mask'");
                next();
                if (peek().type != Tok::Word || !parse_ip(peek().text, mask)) return fail_expected("netmask");
                next();
            }
            t = ip_test(0, 4, a & mask, mask);
            t.op = op;
            out = mk_dir(q.dir, t, 12, 16);
            break;
        }
        case Type::Port: {
            uint32_t lo, hi;
            const Tok& v = peek();
            size_t dash = v.type == Tok::Word ? v.text.find('-', 1) : std::string::npos;
            if (dash != std::string::npos && std::isdigit(static_cast<unsigned char>(v.text[0]))) {
                if (op != FieldTest::Eq) return fail(v.pos, "a range takes no relation");
                if (!parse_uint(v.text.substr(0, dash), 65535, lo) || !parse_uint(v.text.substr(dash + 1), 65535, hi) || lo > hi)
                    return fail(v.pos, "bad port range '" + v.text + "'");
                next();
                t.op = FieldTest::Range;
            } else {
                if (!parse_number(q, 65535, lo)) return false;
                hi = lo;
            }
            t.base = FieldTest::Transport;
            t.width = 2;
            t.mask = 0xFFFF;
            t.value = lo;
            t.value2 = hi;
            uint32_t ports = mk_dir(q.dir, t, 0, 2);
            uint32_t proto;
            if (q.proto == Proto::Tcp) proto = mk_proto(6);
            else if (q.proto == Proto::Udp) proto = mk_proto(17);
            else proto = mk_list(Node::Or, {mk_proto(6), mk_proto(17), mk_proto(132)});
            out = mk_list(Node::And, {proto, ports});
            break;
        }
        case Type::TcpOpt: {
            if (op != FieldTest::Eq) return fail(vpos, "TCP flags take no relation");
            uint32_t f;
            if (peek().type != Tok::Word || !lookup(kTcpFlags, peek().text, f))
                return fail_expected("TCP flag (syn, ack, fin, rst, psh, urg)");
            next();
            t = FieldTest();
            t.base = FieldTest::Transport;
            t.offset = 13;
            t.width = 1;
            t.mask = f;
            t.op = FieldTest::Ne;
            t.value = 0;
            out = mk_list(Node::And, {mk_proto(6), mk_test(t)});
            break;
        }
        case Type::IcmpType: {
            uint32_t v;
            if (!parse_number(q, 255, v)) return false;
            t.base = FieldTest::Transport;
            t.offset = 0;
            t.width = 1;
            t.mask = 0xFF;
            t.value = v;
            out = mk_list(Node::And, {mk_proto(1), mk_test(t)});
            break;
        }
        case Type::Proto: {
            uint32_t v;
            if (!parse_number(q, 255, v)) return false;
            t = ip_test(9, 1, v);
            t.op = op;
            out = mk_test(t);
            break;
        }
        case Type::IpField: {
            uint32_t v;
            if (!parse_number(q, q.field->max, v)) return false;
            t = ip_test(q.field->offset, q.field->width, v, q.field->mask);
            t.shift = q.field->shift;
            t.op = op;
            out = mk_test(t);
            break;
        }
        case Type::None:
            return fail(vpos, "missing 'host', 'net' or 'port'");
        }
        have_last_ = true;
        last_ = q;
        return true;
    }
};

}  // namespace

bool test_field(const FieldTest& t, const uint8_t* ip, size_t len) {
    size_t base = 0;
    if (t.base == FieldTest::Transport) {
        if (len < 20) return false;
        size_t ihl = static_cast<size_t>(ip[0] & 0x0F) * 4;
        if (ihl < 20) return false;
        if (((ip[6] << 8) | ip[7]) & 0x1FFF) return false;   // not the first fragment
        base = ihl;
    }
    size_t off = base + t.offset;
    if (off + t.width > len) return false;
    uint32_t v = ip[off];
    for (int k = 1; k < t.width; ++k) v = (v << 8) | ip[off + k];
    v = (v & t.mask) >> t.shift;
    switch (t.op) {
    case FieldTest::Eq: return v == t.value;
    case FieldTest::Ne: return v != t.value;
    case FieldTest::Lt: return v < t.value;
    case FieldTest::Gt: return v > t.value;
    case FieldTest::Le: return v <= t.value;
    case FieldTest::Ge: return v >= t.value;
    case FieldTest::Range: return v >= t.value && v <= t.value2;
    }
    return false;
}

bool Expr::eval(uint32_t n, const uint8_t* ip, size_t len) const {
    const Node& node = nodes_[n];
    switch (node.kind) {
    case Node::True: return true;
    case Node::False: return false;
    case Node::Test: return test_field(tests_[node.first], ip, len);
    case Node::And:
        for (uint32_t k = 0; k < node.count; ++k)
            if (!eval(children_[node.first + k], ip, len)) return false;
        return true;
    case Node::Or:
        for (uint32_t k = 0; k < node.count; ++k)
            if (eval(children_[node.first + k], ip, len)) return true;
        return false;
    case Node::Not: return !eval(children_[node.first], ip, len);
    }
    return false;
}

bool parse_expr(const std::string& text, Expr& out, ParseError* err) {
    ParseError local;
    if (!err) err = &local;
    out = Expr();
    std::vector<Tok> toks;
    if (!tokenize(text, toks, err)) return false;
    Parser p(toks, out, err);
    if (!p.run()) {
        out = Expr();
        return false;
    }
    return true;
}

bool parse_filter_rule(const std::string& text, int& output, Expr& out, ParseError* err) {
    ParseError local;
    if (!err) err = &local;
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    size_t j = i;
    while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
    std::string action = text.substr(i, j - i);
    uint32_t n;
    if (action == "allow") output = 0;
    else if (action == "deny" || action == "drop") output = -1;
    else if (parse_uint(action, 1u << 20, n)) output = static_cast<int>(n);
    else {
        err->pos = i;
        err->message = action.empty() ? "missing action (allow, deny, drop or an output number)"
                                      : "unknown action '" + action + "' (allow, deny, drop or an output number)";
        return false;
    }
    std::string rest = text.substr(j);
    bool blank = rest.find_first_not_of(" \t\r\n") == std::string::npos;
    if (blank) {
        // "allow" alone matches everything.
        parse_expr("true", out, err);
        return true;
    }
    if (!parse_expr(rest, out, err)) {
        err->pos += j;
        return false;
    }
    return true;
}

std::string describe_error(int pattern_index, const std::string& text, const ParseError& e) {
    return "pattern " + std::to_string(pattern_index) + " '" + text + "', position " + std::to_string(e.pos + 1) +
           ": " + e.message;
}

}  // namespace ipfilter
