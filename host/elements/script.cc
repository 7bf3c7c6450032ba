#include "script.hh"

#include <cstdio>
#include <cstdlib>

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>

namespace {

constexpr int kMaxStepsPerRun = 10000;   // then yield to other work
constexpr int kMaxExpandDepth = 16;

void split_first(const std::string& s, std::string& first, std::string& rest) {
    size_t i = s.find_first_not_of(" \t\r\n");
    if (i == std::string::npos) {
        first.clear();
        rest.clear();
        return;
    }
    size_t j = s.find_first_of(" \t\r\n", i);
    first = s.substr(i, j == std::string::npos ? std::string::npos : j - i);
    size_t k = j == std::string::npos ? std::string::npos : s.find_first_not_of(" \t\r\n", j);
    rest = k == std::string::npos ? std::string() : s.substr(k);
    while (!rest.empty() && isspace((unsigned char) rest.back()))
        rest.pop_back();
}

bool to_number(const std::string& s, double& v) {
    if (s.empty())
        return false;
    char* end;
    v = strtod(s.c_str(), &end);
    return *end == 0;
}

std::string num_text(double v) {
    char b[64];
    if (v == double(int64_t(v)) && v > -9e18 && v < 9e18)
        snprintf(b, sizeof b, "%lld", (long long) v);
    else
        snprintf(b, sizeof b, "%g", v);
    return b;
}

bool truthy(const std::string& s) {
    double v;
    if (to_number(s, v))
        return v != 0;
    return s == "true" || s == "yes";
}

std::string trim(std::string s) {
    while (!s.empty() && isspace((unsigned char) s.back()))
        s.pop_back();
    size_t i = s.find_first_not_of(" \t\r\n");
    return i == std::string::npos ? std::string() : s.substr(i);
}

}  // namespace

int Script::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string type = "ACTIVE";
    if (Args(this, errh).bind(conf).read("TYPE", WordArg(), type).consume() < 0)
        return -1;
    if (type != "ACTIVE" && type != "PASSIVE")
        return errh->error("TYPE: expected ACTIVE or PASSIVE");
    static const std::map<std::string, Op> ops = {
        {"wait", OP_WAIT}, {"write", OP_WRITE}, {"read", OP_READ}, {"print", OP_PRINT}, {"set", OP_SET},
        {"init", OP_INIT}, {"label", OP_LABEL}, {"goto", OP_GOTO}, {"loop", OP_LOOP}, {"end", OP_END},
        {"stop", OP_STOP}, {"pause", OP_WAIT}};
    std::vector<Insn> insns;
    std::map<std::string, int> labels;
    int bad = 0;
    for (const std::string& quoted : conf) {
        std::string arg = cp_unquote(quoted);
        std::string word, rest;
        split_first(arg, word, rest);
        auto it = ops.find(word);
        if (it == ops.end()) {
            errh->error("unknown instruction %<%s%>", word.c_str());
            ++bad;
            continue;
        }
        Insn in;
        in.op = it->second;
        switch (in.op) {
        case OP_WAIT:
        case OP_PRINT:
            in.a = rest;
            break;
        case OP_WRITE:
        case OP_READ:
        case OP_SET:
        case OP_INIT:
        case OP_GOTO:
            split_first(rest, in.a, in.b);
            if (in.a.empty()) {
                errh->error("%s: missing argument", word.c_str());
                ++bad;
            }
            break;
        case OP_LABEL:
            if (rest.empty() || labels.count(rest)) {
                errh->error("label: missing or repeated name %<%s%>", rest.c_str());
                ++bad;
            }
            labels[rest] = int(insns.size());
            in.a = rest;
            break;
        default:
            break;
        }
        insns.push_back(in);
    }
    for (const Insn& in : insns)
        if (in.op == OP_GOTO && !labels.count(in.a)) {
            errh->error("goto: no label %<%s%>", in.a.c_str());
            ++bad;
        }
    if (bad)
        return -EINVAL;
    _insns = std::move(insns);
    _labels = std::move(labels);
    _passive = type == "PASSIVE";
    return 0;
}

int Script::initialize(ErrorHandler*) {
    _timer.initialize(this);
    if (!_passive) {
        _running = true;
        _timer.schedule_now();
    }
    return 0;
}

std::string Script::eval_call(const std::string& inner, ErrorHandler* errh, int depth) {
    std::string x = expand(inner, errh, depth + 1);
    std::string fn, rest;
    split_first(x, fn, rest);
    static const char* const arith[] = {"add", "sub", "mul", "div", "mod", "eq", "ne", "lt", "gt", "le", "ge", "not"};
    for (const char* a : arith)
        if (fn == a) {
            std::string s1, s2;
            split_first(rest, s1, s2);
            std::string dummy;
            split_first(s2, s2, dummy);
            double v1 = 0, v2 = 0;
            bool n1 = to_number(s1, v1), n2 = to_number(s2, v2);
            if (fn == "not")
                return truthy(s1) ? "false" : "true";
            if (fn == "eq")
                return (n1 && n2 ? v1 == v2 : s1 == s2) ? "true" : "false";
            if (fn == "ne")
                return (n1 && n2 ? v1 != v2 : s1 != s2) ? "true" : "false";
            if (!n1 || !n2) {
                errh->error("%s: expected numbers, got %<%s%> and %<%s%>", fn.c_str(), s1.c_str(), s2.c_str());
                return "";
            }
            if (fn == "add") return num_text(v1 + v2);
            if (fn == "sub") return num_text(v1 - v2);
            if (fn == "mul") return num_text(v1 * v2);
            if (fn == "div" || fn == "mod") {
                if (v2 == 0) {
                    errh->error("%s: division by zero", fn.c_str());
                    return "";
                }
                return fn == "div" ? num_text(v1 / v2) : num_text(double(int64_t(v1) % int64_t(v2)));
            }
            if (fn == "lt") return v1 < v2 ? "true" : "false";
            if (fn == "gt") return v1 > v2 ? "true" : "false";
            if (fn == "le") return v1 <= v2 ? "true" : "false";
            return v1 >= v2 ? "true" : "false";
        }
    if (_vars.count(x))
        return _vars[x];
    return trim(HandlerCall::call_read(x, this, errh));
}

std::string Script::expand(const std::string& t, ErrorHandler* errh, int depth) {
    if (depth > kMaxExpandDepth) {
        errh->error("expansion nested too deeply");
        return "";
    }
    std::string out;
    for (size_t i = 0; i < t.size();) {
        if (t[i] != '$' || i + 1 >= t.size()) {
            out += t[i++];
            continue;
        }
        if (t[i + 1] == '(') {
            int level = 0;
            size_t j = i + 1;
            for (; j < t.size(); ++j) {
                if (t[j] == '(')
                    ++level;
                else if (t[j] == ')' && --level == 0)
                    break;
            }
            if (j >= t.size()) {
                out += t.substr(i);
                break;
            }
            out += eval_call(t.substr(i + 2, j - i - 2), errh, depth);
            i = j + 1;
        } else if (t[i + 1] == '{') {
            size_t j = t.find('}', i + 2);
            if (j == std::string::npos) {
                out += t.substr(i);
                break;
            }
            out += _vars[t.substr(i + 2, j - i - 2)];
            i = j + 1;
        } else {
            size_t j = i + 1;
            while (j < t.size() && (isalnum((unsigned char) t[j]) || t[j] == '_'))
                ++j;
            if (j == i + 1) {
                out += t[i++];
                continue;
            }
            out += _vars[t.substr(i + 1, j - i - 1)];
            i = j;
        }
    }
    return out;
}

void Script::run() {
    FileErrorHandler err(stderr, declaration() + ": ");
    for (int steps = 0; steps < kMaxStepsPerRun; ++steps) {
        if (_pc >= _insns.size()) {
            _running = false;
            return;
        }
        const Insn& in = _insns[_pc++];
        switch (in.op) {
        case OP_WAIT: {
            Timestamp t = Timestamp::make_sec(1);
            std::string s = trim(expand(in.a, &err));
            if (!s.empty() && !parse_arg(SecondsArg(), s, t, &err))
                t = Timestamp::make_sec(1);
            _timer.schedule_after(t);
            return;
        }
        case OP_WRITE:
            HandlerCall::call_write(expand(in.a, &err), expand(in.b, &err), this, &err);
            break;
        case OP_READ: {
            std::string h = expand(in.a, &err);
            std::string v = HandlerCall::call_read(h, this, &err);
            if (!v.empty() && v.back() != '\n')
                v += "\n";
            fprintf(stderr, "%s:\n%s", h.c_str(), v.c_str());
            break;
        }
        case OP_PRINT: {
            std::string s = expand(in.a, &err) + "\n";
            fputs(s.c_str(), stdout);
            fflush(stdout);
            break;
        }
        case OP_SET:
            _vars[in.a] = expand(in.b, &err);
            break;
        case OP_INIT:
            if (!_vars.count(in.a))
                _vars[in.a] = expand(in.b, &err);
            break;
        case OP_LABEL:
            break;
        case OP_GOTO:
            if (in.b.empty() || truthy(trim(expand(in.b, &err))))
                _pc = size_t(_labels[in.a]);
            break;
        case OP_LOOP:
            _pc = 0;
            break;
        case OP_END:
            _running = false;
            return;
        case OP_STOP:
            _running = false;
            router()->please_stop_driver();
            return;
        }
    }
    // Many steps without a wait: let the rest of the router run first.
    _timer.schedule_now();
}

void Script::run_timer(Timer*) {
    if (_running)
        run();
}

void Script::add_handlers() {
    add_write_handler("run", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _pc = 0;
                          _running = true;
                          _timer.schedule_now();
                          return 0;
                      }),
                      Handler::h_button);
    add_read_handler("step", ReadHandlerFunction([this]() { return std::to_string(_pc) + "\n"; }));
}

QUILO_HOST_ELEMENT(Script);
