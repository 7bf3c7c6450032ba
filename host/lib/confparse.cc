// Argument splitting and quoting.
#include <host/confparse.hh>

#include <cstdio>
#include <cstring>

bool cp_is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

namespace {

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && cp_is_space(s[a]))
        ++a;
    while (b > a && cp_is_space(s[b - 1]))
        --b;
    return s.substr(a, b - a);
}

// Index just past the quoted string starting at s[i] (a quote character).
// An unterminated string runs to the end.
size_t skip_quote(const std::string& s, size_t i) {
    char q = s[i++];
    while (i < s.size()) {
        if (q == '"' && s[i] == '\\' && i + 1 < s.size())
            i += 2;
        else if (s[i] == q)
            return i + 1;
        else
            ++i;
    }
    return i;
}

// If a comment starts at s[i], returns the index just past it (a "//"
// comment stops before its newline); otherwise returns i.
size_t skip_comment(const std::string& s, size_t i) {
    if (s[i] != '/' || i + 1 >= s.size())
        return i;
    if (s[i + 1] == '/') {
        size_t nl = s.find('\n', i + 2);
        return nl == std::string::npos ? s.size() : nl;
    }
    if (s[i + 1] == '*') {
        size_t end = s.find("*/", i + 2);
        return end == std::string::npos ? s.size() : end + 2;
    }
    return i;
}

int hexval(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Expands the double-quoted string body starting after the opening quote at
// s[i]; appends to out; returns the index past the closing quote.
size_t unquote_double(const std::string& s, size_t i, std::string& out) {
    size_t n = s.size();
    while (i < n) {
        char c = s[i];
        if (c == '"')
            return i + 1;
        if (c != '\\' || i + 1 >= n) {
            out += c;
            ++i;
            continue;
        }
        char e = s[i + 1];
        i += 2;
        switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'v': out += '\v'; break;
        case '\\': case '"': case '\'': case '$': case ',': case '/': case '?':
            out += e;
            break;
        case '\n':
            break;  // line continuation
        case 'x': {
            int v = 0, k = 0;
            while (k < 2 && i < n && hexval(s[i]) >= 0) {
                v = v * 16 + hexval(s[i]);
                ++i;
                ++k;
            }
            if (k == 0)
                out += "\\x";
            else
                out += static_cast<char>(v);
            break;
        }
        case '<': {
            // \<48 65 6c> : hex bytes, whitespace ignored.
            size_t j = i;
            std::string bytes;
            int half = -1;
            bool ok = true;
            while (j < n && s[j] != '>') {
                if (cp_is_space(s[j])) {
                    ++j;
                    continue;
                }
                int h = hexval(s[j]);
                if (h < 0) {
                    ok = false;
                    break;
                }
                if (half < 0)
                    half = h;
                else {
                    bytes += static_cast<char>(half * 16 + h);
                    half = -1;
                }
                ++j;
            }
            if (ok && j < n && half < 0) {
                out += bytes;
                i = j + 1;
            } else
                out += "\\<";
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                int v = e - '0', k = 1;
                while (k < 3 && i < n && s[i] >= '0' && s[i] <= '7') {
                    v = v * 8 + (s[i] - '0');
                    ++i;
                    ++k;
                }
                out += static_cast<char>(v & 0xFF);
            } else {
                out += '\\';
                out += e;
            }
            break;
        }
    }
    return n;
}

bool is_safe_unquoted(unsigned char c) {
    return isalnum(c) || strchr("_-.:/+@%^=~!?*&|#<>", c) != nullptr;
}

}  // namespace

bool cp_is_word(const std::string& s) {
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (!is_safe_unquoted(c))
            return false;
    return s.find("//") == std::string::npos && s.find("/*") == std::string::npos;
}

std::string cp_uncomment(const std::string& str) {
    std::string out;
    out.reserve(str.size());
    size_t i = 0, n = str.size();
    while (i < n) {
        char c = str[i];
        if (c == '"' || c == '\'') {
            size_t e = skip_quote(str, i);
            out.append(str, i, e - i);
            i = e;
        } else if (size_t e = skip_comment(str, i); e != i) {
            out += ' ';
            i = e;
        } else {
            out += c;
            ++i;
        }
    }
    return trim(out);
}

std::vector<std::string> cp_argvec(const std::string& str) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    size_t i = 0, n = str.size();
    while (i < n) {
        char c = str[i];
        if (c == '"' || c == '\'') {
            size_t e = skip_quote(str, i);
            cur.append(str, i, e - i);
            i = e;
            continue;
        }
        if (size_t e = skip_comment(str, i); e != i) {
            cur += ' ';
            i = e;
            continue;
        }
        if (c == '(' || c == '[' || c == '{')
            ++depth;
        else if ((c == ')' || c == ']' || c == '}') && depth > 0)
            --depth;
        else if (c == ',' && depth == 0) {
            out.push_back(trim(cur));
            cur.clear();
            ++i;
            continue;
        }
        cur += c;
        ++i;
    }
    out.push_back(trim(cur));
    if (out.size() == 1 && out[0].empty())
        out.clear();
    else if (out.size() > 1 && out.back().empty())
        out.pop_back();
    return out;
}

std::string cp_unargvec(const std::vector<std::string>& args) {
    std::string out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i)
            out += ", ";
        out += args[i];
    }
    return out;
}

std::vector<std::string> cp_spacevec(const std::string& str) {
    std::vector<std::string> out;
    std::string cur;
    bool in_word = false;
    size_t i = 0, n = str.size();
    while (i < n) {
        char c = str[i];
        if (c == '"' || c == '\'') {
            size_t e = skip_quote(str, i);
            cur.append(str, i, e - i);
            in_word = true;
            i = e;
            continue;
        }
        size_t e = skip_comment(str, i);
        if (e != i || cp_is_space(c)) {
            if (in_word)
                out.push_back(cur);
            cur.clear();
            in_word = false;
            i = e != i ? e : i + 1;
            continue;
        }
        cur += c;
        in_word = true;
        ++i;
    }
    if (in_word)
        out.push_back(cur);
    return out;
}

std::string cp_unspacevec(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i)
            out += ' ';
        out += words[i];
    }
    return out;
}

std::string cp_shift_spacevec(std::string& str) {
    size_t i = 0, n = str.size();
    while (i < n && cp_is_space(str[i]))
        ++i;
    size_t start = i;
    while (i < n && !cp_is_space(str[i])) {
        if (str[i] == '"' || str[i] == '\'')
            i = skip_quote(str, i);
        else
            ++i;
    }
    std::string word = str.substr(start, i - start);
    while (i < n && cp_is_space(str[i]))
        ++i;
    str = str.substr(i);
    return word;
}

std::string cp_unquote(const std::string& str) {
    std::string s = cp_uncomment(str);
    std::string out;
    size_t i = 0, n = s.size();
    while (i < n) {
        char c = s[i];
        if (c == '"')
            i = unquote_double(s, i + 1, out);
        else if (c == '\'') {
            size_t e = s.find('\'', i + 1);
            if (e == std::string::npos)
                e = n;
            out.append(s, i + 1, e - i - 1);
            i = e < n ? e + 1 : n;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

std::string cp_quote(const std::string& str) {
    if (cp_is_word(str))
        return str;
    std::string out = "\"";
    for (unsigned char c : str) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '$': out += "\\$"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c >= 0x20 && c < 0x7F)
                out += static_cast<char>(c);
            else {
                char buf[8];
                snprintf(buf, sizeof buf, "\\%03o", c);
                out += buf;
            }
        }
    }
    out += '"';
    return out;
}

bool cp_keyword(const std::string& arg, std::string* keyword, std::string* rest) {
    size_t n = arg.size();
    if (n == 0 || !(arg[0] >= 'A' && arg[0] <= 'Z'))
        return false;
    size_t i = 1;
    while (i < n && ((arg[i] >= 'A' && arg[i] <= 'Z') || (arg[i] >= '0' && arg[i] <= '9') || arg[i] == '_'))
        ++i;
    if (i >= n || !cp_is_space(arg[i]))
        return false;
    if (keyword)
        *keyword = arg.substr(0, i);
    if (rest)
        *rest = trim(arg.substr(i));
    return true;
}

std::vector<std::string> cp_split_line(const std::string& line) {
    std::vector<std::string> out = cp_argvec(line);
    for (auto& a : out)
        a = cp_unquote(a);
    return out;
}

std::string cp_join_line(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i)
            out += ", ";
        out += cp_quote(fields[i]);
    }
    return out;
}
