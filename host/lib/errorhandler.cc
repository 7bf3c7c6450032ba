#include <host/errorhandler.hh>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <unistd.h>

const char ErrorHandler::e_abort[] = "<-999>";
const char ErrorHandler::e_fatal[] = "<-1>";
const char ErrorHandler::e_emergency[] = "<0>";
const char ErrorHandler::e_alert[] = "<1>";
const char ErrorHandler::e_critical[] = "<2>";
const char ErrorHandler::e_error[] = "<3>";
const char ErrorHandler::e_warning[] = "<4>";
const char ErrorHandler::e_warning_annotated[] = "<4>warning: ";
const char ErrorHandler::e_notice[] = "<5>";
const char ErrorHandler::e_info[] = "<6>";
const char ErrorHandler::e_debug[] = "<7>";

namespace {

// ---- pointer formatters ----

std::string format_ip_ptr(const void* p) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    char buf[20];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

struct FormatterRegistry {
    std::mutex lock;
    std::map<std::string, std::string (*)(const void*)> map{{"ip_ptr", format_ip_ptr}};
};

FormatterRegistry& formatters() {
    static FormatterRegistry* r = new FormatterRegistry;  // never destroyed: used from static destructors
    return *r;
}

// ---- annotations ----

struct Anno {
    std::string name;   // "<" for the level annotation
    std::string raw;    // as written
};

// Parses one annotation at line[i]; on success sets a and returns its end.
size_t parse_one_anno(const std::string& line, size_t i, Anno& a, std::string* value) {
    size_t n = line.size();
    if (i >= n)
        return std::string::npos;
    if (line[i] == '<') {
        size_t j = i + 1;
        if (j < n && line[j] == '-')
            ++j;
        size_t digits = j;
        while (j < n && j - digits < 6 && line[j] >= '0' && line[j] <= '9')
            ++j;
        if (j == digits || j >= n || line[j] != '>')
            return std::string::npos;
        a.name = "<";
        a.raw = line.substr(i, j + 1 - i);
        if (value)
            *value = line.substr(i + 1, j - i - 1);
        return j + 1;
    }
    if (line[i] == '{') {
        size_t j = i + 1;
        while (j < n && (isalnum(static_cast<unsigned char>(line[j])) || line[j] == '_'))
            ++j;
        if (j == i + 1 || j >= n || line[j] != ':')
            return std::string::npos;
        size_t k = j + 1;
        while (k < n && line[k] != '}' && line[k] != '\n')
            ++k;
        if (k >= n || line[k] != '}')
            return std::string::npos;
        a.name = line.substr(i + 1, j - i - 1);
        a.raw = line.substr(i, k + 1 - i);
        if (value)
            *value = line.substr(j + 1, k - j - 1);
        return k + 1;
    }
    return std::string::npos;
}

std::vector<Anno> parse_annos(const std::string& line, size_t* text_pos) {
    std::vector<Anno> v;
    size_t i = 0;
    while (true) {
        Anno a;
        size_t e = parse_one_anno(line, i, a, nullptr);
        if (e == std::string::npos)
            break;
        v.push_back(std::move(a));
        i = e;
    }
    *text_pos = i;
    return v;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> v;
    size_t start = 0;
    while (true) {
        size_t nl = s.find('\n', start);
        if (nl == std::string::npos) {
            if (start < s.size() || v.empty())
                v.push_back(s.substr(start));
            break;
        }
        v.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    return v;
}

int level_of_line(const std::string& line, int dflt) {
    int level = dflt;
    ErrorHandler::parse_anno(line, &level, nullptr);
    return level;
}

// ---- printf-like formatting ----

void append_formatted(std::string& out, const char* pfmt, ...) {
    char buf[256];
    va_list val;
    va_start(val, pfmt);
    int n = vsnprintf(buf, sizeof buf, pfmt, val);
    va_end(val);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof buf) {
        out.append(buf, n);
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(val, pfmt);
    vsnprintf(big.data(), big.size(), pfmt, val);
    va_end(val);
    out.append(big.data(), n);
}

// "%{name}" and "%p{name}": the pointer through the formatter registered
// under `name`, else as "%p"; a null pointer as "(null)".
void append_named_pointer(std::string& out, const std::string& name, const void* ptr) {
    std::string (*fn)(const void*) = nullptr;
    {
        auto& r = formatters();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.map.find(name);
        if (it != r.map.end())
            fn = it->second;
    }
    if (!ptr)
        out += "(null)";
    else if (fn)
        out += fn(ptr);
    else
        append_formatted(out, "%p", ptr);
}

std::atomic<ErrorHandler*> the_default{nullptr};

}  // namespace

// ---- ErrorHandler ----

ErrorHandler* ErrorHandler::default_handler() {
    ErrorHandler* e = the_default.load(std::memory_order_acquire);
    if (e)
        return e;
    static FileErrorHandler* stderr_handler = new FileErrorHandler(stderr);
    return stderr_handler;
}

void ErrorHandler::set_default_handler(ErrorHandler* errh) {
    the_default.store(errh, std::memory_order_release);
}

ErrorHandler* ErrorHandler::silent_handler() {
    static SilentErrorHandler* silent = new SilentErrorHandler;
    return silent;
}

void ErrorHandler::add_pointer_formatter(const char* name, std::string (*fn)(const void*)) {
    auto& r = formatters();
    std::lock_guard<std::mutex> g(r.lock);
    r.map[name] = fn;
}

void ErrorHandler::remove_pointer_formatter(const char* name) {
    auto& r = formatters();
    std::lock_guard<std::mutex> g(r.lock);
    r.map.erase(name);
}

std::string ErrorHandler::make_anno(const std::string& name, const std::string& value) {
    std::string v;
    for (char c : value)
        if (c != '}' && c != '\n')
            v += c;
    return "{" + name + ":" + v + "}";
}

std::string ErrorHandler::make_landmark_anno(const std::string& landmark) {
    return landmark.empty() ? std::string() : make_anno("l", landmark);
}

std::string ErrorHandler::level_anno(int level) {
    return "<" + std::to_string(level) + ">";
}

size_t ErrorHandler::parse_anno(const std::string& line, int* level, std::string* landmark) {
    size_t i = 0;
    while (true) {
        Anno a;
        std::string value;
        size_t e = parse_one_anno(line, i, a, &value);
        if (e == std::string::npos)
            return i;
        if (a.name == "<" && level)
            *level = atoi(value.c_str());
        else if (a.name == "l" && landmark)
            *landmark = value;
        i = e;
    }
}

std::string ErrorHandler::anno_value(const std::string& line, const std::string& name, bool* found) {
    size_t i = 0;
    if (found)
        *found = false;
    std::string result;
    while (true) {
        Anno a;
        std::string value;
        size_t e = parse_one_anno(line, i, a, &value);
        if (e == std::string::npos)
            return result;
        if (a.name == name) {
            if (found)
                *found = true;
            result = value;
        }
        i = e;
    }
}

std::string ErrorHandler::combine_anno(const std::string& text, const std::string& anno) {
    if (anno.empty())
        return text;
    size_t anno_text_pos;
    std::vector<Anno> annos = parse_annos(anno, &anno_text_pos);
    std::string prefix = anno.substr(anno_text_pos);
    std::vector<std::string> lines = split_lines(text);
    std::string out;
    for (size_t li = 0; li < lines.size(); ++li) {
        const std::string& line = lines[li];
        size_t pos;
        std::vector<Anno> mine = parse_annos(line, &pos);
        out.append(line, 0, pos);
        for (const Anno& a : annos) {
            bool present = false;
            for (const Anno& m : mine)
                if (m.name == a.name)
                    present = true;
            if (!present)
                out += a.raw;
        }
        out += prefix;
        out.append(line, pos, std::string::npos);
        if (li + 1 < lines.size())
            out += '\n';
    }
    return out;
}

std::string ErrorHandler::render_line(const std::string& line, int* level) {
    std::string landmark;
    int lv = el_info;
    size_t pos = parse_anno(line, &lv, &landmark);
    if (level)
        *level = lv;
    std::string out;
    if (!landmark.empty()) {
        out = landmark;
        out += ": ";
    }
    out.append(line, pos, std::string::npos);
    return out;
}

std::string ErrorHandler::vformat(const char* fmt, va_list val) {
    std::string out;
    if (!fmt)
        return out;
    const char* p = fmt;
    while (*p) {
        if (*p != '%') {
            const char* q = strchr(p, '%');
            size_t n = q ? static_cast<size_t>(q - p) : strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        if (*p == '<' || *p == '>') {
            out += '\'';
            ++p;
            continue;
        }
        if (*p == '{') {
            const char* close = strchr(p, '}');
            if (!close) {
                out.append(start);
                break;
            }
            std::string name(p + 1, close - p - 1);
            const void* ptr = va_arg(val, const void*);
            p = close + 1;
            append_named_pointer(out, name, ptr);
            continue;
        }
        // A printf conversion: rebuild its format.
        std::string pfmt = "%";
        while (*p && strchr("-+ #0'", *p))
            pfmt += *p++;
        if (*p == '*') {
            pfmt += std::to_string(va_arg(val, int));
            ++p;
        } else
            while (*p >= '0' && *p <= '9')
                pfmt += *p++;
        if (*p == '.') {
            pfmt += *p++;
            if (*p == '*') {
                int prec = va_arg(val, int);
                pfmt += std::to_string(prec < 0 ? 0 : prec);
                ++p;
            } else
                while (*p >= '0' && *p <= '9')
                    pfmt += *p++;
        }
        enum { l_none, l_hh, l_h, l_l, l_ll, l_z, l_t, l_j, l_L } len = l_none;
        if (p[0] == 'h' && p[1] == 'h') len = l_hh, p += 2;
        else if (p[0] == 'h') len = l_h, ++p;
        else if (p[0] == 'l' && p[1] == 'l') len = l_ll, p += 2;
        else if (p[0] == 'l') len = l_l, ++p;
        else if (p[0] == 'q') len = l_ll, ++p;
        else if (p[0] == 'z') len = l_z, ++p;
        else if (p[0] == 't') len = l_t, ++p;
        else if (p[0] == 'j') len = l_j, ++p;
        else if (p[0] == 'L') len = l_L, ++p;
        char conv = *p;
        if (!conv) {
            out.append(start);
            break;
        }
        ++p;
        switch (conv) {
        case 'd':
        case 'i': {
            long long v;
            if (len == l_l) v = va_arg(val, long);
            else if (len == l_ll) v = va_arg(val, long long);
            else if (len == l_z) v = va_arg(val, ssize_t);
            else if (len == l_t) v = va_arg(val, ptrdiff_t);
            else if (len == l_j) v = va_arg(val, intmax_t);
            else {
                v = va_arg(val, int);
                if (len == l_hh) v = static_cast<signed char>(v);
                else if (len == l_h) v = static_cast<short>(v);
            }
            append_formatted(out, (pfmt + "ll" + conv).c_str(), v);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long v;
            if (len == l_l) v = va_arg(val, unsigned long);
            else if (len == l_ll) v = va_arg(val, unsigned long long);
            else if (len == l_z) v = va_arg(val, size_t);
            else if (len == l_t) v = static_cast<unsigned long long>(va_arg(val, ptrdiff_t));
            else if (len == l_j) v = va_arg(val, uintmax_t);
            else {
                v = va_arg(val, unsigned);
                if (len == l_hh) v = static_cast<unsigned char>(v);
                else if (len == l_h) v = static_cast<unsigned short>(v);
            }
            append_formatted(out, (pfmt + "ll" + conv).c_str(), v);
            break;
        }
        case 'c':
            append_formatted(out, (pfmt + 'c').c_str(), va_arg(val, int));
            break;
        case 's': {
            const char* s = va_arg(val, const char*);
            append_formatted(out, (pfmt + 's').c_str(), s ? s : "(null)");
            break;
        }
        case 'p': {
            const void* ptr = va_arg(val, const void*);
            if (*p == '{') {
                const char* close = strchr(p, '}');
                if (close) {
                    std::string name(p + 1, close - p - 1);
                    p = close + 1;
                    append_named_pointer(out, name, ptr);
                    break;
                }
            }
            append_formatted(out, (pfmt + 'p').c_str(), ptr);
            break;
        }
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            if (len == l_L)
                append_formatted(out, (pfmt + 'L' + conv).c_str(), va_arg(val, long double));
            else
                append_formatted(out, (pfmt + conv).c_str(), va_arg(val, double));
            break;
        case 'n':
            (void) va_arg(val, void*);  // never written through
            break;
        default:
            // Unknown conversion: printed as written, consuming nothing.
            out.append(start, p - start);
            break;
        }
    }
    return out;
}

std::string ErrorHandler::format(const char* fmt, ...) {
    va_list val;
    va_start(val, fmt);
    std::string s = vformat(fmt, val);
    va_end(val);
    return s;
}

std::string ErrorHandler::decorate(const std::string& str) {
    return str;
}

void* ErrorHandler::emit(const std::string&, void* user_data, bool) {
    return user_data;
}

void ErrorHandler::account(int level) {
    if (level <= el_error)
        ++nerrors_;
    else if (level == el_warning)
        ++nwarnings_;
}

int ErrorHandler::xmessage(const std::string& str) {
    std::string xs = decorate(str);
    std::vector<std::string> lines = split_lines(xs);
    int min_level = el_debug + 1;
    void* user_data = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        int level = level_of_line(lines[i], el_info);
        if (level < min_level)
            min_level = level;
        user_data = emit(lines[i], user_data, i + 1 < lines.size());
    }
    if (min_level > el_debug)
        min_level = el_info;
    account(min_level);
    return min_level <= el_error ? -EINVAL : 0;
}

int ErrorHandler::xmessage(const std::string& anno, const std::string& str) {
    return xmessage(combine_anno(str, anno));
}

int ErrorHandler::xmessage(int level, const std::string& str) {
    return xmessage(combine_anno(str, level_anno(level)));
}

int ErrorHandler::vxmessage(const std::string& anno, const char* fmt, va_list val) {
    return xmessage(combine_anno(vformat(fmt, val), anno));
}

#define QUILO_ERRH_BODY(anno)              \
    va_list val;                           \
    va_start(val, fmt);                    \
    int r = vxmessage((anno), fmt, val);   \
    va_end(val);

void ErrorHandler::debug(const char* fmt, ...) {
    QUILO_ERRH_BODY(e_debug)
    (void) r;
}

void ErrorHandler::message(const char* fmt, ...) {
    QUILO_ERRH_BODY(e_info)
    (void) r;
}

int ErrorHandler::warning(const char* fmt, ...) {
    QUILO_ERRH_BODY(e_warning_annotated)
    return r;
}

int ErrorHandler::error(const char* fmt, ...) {
    QUILO_ERRH_BODY(e_error)
    return r;
}

int ErrorHandler::fatal(const char* fmt, ...) {
    QUILO_ERRH_BODY(e_fatal)
    return r;
}

void ErrorHandler::ldebug(const std::string& landmark, const char* fmt, ...) {
    QUILO_ERRH_BODY(make_landmark_anno(landmark) + e_debug)
    (void) r;
}

void ErrorHandler::lmessage(const std::string& landmark, const char* fmt, ...) {
    QUILO_ERRH_BODY(make_landmark_anno(landmark) + e_info)
    (void) r;
}

int ErrorHandler::lwarning(const std::string& landmark, const char* fmt, ...) {
    QUILO_ERRH_BODY(make_landmark_anno(landmark) + e_warning_annotated)
    return r;
}

int ErrorHandler::lerror(const std::string& landmark, const char* fmt, ...) {
    QUILO_ERRH_BODY(make_landmark_anno(landmark) + e_error)
    return r;
}

#undef QUILO_ERRH_BODY

// ---- FileErrorHandler ----

FileErrorHandler::FileErrorHandler(FILE* f, const std::string& context) : f_(f), context_(context) {}

void* FileErrorHandler::emit(const std::string& str, void* user_data, bool more) {
    // One message, all its lines, in one write(2).
    thread_local std::string buffer;
    buffer += context_;
    buffer += render_line(str);
    buffer += '\n';
    if (!more) {
        if (f_) {
            fflush(f_);
            int fd = fileno(f_);
            const char* p = buffer.data();
            size_t left = buffer.size();
            while (left > 0) {
                ssize_t w = ::write(fd, p, left);
                if (w < 0) {
                    if (errno == EINTR)
                        continue;
                    break;
                }
                p += w;
                left -= static_cast<size_t>(w);
            }
        }
        buffer.clear();
    }
    return user_data;
}

// ---- StringErrorHandler ----

void* StringErrorHandler::emit(const std::string& str, void* user_data, bool) {
    std::string line = render_line(str);
    std::lock_guard<std::mutex> g(lock_);
    text_ += line;
    text_ += '\n';
    return user_data;
}

std::string StringErrorHandler::text() const {
    std::lock_guard<std::mutex> g(lock_);
    return text_;
}

std::vector<std::string> StringErrorHandler::lines() const {
    std::string t = text();
    std::vector<std::string> v;
    size_t start = 0;
    while (start < t.size()) {
        size_t nl = t.find('\n', start);
        if (nl == std::string::npos)
            nl = t.size();
        v.push_back(t.substr(start, nl - start));
        start = nl + 1;
    }
    return v;
}

void StringErrorHandler::clear() {
    std::lock_guard<std::mutex> g(lock_);
    text_.clear();
}

// ---- veneers ----

ErrorVeneer::ErrorVeneer(ErrorHandler* errh) : errh_(errh ? errh : ErrorHandler::default_handler()) {}

std::string ErrorVeneer::decorate(const std::string& str) {
    return errh_->decorate(str);
}

void* ErrorVeneer::emit(const std::string& str, void* user_data, bool more) {
    return errh_->emit(str, user_data, more);
}

void ErrorVeneer::account(int level) {
    ErrorHandler::account(level);
    errh_->account(level);
}

PrefixErrorHandler::PrefixErrorHandler(ErrorHandler* errh, const std::string& prefix)
    : ErrorVeneer(errh), prefix_(prefix) {}

std::string PrefixErrorHandler::decorate(const std::string& str) {
    return ErrorVeneer::decorate(combine_anno(str, prefix_));
}

ContextErrorHandler::ContextErrorHandler(ErrorHandler* errh, const std::string& context, const std::string& indent,
                                         const std::string& context_landmark)
    : ErrorVeneer(errh), context_(context), indent_(indent), context_landmark_(context_landmark) {}

std::string ContextErrorHandler::decorate(const std::string& str) {
    std::string lm = make_landmark_anno(context_landmark_);
    std::string s = combine_anno(str, lm + indent_);
    if (!context_printed_ && !context_.empty()) {
        int level = el_info;
        parse_anno(str, &level, nullptr);
        std::string ctx = combine_anno(context_, lm + level_anno(level));
        s = ctx + "\n" + s;
    }
    context_printed_ = true;
    return ErrorVeneer::decorate(s);
}

LandmarkErrorHandler::LandmarkErrorHandler(ErrorHandler* errh, const std::string& landmark)
    : ErrorVeneer(errh), landmark_(landmark) {}

std::string LandmarkErrorHandler::decorate(const std::string& str) {
    return ErrorVeneer::decorate(combine_anno(str, make_landmark_anno(landmark_)));
}

// ---- click_chatter ----

void click_vchatter(const char* fmt, va_list val) {
    ErrorHandler* errh = ErrorHandler::default_handler();
    errh->xmessage(ErrorHandler::combine_anno(errh->vformat(fmt, val), ErrorHandler::e_info));
}

void click_chatter(const char* fmt, ...) {
    va_list val;
    va_start(val, fmt);
    click_vchatter(fmt, val);
    va_end(val);
}
