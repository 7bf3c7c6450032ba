// The router configuration parser: declarations, connections, require() and
// define().  It never stops at the first error: each bad statement is
// reported with its landmark and skipped, and parsing goes on.
#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <cerrno>
#include <cstring>
#include <set>

namespace {

enum TokType { T_EOF, T_IDENT, T_COLONS, T_ARROW, T_LBRACK, T_RBRACK, T_LPAREN, T_RPAREN, T_COMMA, T_SEMI,
               T_LBRACE, T_RBRACE, T_OTHER };

struct Token {
    TokType type = T_EOF;
    std::string text;
    int line = 1;
};

bool ident_start(unsigned char c) {
    return isalpha(c) || c == '_' || c == '@';
}

bool ident_char(unsigned char c) {
    return isalnum(c) || c == '_' || c == '@' || c == '/';
}

class Lexer {
 public:
    explicit Lexer(const std::string& s) : s_(s) {
        if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0)
            pos_ = 3;  // a UTF-8 byte order mark from an editor
    }

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
    int line_ = 1;
    int last_line_ = 1;
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
            while (pos_ < n && !cp_is_space(s_[pos_]) && !strchr("[](),;{}:-", s_[pos_]) && !ident_start(s_[pos_]))
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

class Parser {
 public:
    Parser(const std::string& text, const std::string& filename, const std::map<std::string, std::string>& defines,
           const std::function<bool(const std::string&)>& is_class, RouterConfig& out, ErrorHandler* errh)
        : lex_(text), filename_(filename.empty() ? std::string("config") : filename), is_class_(is_class),
          out_(out), errh_(errh ? errh : ErrorHandler::silent_handler()) {
        for (const auto& [k, v] : defines) {
            std::string name = !k.empty() && k[0] == '$' ? k.substr(1) : k;
            vars_[name] = v;
            cmdline_vars_.insert(name);
        }
        for (size_t i = 0; i < out_.elements.size(); ++i)
            names_[out_.elements[i].name] = static_cast<int>(i);
    }

    int run() {
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
            statement();
            if (nerrors_ > before)
                recover();
            if (lex_.ntaken() == taken)
                lex_.next();  // never loop on a token nobody takes
        }
        return nerrors_ ? -EINVAL : 0;
    }

 private:
    Lexer lex_;
    std::string filename_;
    const std::function<bool(const std::string&)>& is_class_;
    RouterConfig& out_;
    ErrorHandler* errh_;
    std::map<std::string, std::string> vars_;
    std::set<std::string> cmdline_vars_;
    std::map<std::string, int> names_;
    int nerrors_ = 0;
    int error_line_ = 0;
    size_t expanded_ = 0;

    std::string landmark(int line) const { return filename_ + ":" + std::to_string(line); }

    template <typename... A> void error(int line, const char* fmt, A... a) {
        errh_->lerror(landmark(line), fmt, a...);
        ++nerrors_;
        error_line_ = line;
    }

    bool is_class(const std::string& name) const { return is_class_ ? is_class_(name) : true; }

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
    static constexpr size_t max_expansion = 16 << 20;

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
                auto it = vars_.find(name);
                if (it == vars_.end()) {
                    error(line, "undefined variable %<$%s%>", printable(name).c_str());
                    out.append(s, i, j - i);
                } else if (it->second.size() > max_expansion - expanded_ || out.size() > max_expansion) {
                    error(line, "variable %<$%s%> expands to more than %zu bytes", printable(name).c_str(),
                          max_expansion);
                    return out;
                } else {
                    expanded_ += it->second.size();
                    out += it->second;
                }
                i = j;
            } else {
                out += c;
                ++i;
            }
        }
        return out;
    }

    void statement() {
        const Token& t = lex_.peek();
        if (t.type == T_IDENT && (t.text == "require" || t.text == "define" || t.text == "elementclass")) {
            Token kw = lex_.next();
            if (kw.text == "elementclass") {
                error(kw.line, "compound element classes (%<elementclass%>) are not supported");
                // Skip the name and the body.
                while (lex_.peek().type != T_EOF && lex_.peek().type != T_LBRACE && lex_.peek().line == kw.line)
                    lex_.next();
                if (lex_.peek().type == T_LBRACE) {
                    lex_.next();
                    lex_.skip_block();
                }
                return;
            }
            if (lex_.peek().type == T_LPAREN && !names_.count(kw.text)) {
                std::string args;
                if (!read_args(args, kw.line))
                    return;
                if (kw.text == "require")
                    do_require(args, kw.line);
                else
                    do_define(args, kw.line);
                return;
            }
            chain(&kw);
            return;
        }
        chain(nullptr);
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
            out_.requirements.push_back(r);
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
            vars_[name] = value;
        }
    }

    bool parse_port(int& port) {
        Token open = lex_.next();  // '['
        Token num = lex_.next();
        bool ok = num.type == T_OTHER && !num.text.empty();
        long v = 0;
        for (char c : num.text)
            if (!isdigit(static_cast<unsigned char>(c)) || v > 100000000L)
                ok = false;
            else
                v = v * 10 + (c - '0');
        if (!ok) {
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
        (void) open;
        port = static_cast<int>(v);
        return true;
    }

    int add_element(const std::string& name, const std::string& cls, const std::string& config, int line) {
        ConfigElement e;
        e.name = name;
        e.class_name = cls;
        e.config = config;
        e.landmark = landmark(line);
        out_.elements.push_back(e);
        int idx = static_cast<int>(out_.elements.size()) - 1;
        names_[name] = idx;
        return idx;
    }

    std::string anonymous_name(const std::string& cls) {
        size_t n = out_.elements.size() + 1;
        std::string name;
        do
            name = cls + "@" + std::to_string(n++);
        while (names_.count(name));
        return name;
    }

    // Parses an element in a chain: a reference, an anonymous element, or a
    // declaration.  `first` is an already taken identifier.  Returns the
    // element index or -1 (error reported).
    int element(const Token* first, bool* was_list, bool chain_ok) {
        Token id = first ? *first : lex_.next();
        *was_list = false;
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
            if (cls.type != T_IDENT) {
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
            if (names_.count(cls.text) && !is_class(cls.text))
                error(cls.line, "%<%s%> is an element, not a class", cls.text.c_str());
            else if (!is_class(cls.text))
                error(cls.line, "unknown element class %<%s%>", cls.text.c_str());
            int idx = -1;
            for (const Token& n : names) {
                auto it = names_.find(n.text);
                if (it != names_.end()) {
                    error(n.line, "redeclaration of element %<%s%>", n.text.c_str());
                    errh_->lmessage(out_.elements[it->second].landmark, "element %<%s%> previously declared here",
                                    n.text.c_str());
                    idx = it->second;
                    continue;
                }
                idx = add_element(n.text, cls.text, config, n.line);
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
            return chain_ok ? add_element(anonymous_name(id.text), id.text, config, id.line) : -1;
        }
        auto it = names_.find(id.text);
        if (it != names_.end())
            return it->second;
        if (is_class(id.text))
            return chain_ok ? add_element(anonymous_name(id.text), id.text, std::string(), id.line) : -1;
        if (isupper(static_cast<unsigned char>(id.text[0])))
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
            if (!first && lex_.peek().type != T_IDENT) {
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
                ConfigConnection c;
                c.from = prev;
                c.from_port = prev_port;
                c.to = cur;
                c.to_port = in_port;
                c.landmark = landmark(arrow_line);
                out_.connections.push_back(c);
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
    Parser p(text, filename, defines, is_class, out, errh);
    return p.run();
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
