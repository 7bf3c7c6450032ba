// The router configuration parser: declarations, connections, require(),
// define() and compound element classes.  It never stops at the first
// error: each bad statement is reported with its landmark and skipped, and
// parsing goes on.
//
// Compound classes.  "elementclass NAME { ... }" is read where it stands:
// its definitions (separated by "||"), their parameters, and the text of
// each body, whose syntax is checked at once with the parameters bound to
// empty strings (so errors show once, even in a class nobody uses).  An
// element of a compound class is expanded when the scope that declares it
// has been read, so that the definition can be chosen by the arguments and
// by the ports the scope connects: the body is parsed again with the actual
// arguments, its elements are named "INSTANCE/NAME", and its "input" and
// "output" pseudo-elements become tunnels.  When everything is expanded,
// each tunnel is replaced by direct connections from whatever enters one of
// its ports to whatever leaves the same port.
#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

namespace {

enum TokType { T_EOF, T_IDENT, T_COLONS, T_ARROW, T_LBRACK, T_RBRACK, T_LPAREN, T_RPAREN, T_COMMA, T_SEMI,
               T_LBRACE, T_RBRACE, T_VAR, T_BAR, T_BARBAR, T_OTHER };

struct Token {
    TokType type = T_EOF;
    std::string text;
    int line = 1;
    size_t pos = 0;   // offset of its first byte in the text
};

bool ident_start(unsigned char c) {
    return isalpha(c) || c == '_' || c == '@';
}

bool ident_char(unsigned char c) {
    return isalnum(c) || c == '_' || c == '@' || c == '/';
}

class Lexer {
 public:
    // `first_line`: the line the text starts on (a compound body is lexed
    // on its own, with the lines of the file it comes from).
    explicit Lexer(const std::string& s, int first_line = 1) : s_(s), line_(first_line), last_line_(first_line) {
        if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0)
            pos_ = 3;  // a UTF-8 byte order mark from an editor
    }

    // Lookahead beyond one token: mark(), read on, reset().
    struct Mark {
        size_t pos, ntaken;
        int line, last_line;
        Token peek;
        bool has_peek;
    };
    Mark mark() const { return {pos_, ntaken_, line_, last_line_, peek_, has_peek_}; }
    void reset(const Mark& m) {
        pos_ = m.pos;
        ntaken_ = m.ntaken;
        line_ = m.line;
        last_line_ = m.last_line;
        peek_ = m.peek;
        has_peek_ = m.has_peek;
    }

    // Where the next token starts (a peeked one included), or where the
    // text after the last token taken starts: offset and line.
    size_t here() const { return has_peek_ ? peek_.pos : pos_; }
    int here_line() const { return has_peek_ ? peek_.line : line_; }

    const Token& peek() {
        if (!has_peek_) {
            peek_ = lex();
            has_peek_ = true;
        }
        return peek_;
    }

    Token next() {
        peek();
        has_peek_ = false;
        if (peek_.type != T_EOF)
            ++ntaken_;
        return peek_;
    }

    // Tokens taken so far (the parser uses it to guarantee progress).
    size_t ntaken() const { return ntaken_; }

    // After a '(' token has been taken with next(): reads the text up to the
    // matching ')' (quotes and comments respected).  False if unterminated.
    bool read_config(std::string& out) {
        size_t start = pos_;
        int depth = 1;
        size_t n = s_.size();
        while (pos_ < n) {
            char c = s_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (c == '"' || c == '\'') {
                ++pos_;
                while (pos_ < n && s_[pos_] != c) {
                    if (s_[pos_] == '\\' && c == '"' && pos_ + 1 < n) {
                        if (s_[pos_ + 1] == '\n')
                            ++line_;
                        ++pos_;
                    } else if (s_[pos_] == '\n')
                        ++line_;
                    ++pos_;
                }
                if (pos_ < n)
                    ++pos_;
            } else if (c == '/' && pos_ + 1 < n && s_[pos_ + 1] == '/') {
                while (pos_ < n && s_[pos_] != '\n')
                    ++pos_;
            } else if (c == '/' && pos_ + 1 < n && s_[pos_ + 1] == '*') {
                pos_ += 2;
                while (pos_ < n && !(s_[pos_] == '*' && pos_ + 1 < n && s_[pos_ + 1] == '/')) {
                    if (s_[pos_] == '\n')
                        ++line_;
                    ++pos_;
                }
                pos_ = pos_ < n ? pos_ + 2 : n;
            } else if (c == '(') {
                ++depth;
                ++pos_;
            } else if (c == ')') {
                if (--depth == 0) {
                    out = s_.substr(start, pos_ - start);
                    ++pos_;
                    return true;
                }
                ++pos_;
            } else
                ++pos_;
        }
        out = s_.substr(start);
        return false;
    }

    // Skips a balanced "{ ... }" block whose '{' was just taken.
    void skip_block() {
        int depth = 1;
        while (depth > 0) {
            Token t = next();
            if (t.type == T_EOF)
                return;
            if (t.type == T_LBRACE)
                ++depth;
            else if (t.type == T_RBRACE)
                --depth;
            else if (t.type == T_LPAREN) {
                std::string ignore;
                read_config(ignore);
            }
        }
    }

    int line() const { return line_; }

 private:
    const std::string& s_;
    size_t pos_ = 0;
    int line_;
    int last_line_;
    size_t ntaken_ = 0;
    Token peek_;
    bool has_peek_ = false;

    void skip_space() {
        size_t n = s_.size();
        while (pos_ < n) {
            char c = s_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (cp_is_space(c))
                ++pos_;
            else if (c == '/' && pos_ + 1 < n && s_[pos_ + 1] == '/') {
                while (pos_ < n && s_[pos_] != '\n')
                    ++pos_;
            } else if (c == '/' && pos_ + 1 < n && s_[pos_ + 1] == '*') {
                pos_ += 2;
                while (pos_ < n && !(s_[pos_] == '*' && pos_ + 1 < n && s_[pos_ + 1] == '/')) {
                    if (s_[pos_] == '\n')
                        ++line_;
                    ++pos_;
                }
                pos_ = pos_ < n ? pos_ + 2 : n;
            } else
                break;
        }
    }

    Token lex() {
        skip_space();
        Token t;
        t.line = line_;
        t.pos = pos_;
        size_t n = s_.size();
        if (pos_ >= n) {
            t.line = last_line_;  // errors at the end name the last line with text
            return t;
        }
        last_line_ = line_;
        unsigned char c = s_[pos_];
        if (ident_start(c)) {
            size_t start = pos_;
            while (pos_ < n && ident_char(s_[pos_])) {
                // "a//b": the comment wins.
                if (s_[pos_] == '/' && pos_ + 1 < n && (s_[pos_ + 1] == '/' || s_[pos_ + 1] == '*'))
                    break;
                ++pos_;
            }
            t.type = T_IDENT;
            t.text = s_.substr(start, pos_ - start);
            return t;
        }
        if (c == ':' && pos_ + 1 < n && s_[pos_ + 1] == ':') {
            pos_ += 2;
            t.type = T_COLONS;
            t.text = "::";
            return t;
        }
        if (c == '-' && pos_ + 1 < n && s_[pos_ + 1] == '>') {
            pos_ += 2;
            t.type = T_ARROW;
            t.text = "->";
            return t;
        }
        if (c == '$' && pos_ + 1 < n && (isalpha(static_cast<unsigned char>(s_[pos_ + 1])) || s_[pos_ + 1] == '_')) {
            size_t start = pos_++;
            while (pos_ < n && (isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
                ++pos_;
            t.type = T_VAR;  // a compound class parameter
            t.text = s_.substr(start, pos_ - start);
            return t;
        }
        if (c == '|') {
            bool two = pos_ + 1 < n && s_[pos_ + 1] == '|';
            pos_ += two ? 2 : 1;
            t.type = two ? T_BARBAR : T_BAR;
            t.text = two ? "||" : "|";
            return t;
        }
        ++pos_;
        t.text = std::string(1, static_cast<char>(c));
        switch (c) {
        case '[': t.type = T_LBRACK; break;
        case ']': t.type = T_RBRACK; break;
        case '(': t.type = T_LPAREN; break;
        case ')': t.type = T_RPAREN; break;
        case ',': t.type = T_COMMA; break;
        case ';': t.type = T_SEMI; break;
        case '{': t.type = T_LBRACE; break;
        case '}': t.type = T_RBRACE; break;
        default:
            t.type = T_OTHER;
            // Group a run of digits or other junk so messages quote it whole.
            while (pos_ < n && !cp_is_space(s_[pos_]) && !strchr("[](),;{}:-|$", s_[pos_]) && !ident_start(s_[pos_]))
                t.text += s_[pos_++];
            if (isdigit(c))
                while (pos_ < n && ident_char(s_[pos_]))
                    t.text += s_[pos_++];
            break;
        }
        return t;
    }
};

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s)
        if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        }
    if (out.size() > 40)
        out = out.substr(0, 37) + "...";
    return out;
}

bool keyword_shaped(const std::string& s) {
    if (s == "__REST__")
        return true;
    if (s.empty() || !isupper(static_cast<unsigned char>(s[0])))
        return false;
    for (unsigned char c : s)
        if (!isupper(c) && !isdigit(c) && c != '_')
            return false;
    return true;
}

// "123" -> 123; false for anything else or a number above 10^8.
bool port_number(const Token& t, int& port) {
    if (t.type != T_OTHER || t.text.empty())
        return false;
    long v = 0;
    for (char c : t.text) {
        if (!isdigit(static_cast<unsigned char>(c)) || v > 100000000L)
            return false;
        v = v * 10 + (c - '0');
    }
    port = static_cast<int>(v);
    return true;
}

struct Scope;

// One definition of a compound class: its parameters and its body.
struct Overload {
    std::vector<std::string> positional;                        // variable names, without '$'
    std::vector<std::pair<std::string, std::string>> keywords;  // KEYWORD, variable
    std::string rest;            // the variable of "__REST__ $x": arguments no other parameter takes
    std::string body;
    size_t body_offset = 0;      // where the body starts in the whole text: the same in every copy of it
    int body_line = 1;
    int line = 1;                // where the definition starts
    int ninputs = 0;             // ports the body uses on "input" and "output"
    int noutputs = 0;
    bool broken = false;         // has errors, reported where it was defined

    std::string signature(const std::string& name) const {
        std::vector<std::string> p;
        for (const std::string& v : positional)
            p.push_back("$" + v);
        for (const auto& [kw, v] : keywords)
            p.push_back(kw + " $" + v);
        if (!rest.empty())
            p.push_back("__REST__ $" + rest);
        return p.empty() ? name : name + "(" + cp_unargvec(p) + ")";
    }
};

struct CompoundClass {
    std::string name;
    int line = 1;
    std::vector<Overload> overloads;
    bool extends = false;                        // "{ ... || ...}": the earlier class is tried last
    std::shared_ptr<const CompoundClass> next;   // that earlier class (or a synonym's target) ...
    std::string next_primitive;                  // ... or the primitive class it names
    std::weak_ptr<Scope> scope;                  // where it was defined: what its bodies see
};

// Variables and compound classes of the top level or of one body.
struct Scope {
    std::shared_ptr<Scope> parent;
    std::map<std::string, std::string> vars;
    std::map<std::string, std::shared_ptr<CompoundClass>> classes;
};

constexpr size_t max_expansion = 16 << 20;     // bytes of variable expansion
constexpr size_t max_instances = 200000;       // elements and compound instances
constexpr size_t max_connections = 1 << 20;    // after the tunnels are removed
constexpr int max_depth = 100;                 // compound bodies within bodies

// What the parsers of one configuration share: the top level and every body
// they check or expand.
struct Build {
    std::string filename;
    const std::function<bool(const std::string&)>* is_class = nullptr;
    ErrorHandler* errh = nullptr;
    int nerrors = 0;
    std::set<std::string> reported;   // a body is expanded once per instance: each message is shown once
    RouterConfig flat;                // every element, tunnels included
    std::vector<char> tunnel;
    std::map<std::string, int> names; // flat element names
    std::vector<size_t> expanding;    // bodies being expanded (their offsets), innermost last
    int depth = 0;
    size_t expanded = 0;
    size_t instances = 0;
    bool too_large = false;
};

class Parser {
 public:
    // A body parser (`body`) knows "input" and "output"; a checking parser
    // (`check_only`) reads and reports but builds nothing.
    Parser(Build& b, const std::string& text, size_t offset, int first_line, std::shared_ptr<Scope> scope, bool body,
           bool check_only)
        : b_(b), text_(text), lex_(text_, first_line), offset_(offset), scope_(std::move(scope)), body_(body),
          check_only_(check_only) {
        if (body_) {
            for (Local::Kind k : {Local::INPUT, Local::OUTPUT}) {
                Local l;
                l.kind = k;
                l.name = k == Local::INPUT ? "input" : "output";
                l.line = first_line;
                names_[l.name] = static_cast<int>(locals_.size());
                locals_.push_back(l);
            }
            npseudo_ = 2;
        }
    }

    // Names given on the command line: their define() is ignored.
    void set_command_line(std::set<std::string> names) { cmdline_vars_ = std::move(names); }

    void run() {
        while (true) {
            const Token& t = lex_.peek();
            if (t.type == T_EOF)
                break;
            if (t.type == T_SEMI) {
                lex_.next();
                continue;
            }
            int before = nerrors_;
            size_t taken = lex_.ntaken();
            bool resync = statement();
            if (nerrors_ > before && resync)
                recover();
            if (lex_.ntaken() == taken)
                lex_.next();  // never loop on a token nobody takes
        }
    }

    // Makes the flat elements and connections of this scope: elements named
    // prefix + name, compound elements expanded in place, "input" and
    // "output" as the tunnels given.  Collects the ports the scope uses on
    // "input" (outputs of the tunnel) and "output" (its inputs).
    void expand(const std::string& prefix, int in_tunnel, int out_tunnel, std::set<int>& used_in,
                std::set<int>& used_out) {
        size_t n = locals_.size();
        std::vector<int> into(n, -1), from(n, -1);   // the flat index that connections use
        std::vector<char> tunnelled(n, 0);
        std::vector<std::set<int>> ins(n), outs(n);  // ports a compound instance offers
        std::vector<int> nin(n, 0), nout(n, 0);
        for (const LocalConn& c : conns_) {
            nin[c.to] = std::max(nin[c.to], c.to_port + 1);
            nout[c.from] = std::max(nout[c.from], c.from_port + 1);
        }
        for (size_t i = 0; i < n; ++i) {
            const Local& l = locals_[i];
            if (l.kind == Local::INPUT)
                into[i] = from[i] = in_tunnel;
            else if (l.kind == Local::OUTPUT)
                into[i] = from[i] = out_tunnel;
            else if (!l.compound)
                into[i] = from[i] = add_flat(prefix + l.name, l.class_name, l.config, l.line);
            else
                tunnelled[i] = instantiate(l, prefix, nin[i], nout[i], into[i], from[i], ins[i], outs[i]);
        }
        for (const LocalConn& c : conns_) {
            if (into[c.to] < 0 || from[c.from] < 0)
                continue;  // an element that failed, already reported
            const Local& lf = locals_[c.from];
            const Local& lt = locals_[c.to];
            if (tunnelled[c.to] && !ins[c.to].count(c.to_port)) {
                error(c.line, "%<%s :: %s%> has no input %d", (prefix + lt.name).c_str(), lt.class_name.c_str(),
                      c.to_port);
                continue;
            }
            if (tunnelled[c.from] && !outs[c.from].count(c.from_port)) {
                error(c.line, "%<%s :: %s%> has no output %d", (prefix + lf.name).c_str(), lf.class_name.c_str(),
                      c.from_port);
                continue;
            }
            if (lf.kind == Local::INPUT)
                used_in.insert(c.from_port);
            if (lt.kind == Local::OUTPUT)
                used_out.insert(c.to_port);
            ConfigConnection fc;
            fc.from = from[c.from];
            fc.from_port = c.from_port;
            fc.to = into[c.to];
            fc.to_port = c.to_port;
            fc.landmark = landmark(c.line);
            b_.flat.connections.push_back(fc);
        }
    }

 private:
    struct Local {
        enum Kind { ELEMENT, INPUT, OUTPUT };
        std::string name;
        std::string class_name;
        std::shared_ptr<const CompoundClass> compound;  // null for a primitive class
        std::string config;
        int line = 1;
        Kind kind = ELEMENT;
    };
    struct LocalConn {
        int from, from_port, to, to_port, line;
    };

    Build& b_;
    std::string text_;
    Lexer lex_;
    size_t offset_;     // of text_ in the whole configuration
    std::shared_ptr<Scope> scope_;
    bool body_;
    bool check_only_;
    std::set<std::string> cmdline_vars_;
    std::map<std::string, int> names_;
    std::vector<Local> locals_;
    std::vector<LocalConn> conns_;
    size_t npseudo_ = 0;
    int nerrors_ = 0;
    int error_line_ = 0;

    std::string landmark(int line) const { return b_.filename + ":" + std::to_string(line); }

    void report(const std::string& landmark, bool is_error, const std::string& msg) {
        if (is_error)
            ++b_.nerrors;
        if (!b_.reported.insert(landmark + (is_error ? "\1" : "\2") + msg).second)
            return;
        if (is_error)
            b_.errh->lerror(landmark, "%s", msg.c_str());
        else
            b_.errh->lmessage(landmark, "%s", msg.c_str());
    }

    template <typename... A> void error(int line, const char* fmt, A... a) {
        report(landmark(line), true, b_.errh->format(fmt, a...));
        ++nerrors_;
        error_line_ = line;
    }

    template <typename... A> void note(const std::string& landmark, const char* fmt, A... a) {
        report(landmark, false, b_.errh->format(fmt, a...));
    }

    bool primitive(const std::string& name) const {
        return b_.is_class && *b_.is_class ? (*b_.is_class)(name) : true;
    }

    std::shared_ptr<const CompoundClass> find_class(const std::string& name) const {
        for (const Scope* s = scope_.get(); s; s = s->parent.get()) {
            auto it = s->classes.find(name);
            if (it != s->classes.end())
                return it->second;
        }
        return nullptr;
    }

    bool is_class(const std::string& name) const { return find_class(name) || primitive(name); }

    const std::string* variable(const std::string& name) const {
        for (const Scope* s = scope_.get(); s; s = s->parent.get()) {
            auto it = s->vars.find(name);
            if (it != s->vars.end())
                return &it->second;
        }
        return nullptr;
    }

    // After an error: skip to the end of the statement (a ';' or the first
    // token on a later line that does not continue a chain).
    void recover() {
        while (true) {
            const Token& t = lex_.peek();
            if (t.type == T_EOF)
                return;
            if (t.type == T_SEMI) {
                lex_.next();
                return;
            }
            if (t.line > error_line_)
                return;
            Token taken = lex_.next();
            if (taken.type == T_LPAREN) {
                std::string ignore;
                lex_.read_config(ignore);
            } else if (taken.type == T_LBRACE)
                lex_.skip_block();
        }
    }

    void syntax_error(const Token& t, const char* what = nullptr) {
        if (t.type == T_EOF)
            error(t.line, "syntax error at end of file%s%s", what ? ": expected " : "", what ? what : "");
        else if (what)
            error(t.line, "syntax error near %<%s%>: expected %s", printable(t.text).c_str(), what);
        else
            error(t.line, "syntax error near %<%s%>", printable(t.text).c_str());
    }

    // Reads "( ... )" after a '(' token has been peeked.  Returns false on an
    // unterminated argument list (reported).
    bool read_args(std::string& text, int open_line) {
        lex_.next();
        if (!lex_.read_config(text)) {
            error(open_line, "unterminated %<(%>: missing %<)%>");
            return false;
        }
        return true;
    }

    // Substitutes $NAME and ${NAME} outside single quotes; removes comments.
    // Definitions built from definitions can grow exponentially; the total
    // expansion is capped.
    std::string substitute(const std::string& raw, int line) {
        std::string s = cp_uncomment(raw);
        std::string out;
        size_t i = 0, n = s.size();
        bool in_double = false;
        while (i < n) {
            char c = s[i];
            if (c == '\'' && !in_double) {
                size_t e = s.find('\'', i + 1);
                e = e == std::string::npos ? n : e + 1;
                out.append(s, i, e - i);
                i = e;
            } else if (c == '"') {
                in_double = !in_double;
                out += c;
                ++i;
            } else if (c == '\\' && in_double && i + 1 < n) {
                out.append(s, i, 2);
                i += 2;
            } else if (c == '$' && i + 1 < n && (s[i + 1] == '{' || isalpha(static_cast<unsigned char>(s[i + 1])) || s[i + 1] == '_')) {
                size_t j = i + 1;
                bool brace = s[j] == '{';
                if (brace)
                    ++j;
                size_t start = j;
                while (j < n && (isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_'))
                    ++j;
                std::string name = s.substr(start, j - start);
                if (brace) {
                    if (j >= n || s[j] != '}' || name.empty()) {
                        error(line, "bad variable reference %<%s%>", printable(s.substr(i, j - i + 1)).c_str());
                        out += c;
                        ++i;
                        continue;
                    }
                    ++j;
                }
                const std::string* value = variable(name);
                if (!value) {
                    error(line, "undefined variable %<$%s%>", printable(name).c_str());
                    out.append(s, i, j - i);
                } else if (value->size() > max_expansion - b_.expanded || out.size() > max_expansion) {
                    error(line, "variable %<$%s%> expands to more than %zu bytes", printable(name).c_str(),
                          max_expansion);
                    return out;
                } else {
                    b_.expanded += value->size();
                    out += *value;
                }
                i = j;
            } else {
                out += c;
                ++i;
            }
        }
        return out;
    }

    // Returns false when the statement was read to its end despite errors,
    // so that no recovery is needed.
    bool statement() {
        const Token& t = lex_.peek();
        if (t.type == T_IDENT && t.text == "elementclass") {
            Token kw = lex_.next();
            return elementclass(kw);
        }
        if (t.type == T_IDENT && (t.text == "require" || t.text == "define")) {
            Token kw = lex_.next();
            if (lex_.peek().type == T_LPAREN && !names_.count(kw.text)) {
                std::string args;
                if (!read_args(args, kw.line))
                    return true;
                if (kw.text == "require")
                    do_require(args, kw.line);
                else
                    do_define(args, kw.line);
                return true;
            }
            chain(&kw);
            return true;
        }
        chain(nullptr);
        return true;
    }

    // elementclass NAME { BODY }   or   elementclass NAME OTHERCLASS (a synonym)
    bool elementclass(const Token& kw) {
        Token name = lex_.next();
        if (name.type != T_IDENT) {
            syntax_error(name, "class name after 'elementclass'");
            return true;
        }
        bool bad_name = name.text.find('/') != std::string::npos;
        if (bad_name)
            error(name.line, "bad class name %<%s%>: %</%> separates the names of compound elements",
                  name.text.c_str());
        std::shared_ptr<CompoundClass> cls;
        bool synonym = false;
        if (lex_.peek().type == T_LBRACE) {
            Token open = lex_.next();
            cls = read_compound(name.text, name.line, open);
            if (!cls)
                return false;
        } else if (lex_.peek().type == T_IDENT) {
            Token target = lex_.next();
            synonym = true;
            cls = std::make_shared<CompoundClass>();
            cls->name = name.text;
            cls->line = name.line;
            cls->scope = scope_;
            if (!set_next(*cls, target.text)) {
                error(target.line, "unknown element class %<%s%>", target.text.c_str());
                return false;
            }
        } else {
            syntax_error(lex_.peek(), "'{' or a class name after the new class name");
            return true;
        }
        if (bad_name)
            return false;
        if (cls->extends && !synonym) {
            if (!set_next(*cls, name.text)) {
                error(kw.line, "%<...%> in %<%s%>, but no earlier class %<%s%> to extend", name.text.c_str(),
                      name.text.c_str());
                return false;
            }
        } else if (auto it = scope_->classes.find(name.text); it != scope_->classes.end()) {
            error(name.line, "redefinition of element class %<%s%>", name.text.c_str());
            note(landmark(it->second->line), "class %<%s%> previously defined here", name.text.c_str());
            return false;
        }
        // Registered before its bodies are checked: a body may use its own
        // class (another definition of it, or itself: refused when expanded).
        scope_->classes[name.text] = cls;
        check_bodies(*cls);
        return false;
    }

    // The class that `cls` extends, or names as a synonym.
    bool set_next(CompoundClass& cls, const std::string& target) {
        if (auto c = find_class(target))
            cls.next = c;
        else if (primitive(target))
            cls.next_primitive = target;
        else
            return false;
        return true;
    }

    // Reads a compound class after its '{': definitions separated by "||",
    // each with its parameters and body text.  Null when the '{' is never
    // closed (reported; the rest of the text is used up).
    std::shared_ptr<CompoundClass> read_compound(const std::string& name, int line, const Token& open) {
        auto cls = std::make_shared<CompoundClass>();
        cls->name = name;
        cls->line = line;
        cls->scope = scope_;
        bool broken = false;
        if (lex_.peek().type == T_OTHER && lex_.peek().text == "...") {
            lex_.next();
            cls->extends = true;
            if (lex_.peek().type == T_RBRACE) {
                lex_.next();
                return cls;
            }
            if (lex_.peek().type == T_BARBAR)
                lex_.next();
            else {
                syntax_error(lex_.peek(), "'||' after '...'");
                broken = true;
            }
        }
        while (true) {
            Overload o;
            o.line = lex_.here_line();
            o.broken = broken;
            read_formals(o);
            size_t start = lex_.here();
            o.body_line = lex_.here_line();
            int depth = 0;
            while (true) {
                Token t = lex_.next();
                if (t.type == T_EOF) {
                    error(open.line, "unterminated compound class: missing %<}%>");
                    return nullptr;
                }
                if (depth == 0 && (t.type == T_BARBAR || t.type == T_RBRACE)) {
                    o.body = text_.substr(start, t.pos - start);
                    o.body_offset = offset_ + start;
                    cls->overloads.push_back(std::move(o));
                    if (t.type == T_RBRACE)
                        return cls;
                    break;
                }
                if (t.type == T_LBRACE)
                    ++depth;
                else if (t.type == T_RBRACE)
                    --depth;
                else if (t.type == T_LPAREN) {
                    std::string ignore;
                    if (!lex_.read_config(ignore))
                        error(t.line, "unterminated %<(%>: missing %<)%>");
                } else if (depth == 0 && t.type == T_IDENT && t.text == "input")
                    o.ninputs = std::max(o.ninputs, bracketed_port() + 1);
                else if (depth == 0 && t.type == T_IDENT && t.text == "output")
                    o.noutputs = std::max(o.noutputs, 1);
                else if (depth == 0 && t.type == T_LBRACK) {
                    // "[N] output"
                    Lexer::Mark m = lex_.mark();
                    int port;
                    if (port_number(lex_.next(), port) && lex_.next().type == T_RBRACK &&
                        lex_.peek().type == T_IDENT && lex_.peek().text == "output")
                        o.noutputs = std::max(o.noutputs, port + 1);
                    else
                        lex_.reset(m);
                }
            }
        }
    }

    // After "input": takes "[N]" and returns N, or returns 0 and takes nothing.
    int bracketed_port() {
        if (lex_.peek().type != T_LBRACK)
            return 0;
        Lexer::Mark m = lex_.mark();
        lex_.next();
        int port;
        if (port_number(lex_.next(), port) && lex_.next().type == T_RBRACK)
            return port;
        lex_.reset(m);
        return 0;
    }

    // Parameters start with "$var", "KEYWORD $var" or a lone '|'.
    bool starts_formals() {
        const Token& t = lex_.peek();
        if (t.type == T_VAR || t.type == T_BAR)
            return true;
        if (t.type != T_IDENT)
            return false;
        Lexer::Mark m = lex_.mark();
        lex_.next();
        bool var = lex_.peek().type == T_VAR;
        lex_.reset(m);
        return var;
    }

    // Reads the parameters of one definition, "$a, $b, KEYWORD $c |", if it
    // has any.  An error marks the definition broken and stops at the first
    // token that does not belong.
    void read_formals(Overload& o) {
        if (!starts_formals())
            return;
        std::set<std::string> vars, keywords;
        while (true) {
            if (lex_.peek().type == T_BAR) {
                lex_.next();
                return;
            }
            std::string keyword;
            int line = lex_.peek().line;
            if (lex_.peek().type == T_IDENT) {
                keyword = lex_.next().text;
                if (!keyword_shaped(keyword)) {
                    error(line, "bad keyword %<%s%>: keywords are upper case", printable(keyword).c_str());
                    o.broken = true;
                }
            }
            if (lex_.peek().type != T_VAR) {
                syntax_error(lex_.peek(), "'$NAME' parameter");
                o.broken = true;
                return;
            }
            std::string var = lex_.next().text.substr(1);
            if (!vars.insert(var).second) {
                error(line, "parameter %<$%s%> declared twice", var.c_str());
                o.broken = true;
            }
            if (keyword.empty()) {
                if (!o.keywords.empty() || !o.rest.empty()) {
                    error(line, "positional parameter %<$%s%> after keyword parameters", var.c_str());
                    o.broken = true;
                }
                o.positional.push_back(var);
            } else if (!keywords.insert(keyword).second) {
                error(line, "keyword %<%s%> declared twice", keyword.c_str());
                o.broken = true;
            } else if (keyword == "__REST__")
                o.rest = var;
            else
                o.keywords.push_back({keyword, var});
            if (lex_.peek().type == T_COMMA)
                lex_.next();
            else if (lex_.peek().type != T_BAR) {
                syntax_error(lex_.peek(), "',' or '|' after a parameter");
                o.broken = true;
                return;
            }
        }
    }

    // A scope for one body: the parameters bound (to empty strings when
    // `bind` is null), in the scope where the class was defined.
    static std::shared_ptr<Scope> body_scope(const CompoundClass& cls, const Overload& o,
                                             const std::map<std::string, std::string>* bind) {
        auto s = std::make_shared<Scope>();
        s->parent = cls.scope.lock();
        auto set = [&](const std::string& v) {
            auto it = bind ? bind->find(v) : std::map<std::string, std::string>::const_iterator();
            s->vars[v] = bind && it != bind->end() ? it->second : std::string();
        };
        for (const std::string& v : o.positional)
            set(v);
        for (const auto& kv : o.keywords)
            set(kv.second);
        if (!o.rest.empty())
            set(o.rest);
        return s;
    }

    bool enter(int line) {
        if (b_.depth >= max_depth) {
            error(line, "compound classes nested more than %d deep", max_depth);
            return false;
        }
        ++b_.depth;
        return true;
    }

    // Checks each body where the class is defined, with its parameters bound
    // to empty strings: errors show even in a class nobody uses, and are not
    // repeated for every instance (a broken definition expands to nothing).
    void check_bodies(CompoundClass& cls) {
        for (Overload& o : cls.overloads) {
            if (o.broken)
                continue;
            if (!enter(o.line)) {
                o.broken = true;
                continue;
            }
            Parser p(b_, o.body, o.body_offset, o.body_line, body_scope(cls, o, nullptr), true, true);
            p.run();
            --b_.depth;
            if (p.nerrors_) {
                o.broken = true;
                ++nerrors_;
            }
        }
    }

    // Binds the arguments of an element to a definition's parameters: the
    // arguments that start with one of its keywords go to that keyword, the
    // others are positional and must be as many as its positional
    // parameters (more when it has "__REST__").  Absent keywords are empty.
    static bool bind_args(const Overload& o, const std::vector<std::string>& args,
                          std::map<std::string, std::string>& bind) {
        bind.clear();
        std::vector<std::string> positional;
        for (const auto& kv : o.keywords)
            bind[kv.second] = std::string();
        for (const std::string& a : args) {
            std::string kw, value;
            bool split = cp_keyword(a, &kw, &value);
            if (!split)
                kw = a;  // a keyword alone: an empty value
            auto it = std::find_if(o.keywords.begin(), o.keywords.end(), [&](const auto& p) { return p.first == kw; });
            if (it != o.keywords.end())
                bind[it->second] = value;
            else
                positional.push_back(a);
        }
        if (positional.size() < o.positional.size() || (positional.size() > o.positional.size() && o.rest.empty()))
            return false;
        for (size_t i = 0; i < o.positional.size(); ++i)
            bind[o.positional[i]] = positional[i];
        if (!o.rest.empty())
            bind[o.rest] = cp_unargvec(std::vector<std::string>(positional.begin() + o.positional.size(), positional.end()));
        return true;
    }

    struct Choice {
        const CompoundClass* cls = nullptr;
        const Overload* o = nullptr;
        std::string primitive;
        std::map<std::string, std::string> bind;
    };

    // The first definition (newest class first, then the classes it
    // extends) that takes the arguments and has the ports the element is
    // connected to; else the first that takes the arguments; else the
    // primitive class at the end of the chain.
    static bool choose(const CompoundClass& cls, const std::vector<std::string>& args, int nin, int nout,
                       Choice& out) {
        Choice loose;
        std::string primitive;
        for (const CompoundClass* c = &cls; c; c = c->next.get()) {
            for (const Overload& o : c->overloads) {
                std::map<std::string, std::string> bind;
                if (!bind_args(o, args, bind))
                    continue;
                if (nin <= o.ninputs && nout <= o.noutputs) {
                    out.cls = c;
                    out.o = &o;
                    out.bind = std::move(bind);
                    return true;
                }
                if (!loose.o) {
                    loose.cls = c;
                    loose.o = &o;
                    loose.bind = std::move(bind);
                }
            }
            if (!c->next)
                primitive = c->next_primitive;
        }
        if (loose.o)
            out = std::move(loose);
        else if (!primitive.empty())
            out.primitive = primitive;
        else
            return false;
        return true;
    }

    // Counts an element or an instance against the configuration's size cap.
    bool budget(int line) {
        if (b_.instances >= max_instances) {
            if (!b_.too_large) {
                b_.too_large = true;
                error(line, "the configuration expands to more than %zu elements", max_instances);
            }
            return false;
        }
        ++b_.instances;
        return true;
    }

    int add_flat(const std::string& name, const std::string& cls, const std::string& config, int line) {
        if (!budget(line))
            return -1;
        auto it = b_.names.find(name);
        if (it != b_.names.end()) {
            error(line, "redeclaration of element %<%s%>", name.c_str());
            note(b_.flat.elements[it->second].landmark, "element %<%s%> previously declared here", name.c_str());
            return -1;
        }
        ConfigElement e;
        e.name = name;
        e.class_name = cls;
        e.config = config;
        e.landmark = landmark(line);
        b_.flat.elements.push_back(e);
        b_.tunnel.push_back(0);
        int idx = static_cast<int>(b_.flat.elements.size()) - 1;
        b_.names[name] = idx;
        return idx;
    }

    int add_tunnel() {
        b_.flat.elements.emplace_back();
        b_.tunnel.push_back(1);
        return static_cast<int>(b_.flat.elements.size()) - 1;
    }

    // Expands one element of a compound class.  Returns true when it became
    // a pair of tunnels (`into`, `from`) around its body, false when it
    // became a primitive element or failed (`into` < 0, reported).
    bool instantiate(const Local& l, const std::string& prefix, int nin, int nout, int& into, int& from,
                     std::set<int>& ins, std::set<int>& outs) {
        std::string name = prefix + l.name;
        std::vector<std::string> args = cp_argvec(l.config);
        Choice ch;
        if (!choose(*l.compound, args, nin, nout, ch)) {
            if (args.empty())
                error(l.line, "no definition of %<%s%> takes no arguments", l.class_name.c_str());
            else
                error(l.line, "no definition of %<%s%> takes %<%s%>", l.class_name.c_str(),
                      printable(l.config).c_str());
            for (const CompoundClass* c = l.compound.get(); c; c = c->next.get())
                for (const Overload& o : c->overloads)
                    note(landmark(o.line), "candidate: %<%s%>", o.signature(l.class_name).c_str());
            return false;
        }
        if (!ch.o) {
            into = from = add_flat(name, ch.primitive, l.config, l.line);
            return false;
        }
        if (ch.o->broken)
            return false;  // reported where it was defined
        if (std::find(b_.expanding.begin(), b_.expanding.end(), ch.o->body_offset) != b_.expanding.end()) {
            error(l.line, "compound class %<%s%> contains itself", l.class_name.c_str());
            return false;
        }
        if (!budget(l.line) || !enter(l.line))
            return false;
        int in_tunnel = add_tunnel(), out_tunnel = add_tunnel();
        int before = b_.nerrors;
        Parser body(b_, ch.o->body, ch.o->body_offset, ch.o->body_line, body_scope(*ch.cls, *ch.o, &ch.bind), true,
                    false);
        body.run();
        b_.expanding.push_back(ch.o->body_offset);
        body.expand(name + "/", in_tunnel, out_tunnel, ins, outs);
        b_.expanding.pop_back();
        --b_.depth;
        if (b_.nerrors != before)
            return false;  // the body's ports may be missing: no more messages about them
        into = in_tunnel;
        from = out_tunnel;
        return true;
    }

    void do_require(const std::string& text, int line) {
        std::vector<std::string> args = cp_argvec(substitute(text, line));
        if (args.empty())
            error(line, "%<require%> needs an argument");
        for (const std::string& a : args) {
            std::vector<std::string> words = cp_spacevec(a);
            ConfigRequirement r;
            r.landmark = landmark(line);
            if (words.size() == 1)
                r.value = cp_unquote(words[0]);
            else if (words.size() == 2) {
                r.type = cp_unquote(words[0]);
                r.value = cp_unquote(words[1]);
            } else {
                error(line, "bad requirement %<%s%>", printable(a).c_str());
                continue;
            }
            if (r.value.empty()) {
                error(line, "bad requirement %<%s%>", printable(a).c_str());
                continue;
            }
            if (!check_only_)
                b_.flat.requirements.push_back(r);
        }
    }

    void do_define(const std::string& text, int line) {
        std::vector<std::string> args = cp_argvec(cp_uncomment(text));
        for (const std::string& a : args) {
            size_t i = 0, n = a.size();
            if (n < 2 || a[0] != '$') {
                error(line, "bad definition %<%s%>: expected %<$NAME value%>", printable(a).c_str());
                continue;
            }
            i = 1;
            while (i < n && (isalnum(static_cast<unsigned char>(a[i])) || a[i] == '_'))
                ++i;
            std::string name = a.substr(1, i - 1);
            if (name.empty() || isdigit(static_cast<unsigned char>(name[0])) || (i < n && !cp_is_space(a[i]))) {
                error(line, "bad definition %<%s%>: expected %<$NAME value%>", printable(a).c_str());
                continue;
            }
            std::string value = substitute(a.substr(i), line);
            if (cmdline_vars_.count(name))
                continue;  // the command line wins
            scope_->vars[name] = value;
        }
    }

    bool parse_port(int& port) {
        lex_.next();  // '['
        Token num = lex_.next();
        if (!port_number(num, port)) {
            if (num.type == T_EOF)
                syntax_error(num, "port number");
            else
                error(num.line, "bad port number %<%s%>", printable(num.text).c_str());
            return false;
        }
        if (lex_.peek().type != T_RBRACK) {
            syntax_error(lex_.peek(), "']'");
            return false;
        }
        lex_.next();
        return true;
    }

    int add_element(const std::string& name, const std::string& cls, std::shared_ptr<const CompoundClass> compound,
                    const std::string& config, int line) {
        Local l;
        l.name = name;
        l.class_name = cls;
        l.compound = compound ? std::move(compound) : find_class(cls);
        l.config = config;
        l.line = line;
        locals_.push_back(l);
        int idx = static_cast<int>(locals_.size()) - 1;
        names_[name] = idx;
        return idx;
    }

    std::string anonymous_name(const std::string& cls) {
        size_t n = locals_.size() + 1 - npseudo_;
        std::string name;
        do
            name = cls + "@" + std::to_string(n++);
        while (names_.count(name));
        return name;
    }

    // "{ ... }" used as a class.  Null when unterminated (reported).
    std::shared_ptr<CompoundClass> anonymous_class(const Token& open) {
        auto cls = read_compound("Compound", open.line, open);
        if (!cls)
            return nullptr;
        if (cls->extends) {
            error(open.line, "%<...%> needs a class name to extend");
            cls->extends = false;
        }
        check_bodies(*cls);
        return cls;
    }

    // Parses an element in a chain: a reference, an anonymous element, or a
    // declaration.  `first` is an already taken identifier.  Returns the
    // element index or -1 (error reported).
    int element(const Token* first, bool* was_list, bool chain_ok) {
        Token id = first ? *first : lex_.next();
        *was_list = false;
        if (id.type == T_LBRACE) {
            auto cls = anonymous_class(id);
            if (!cls)
                return -1;
            std::string config;
            if (lex_.peek().type == T_LPAREN) {
                std::string raw;
                if (!read_args(raw, lex_.peek().line))
                    return -1;
                config = substitute(raw, id.line);
            }
            return chain_ok ? add_element(anonymous_name(cls->name), cls->name, cls, config, id.line) : -1;
        }
        if (id.type != T_IDENT) {
            syntax_error(id, "element");
            return -1;
        }
        std::vector<Token> names{id};
        while (lex_.peek().type == T_COMMA) {
            lex_.next();
            Token more = lex_.next();
            if (more.type != T_IDENT) {
                syntax_error(more, "element name");
                return -1;
            }
            names.push_back(more);
            *was_list = true;
        }
        if (lex_.peek().type == T_COLONS) {
            lex_.next();
            Token cls = lex_.next();
            std::shared_ptr<CompoundClass> anon;
            if (cls.type == T_LBRACE) {
                anon = anonymous_class(cls);
                if (!anon)
                    return -1;
                cls.text = anon->name;
            } else if (cls.type != T_IDENT) {
                syntax_error(cls, "class name after '::'");
                return -1;
            }
            std::string config;
            if (lex_.peek().type == T_LPAREN) {
                std::string raw;
                if (!read_args(raw, lex_.peek().line))
                    return -1;
                config = substitute(raw, cls.line);
            }
            if (anon)
                ;
            else if (names_.count(cls.text) && !is_class(cls.text))
                error(cls.line, "%<%s%> is an element, not a class", cls.text.c_str());
            else if (!is_class(cls.text))
                error(cls.line, "unknown element class %<%s%>", cls.text.c_str());
            int idx = -1;
            for (const Token& n : names) {
                auto it = names_.find(n.text);
                if (it != names_.end() && locals_[it->second].kind != Local::ELEMENT) {
                    error(n.line, "%<%s%> is reserved inside a compound class", n.text.c_str());
                    continue;
                }
                if (it != names_.end()) {
                    error(n.line, "redeclaration of element %<%s%>", n.text.c_str());
                    note(landmark(locals_[it->second].line), "element %<%s%> previously declared here",
                         n.text.c_str());
                    idx = it->second;
                    continue;
                }
                idx = add_element(n.text, cls.text, anon, config, n.line);
            }
            return idx;
        }
        if (*was_list) {
            syntax_error(lex_.peek(), "'::' after a list of element names");
            return -1;
        }
        if (lex_.peek().type == T_LPAREN) {
            std::string raw;
            if (!read_args(raw, lex_.peek().line))
                return -1;
            std::string config = substitute(raw, id.line);
            if (!is_class(id.text)) {
                if (names_.count(id.text))
                    error(id.line, "%<%s%> is an element, not a class", id.text.c_str());
                else
                    error(id.line, "unknown element class %<%s%>", id.text.c_str());
                return -1;
            }
            // In a chain already broken by an error, an anonymous element would
            // only add "not connected" noise.
            return chain_ok ? add_element(anonymous_name(id.text), id.text, nullptr, config, id.line) : -1;
        }
        auto it = names_.find(id.text);
        if (it != names_.end())
            return it->second;
        if (is_class(id.text))
            return chain_ok ? add_element(anonymous_name(id.text), id.text, nullptr, std::string(), id.line) : -1;
        if (!body_ && (id.text == "input" || id.text == "output"))
            error(id.line, "%<%s%> exists only inside a compound element class", id.text.c_str());
        else if (isupper(static_cast<unsigned char>(id.text[0])))
            error(id.line, "unknown element class %<%s%>", id.text.c_str());
        else
            error(id.line, "undeclared element %<%s%>", id.text.c_str());
        return -1;
    }

    void chain(const Token* first) {
        int prev = -1, prev_port = 0, arrow_line = 0;
        bool ok = true;
        while (true) {
            int in_port = 0;
            bool has_in = false;
            int in_line = lex_.peek().line;
            if (!first && lex_.peek().type == T_LBRACK) {
                if (!parse_port(in_port))
                    return;
                has_in = true;
            }
            if (!first && lex_.peek().type != T_IDENT && lex_.peek().type != T_LBRACE) {
                syntax_error(lex_.peek(), prev >= 0 ? "element after '->'" : nullptr);
                return;
            }
            bool was_list = false;
            int cur = element(first, &was_list, ok);
            first = nullptr;
            if (cur < 0)
                ok = false;
            if (was_list && (prev >= 0 || lex_.peek().type == T_ARROW || lex_.peek().type == T_LBRACK)) {
                error(arrow_line ? arrow_line : lex_.peek().line, "a list of declarations cannot be connected");
                return;
            }
            if (prev >= 0 && cur >= 0 && ok) {
                if (locals_[cur].kind == Local::INPUT)
                    error(arrow_line, "%<input%> cannot be the target of a connection");
                else if (locals_[prev].kind == Local::OUTPUT)
                    error(arrow_line, "%<output%> cannot be the source of a connection");
                else
                    conns_.push_back({prev, prev_port, cur, in_port, arrow_line});
            } else if (prev < 0 && has_in && cur >= 0)
                error(in_line, "input port useless at start of chain");
            int out_port = 0;
            bool has_out = false;
            int out_line = lex_.peek().line;
            if (lex_.peek().type == T_LBRACK) {
                if (!parse_port(out_port))
                    return;
                has_out = true;
            }
            if (lex_.peek().type == T_ARROW) {
                arrow_line = lex_.next().line;
                prev = cur;
                prev_port = out_port;
                if (cur < 0)
                    ok = false;
                continue;
            }
            if (has_out)
                error(out_line, "output port useless at end of chain");
            return;
        }
    }
};

// Replaces every tunnel by direct connections from what enters each of its
// ports to what leaves the same port, then drops the tunnels and renumbers.
void remove_tunnels(Build& b, RouterConfig& out) {
    size_t n = b.flat.elements.size();
    std::vector<ConfigConnection> edges = std::move(b.flat.connections);
    std::vector<char> dead(edges.size(), 0);
    std::vector<std::vector<size_t>> ins(n), outs(n);
    auto link = [&](size_t k) {
        ins[edges[k].to].push_back(k);
        outs[edges[k].from].push_back(k);
    };
    for (size_t k = 0; k < edges.size(); ++k)
        link(k);
    for (size_t t = 0; t < n; ++t) {
        if (!b.tunnel[t])
            continue;
        std::vector<size_t> in, through;
        for (size_t k : ins[t])
            if (!dead[k]) {
                dead[k] = 1;
                if (static_cast<size_t>(edges[k].from) != t)  // a tunnel looped onto itself leads nowhere
                    in.push_back(k);
            }
        for (size_t k : outs[t])
            if (!dead[k]) {
                dead[k] = 1;
                through.push_back(k);
            }
        for (size_t i : in)
            for (size_t o : through) {
                if (edges[i].to_port != edges[o].from_port)
                    continue;
                if (edges.size() >= max_connections) {
                    b.errh->lerror(edges[i].landmark, "the configuration expands to more than %zu connections",
                                   max_connections);
                    ++b.nerrors;
                    goto done;
                }
                ConfigConnection c;
                c.from = edges[i].from;
                c.from_port = edges[i].from_port;
                c.to = edges[o].to;
                c.to_port = edges[o].to_port;
                c.landmark = edges[i].landmark;
                edges.push_back(c);
                dead.push_back(0);
                link(edges.size() - 1);
            }
    }
done:
    std::vector<int> index(n, -1);
    out.elements.clear();
    for (size_t i = 0; i < n; ++i)
        if (!b.tunnel[i]) {
            index[i] = static_cast<int>(out.elements.size());
            out.elements.push_back(std::move(b.flat.elements[i]));
        }
    out.connections.clear();
    for (size_t k = 0; k < edges.size(); ++k) {
        ConfigConnection c = edges[k];
        if (dead[k] || index[c.from] < 0 || index[c.to] < 0)
            continue;
        c.from = index[c.from];
        c.to = index[c.to];
        out.connections.push_back(std::move(c));
    }
    out.requirements = std::move(b.flat.requirements);
}

}  // namespace

int RouterConfig::find(const std::string& name) const {
    for (size_t i = 0; i < elements.size(); ++i)
        if (elements[i].name == name)
            return static_cast<int>(i);
    return -1;
}

int parse_router_config(const std::string& text, const std::string& filename,
                        const std::map<std::string, std::string>& defines,
                        const std::function<bool(const std::string&)>& is_class, RouterConfig& out,
                        ErrorHandler* errh) {
    Build b;
    b.filename = filename.empty() ? std::string("config") : filename;
    b.is_class = &is_class;
    b.errh = errh ? errh : ErrorHandler::silent_handler();
    auto scope = std::make_shared<Scope>();
    std::set<std::string> cmdline;
    for (const auto& [k, v] : defines) {
        std::string name = !k.empty() && k[0] == '$' ? k.substr(1) : k;
        scope->vars[name] = v;
        cmdline.insert(name);
    }
    {
        Parser p(b, text, 0, 1, scope, false, false);
        p.set_command_line(std::move(cmdline));
        p.run();
        std::set<int> unused_in, unused_out;
        p.expand(std::string(), -1, -1, unused_in, unused_out);
    }
    if (b.too_large) {
        // Nothing of a runaway expansion is worth building or reporting on.
        out = RouterConfig();
        return -EINVAL;
    }
    remove_tunnels(b, out);
    return b.nerrors ? -EINVAL : 0;
}

std::string unparse_router_config(const RouterConfig& conf) {
    std::string out;
    for (const ConfigElement& e : conf.elements) {
        out += e.name + " :: " + e.class_name;
        if (!e.config.empty())
            out += "(" + e.config + ")";
        out += ";\n";
    }
    for (const ConfigConnection& c : conf.connections) {
        if (c.from < 0 || c.to < 0 || static_cast<size_t>(c.from) >= conf.elements.size() ||
            static_cast<size_t>(c.to) >= conf.elements.size())
            continue;
        out += conf.elements[c.from].name;
        if (c.from_port)
            out += " [" + std::to_string(c.from_port) + "]";
        out += " -> ";
        if (c.to_port)
            out += "[" + std::to_string(c.to_port) + "] ";
        out += conf.elements[c.to].name + ";\n";
    }
    return out;
}
