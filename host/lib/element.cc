#include <host/args.hh>
#include <host/confparse.hh>
#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/etheraddress.hh>
#include <host/handlercall.hh>
#include <host/router.hh>
#include <host/routerthread.hh>
#include <host/task.hh>

#include <charconv>
#include <cstring>

#include "internal.hh"

const char Element::PORTS_0_0[] = "0/0";
const char Element::PORTS_0_1[] = "0/1";
const char Element::PORTS_1_0[] = "1/0";
const char Element::PORTS_1_1[] = "1/1";
const char Element::PORTS_1_1X2[] = "1/1-2";
const char Element::AGNOSTIC[] = "a";
const char Element::PUSH[] = "h";
const char Element::PULL[] = "l";
const char Element::PUSH_TO_PULL[] = "h/l";
const char Element::PULL_TO_PUSH[] = "l/h";
const char Element::PROCESSING_A_AH[] = "a/ah";
const char Element::COMPLETE_FLOW[] = "x/x";

namespace quilo_host {

static bool parse_range(const char*& s, const char* end, PortRange& r) {
    auto num = [&](int& v) {
        if (s >= end || *s < '0' || *s > '9')
            return false;
        v = 0;
        while (s < end && *s >= '0' && *s <= '9') {
            v = v * 10 + (*s - '0');
            if (v > 100000)
                return false;
            ++s;
        }
        return true;
    };
    if (s < end && *s == '-') {
        ++s;
        r.lo = 0;
        if (s == end) {
            r.hi = -1;
            return true;
        }
        return num(r.hi);
    }
    if (!num(r.lo))
        return false;
    if (s < end && *s == '-') {
        ++s;
        if (s == end) {
            r.hi = -1;
            return true;
        }
        if (!num(r.hi) || r.hi < r.lo)
            return false;
        return true;
    }
    r.hi = r.lo;
    return true;
}

bool parse_port_count(const char* s, PortRange& in, PortRange& out, bool& out_equals_in) {
    out_equals_in = false;
    if (!s)
        return false;
    const char* slash = strchr(s, '/');
    const char* end = s + strlen(s);
    if (!slash) {
        const char* p = s;
        if (!parse_range(p, end, in) || p != end)
            return false;
        out = in;
        return true;
    }
    const char* p = s;
    if (!parse_range(p, slash, in) || p != slash)
        return false;
    p = slash + 1;
    if (p + 1 == end && *p == '=') {
        out_equals_in = true;
        out = in;
        return true;
    }
    return parse_range(p, end, out) && p == end;
}

static char code_at(const char* s, bool isoutput, int port, char dflt) {
    if (!s || !*s)
        return dflt;
    const char* slash = strchr(s, '/');
    const char* b = s;
    const char* e = slash ? slash : s + strlen(s);
    if (isoutput && slash) {
        b = slash + 1;
        e = b + strlen(b);
    }
    if (b == e)
        return dflt;
    int n = int(e - b);
    return b[port < n ? port : n - 1];
}

char processing_code(const char* processing, bool isoutput, int port) {
    char c = code_at(processing, isoutput, port, 'a');
    return (c == 'h' || c == 'l') ? c : 'a';
}

char flow_code_char(const char* flow_code, bool isoutput, int port) {
    return code_at(flow_code, isoutput, port, 'x');
}

}  // namespace quilo_host

using namespace quilo_host;

Element::Element() = default;
Element::~Element() = default;

const char* Element::port_count() const { return PORTS_0_0; }
const char* Element::processing() const { return AGNOSTIC; }
const char* Element::flow_code() const { return COMPLETE_FLOW; }
const char* Element::flags() const { return ""; }

int Element::flag_value(int flag) const {
    const char* f = flags();
    for (const char* p = f; p && *p; ++p) {
        if (*p == flag && (p == f || p[-1] == ' ' || p[-1] == ',')) {
            ++p;
            if (*p < '0' || *p > '9')
                return 1;
            int v = 0;
            while (*p >= '0' && *p <= '9')
                v = v * 10 + (*p++ - '0');
            return v;
        }
    }
    return -1;
}

void* Element::cast(const char* name) {
    if (name && strcmp(name, class_name()) == 0)
        return this;
    return nullptr;
}

void* Element::port_cast(bool, int, const char* name) {
    return cast(name);
}

int Element::configure_phase() const { return CONFIGURE_PHASE_DEFAULT; }

int Element::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    return Args(conf, this, errh).complete();
}

void Element::add_handlers() {}
int Element::initialize(ErrorHandler*) { return 0; }
void Element::take_state(Element*, ErrorHandler*) {}
void Element::cleanup(CleanupStage) {}

Element* Element::hotswap_element() const {
    Router* old = _router ? _router->hotswap_router() : nullptr;
    if (!old)
        return nullptr;
    Element* e = old->find(_name);
    if (e && strcmp(e->class_name(), class_name()) == 0)
        return e;
    return nullptr;
}

bool Element::can_live_reconfigure() const { return false; }

int Element::live_reconfigure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (!can_live_reconfigure())
        return errh->error("cannot reconfigure %s live", declaration().c_str());
    return configure(conf, errh);
}

void Element::push(int, Packet* p) {
    if ((p = simple_action(p)))
        output(0).push(p);
}

Packet* Element::pull(int) {
    Packet* p = input(0).pull();
    if (p)
        p = simple_action(p);
    return p;
}

Packet* Element::simple_action(Packet* p) { return p; }
bool Element::run_task(Task*) { return false; }
void Element::run_timer(Timer*) {}
void Element::selected(int fd, int) { selected(fd); }
void Element::selected(int) {}

Master* Element::master() const { return _router ? _router->master() : nullptr; }

std::string Element::declaration() const {
    return _name + " :: " + class_name();
}

std::string Element::configuration() const {
    return cp_unargvec(_conf);
}

bool Element::port_flow(bool isoutput, int p, int q) const {
    // isoutput: does output p receive from input q?  else: input p to output q.
    int in = isoutput ? q : p, out = isoutput ? p : q;
    char ci = flow_code_char(flow_code(), false, in);
    char co = flow_code_char(flow_code(), true, out);
    if (ci == '#' || co == '#')
        return ci == co && in == out;
    return ci == co;
}

std::string element_declaration(const Element* e) {
    return e ? e->declaration() : std::string("(null)");
}

namespace {
struct RegisterElementFormatter {
    RegisterElementFormatter() {
        ErrorHandler::add_pointer_formatter("element", [](const void* p) {
            return element_declaration(static_cast<const Element*>(p));
        });
    }
} register_element_formatter;
}  // namespace

// Handlers.

void Element::add_read_handler(const std::string& name, ReadHandlerCallback f, void* user_data, uint32_t flags) {
    if (_router)
        _router->add_read_handler(this, name, f, user_data, flags);
}

void Element::add_read_handler(const std::string& name, ReadHandlerCallback f, int user_data, uint32_t flags) {
    add_read_handler(name, f, reinterpret_cast<void*>(intptr_t(user_data)), flags);
}

void Element::add_read_handler(const std::string& name, ReadHandlerFunction f, uint32_t flags) {
    if (_router)
        _router->add_read_handler(this, name, std::move(f), flags);
}

void Element::add_write_handler(const std::string& name, WriteHandlerCallback f, void* user_data, uint32_t flags) {
    if (_router)
        _router->add_write_handler(this, name, f, user_data, flags);
}

void Element::add_write_handler(const std::string& name, WriteHandlerCallback f, int user_data, uint32_t flags) {
    add_write_handler(name, f, reinterpret_cast<void*>(intptr_t(user_data)), flags);
}

void Element::add_write_handler(const std::string& name, WriteHandlerFunction f, uint32_t flags) {
    if (_router)
        _router->add_write_handler(this, name, std::move(f), flags);
}

void Element::set_handler(const std::string& name, int flags, HandlerCallback f, void* rud, void* wud) {
    if (_router)
        _router->set_handler(this, name, flags, f, rud, wud);
}

void Element::set_handler(const std::string& name, int flags, HandlerCallback f, int rud, int wud) {
    set_handler(name, flags, f, reinterpret_cast<void*>(intptr_t(rud)), reinterpret_cast<void*>(intptr_t(wud)));
}

void Element::add_task_handlers(Task* task, const std::string& prefix) {
    add_read_handler(prefix + "scheduled", ReadHandlerFunction([task]() {
                         return std::string(task->scheduled() ? "true" : "false");
                     }));
    add_read_handler(prefix + "home_thread", ReadHandlerFunction([task]() {
                         return std::to_string(task->home_thread_id());
                     }));
    add_read_handler(prefix + "tickets", ReadHandlerFunction([task]() { return std::to_string(task->tickets()); }));
    add_write_handler(prefix + "tickets", WriteHandlerFunction([task](const std::string& s, ErrorHandler* errh) {
                          int n;
                          if (!parse_arg(BoundedIntArg(1, Task::MAX_TICKETS), cp_uncomment(s), n, errh))
                              return -EINVAL;
                          task->set_tickets(n);
                          return 0;
                      }));
}

// Keyword reconfiguration.

namespace {

// Index of the argument with keyword kw, or -1.
int find_keyword(const std::vector<std::string>& conf, const char* kw) {
    int found = -1;
    for (size_t i = 0; i < conf.size(); ++i) {
        std::string k;
        if (cp_keyword(conf[i], &k, nullptr) && k == kw)
            found = int(i);   // the last one wins, as in Args
    }
    return found;
}

// Index of the n-th positional argument, or -1.
int find_positional(const std::vector<std::string>& conf, int n) {
    int seen = 0;
    for (size_t i = 0; i < conf.size(); ++i) {
        if (cp_keyword(conf[i], nullptr, nullptr))
            continue;
        if (seen++ == n)
            return int(i);
    }
    return -1;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && cp_is_space(s[b]))
        ++b;
    while (e > b && cp_is_space(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

}  // namespace

int Element::reconfigure(const std::vector<std::string>& conf, ErrorHandler* errh) {
    if (!can_live_reconfigure())
        return errh->error("%s cannot be reconfigured live", declaration().c_str());
    std::vector<std::string> c = conf;
    int r = live_reconfigure(c, errh);
    if (r >= 0)
        _conf = conf;
    return r;
}

int Element::reconfigure_keyword_handler(const std::string& value, Element* e, void* keyword, ErrorHandler* errh) {
    const char* kw = static_cast<const char*>(keyword);
    std::vector<std::string> conf = e->_conf;
    std::string arg = std::string(kw) + " " + trim(value);
    int i = find_keyword(conf, kw);
    if (i >= 0)
        conf[i] = arg;
    else
        conf.push_back(arg);
    return e->reconfigure(conf, errh);
}

int Element::reconfigure_positional_handler(const std::string& value, Element* e, void* index, ErrorHandler* errh) {
    int n = int(reinterpret_cast<intptr_t>(index));
    std::vector<std::string> conf = e->_conf;
    int i = find_positional(conf, n);
    if (i >= 0)
        conf[i] = trim(value);
    else {
        int npos = 0;
        for (auto& a : conf)
            if (!cp_keyword(a, nullptr, nullptr))
                ++npos;
        if (n != npos)
            return errh->error("no positional argument %d", n);
        // Positional arguments come before keywords.
        size_t at = 0;
        while (at < conf.size() && !cp_keyword(conf[at], nullptr, nullptr))
            ++at;
        conf.insert(conf.begin() + at, trim(value));
    }
    return e->reconfigure(conf, errh);
}

std::string Element::read_keyword_handler(Element* e, void* keyword) {
    const char* kw = static_cast<const char*>(keyword);
    int i = find_keyword(e->_conf, kw);
    if (i < 0)
        return std::string();
    std::string rest;
    cp_keyword(e->_conf[i], nullptr, &rest);
    return rest;
}

std::string Element::read_positional_handler(Element* e, void* index) {
    int i = find_positional(e->_conf, int(reinterpret_cast<intptr_t>(index)));
    return i < 0 ? std::string() : e->_conf[i];
}

void Element::add_reconfigure_handlers(const std::string& handler, const char* keyword, int position) {
    std::string kw = keyword;
    // Index of the argument that holds the keyword's value; *positional
    // tells whether it was written without the keyword.
    auto locate = [kw, position](const std::vector<std::string>& conf, bool* positional) {
        int i = find_keyword(conf, kw.c_str());
        *positional = false;
        if (i < 0 && position >= 0) {
            i = find_positional(conf, position);
            *positional = i >= 0;
        }
        return i;
    };
    add_read_handler(handler, ReadHandlerFunction([this, locate]() {
                         bool positional;
                         int i = locate(_conf, &positional);
                         if (i < 0)
                             return std::string();
                         if (positional)
                             return _conf[i];
                         std::string rest;
                         cp_keyword(_conf[i], nullptr, &rest);
                         return rest;
                     }));
    add_write_handler(handler, WriteHandlerFunction([this, locate, kw](const std::string& value, ErrorHandler* errh) {
                          std::vector<std::string> conf = _conf;
                          bool positional;
                          int i = locate(conf, &positional);
                          std::string v = trim(value);
                          if (i < 0)
                              conf.push_back(kw + " " + v);
                          else
                              conf[i] = positional ? v : kw + " " + v;
                          return reconfigure(conf, errh);
                      }));
}

int Element::add_select(int fd, int mask) {
    if (!_router)
        return -EINVAL;
    return _router->add_select(this, fd, mask);
}

int Element::remove_select(int fd, int mask) {
    if (!_router)
        return -EINVAL;
    return _router->remove_select(this, fd, mask);
}

// Data handler text forms.

namespace {
template <typename T> std::string unparse_int(T v) { return std::to_string(v); }
template <typename T> bool parse_int(const std::string& s, T& v, ErrorHandler* errh) {
    return parse_arg(IntArg(), trim(s), v, errh);
}
}  // namespace

#define INT_DATA(T)                                                                                 \
    std::string data_handler_unparse(const T& v) { return unparse_int(v); }                       \
    bool data_handler_parse(const std::string& s, T& v, ErrorHandler* errh) { return parse_int(s, v, errh); }
INT_DATA(char)
INT_DATA(signed char)
INT_DATA(unsigned char)
INT_DATA(short)
INT_DATA(unsigned short)
INT_DATA(int)
INT_DATA(unsigned)
INT_DATA(long)
INT_DATA(unsigned long)
INT_DATA(long long)
INT_DATA(unsigned long long)
#undef INT_DATA

std::string data_handler_unparse(const bool& v) { return v ? "true" : "false"; }
bool data_handler_parse(const std::string& s, bool& v, ErrorHandler* errh) {
    return parse_arg(BoolArg(), trim(s), v, errh);
}

std::string data_handler_unparse(const double& v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof(buf), v);
    return std::string(buf, r.ptr);
}
bool data_handler_parse(const std::string& s, double& v, ErrorHandler* errh) {
    return parse_arg(DoubleArg(), trim(s), v, errh);
}

std::string data_handler_unparse(const std::string& v) { return v; }
bool data_handler_parse(const std::string& s, std::string& v, ErrorHandler*) {
    v = s;
    return true;
}

std::string data_handler_unparse(const IPAddress& v) { return v.unparse(); }
bool data_handler_parse(const std::string& s, IPAddress& v, ErrorHandler* errh) {
    return parse_arg(IPAddressArg(), trim(s), v, errh);
}

std::string data_handler_unparse(const EtherAddress& v) { return v.unparse(); }
bool data_handler_parse(const std::string& s, EtherAddress& v, ErrorHandler* errh) {
    return parse_arg(EtherAddressArg(), trim(s), v, errh);
}

std::string data_handler_unparse(const Timestamp& v) { return v.unparse(); }
bool data_handler_parse(const std::string& s, Timestamp& v, ErrorHandler* errh) {
    return parse_arg(SecondsArg(), trim(s), v, errh);
}
