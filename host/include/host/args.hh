// Args: keyword and positional configuration arguments, Click style.
//
//   int Foo::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
//       return Args(conf, this, errh)
//           .read_mp("LIMIT", limit_)              // mandatory, may be positional
//           .read("BURST", BoundedIntArg(1, 1000), burst_)
//           .read_or_set("ACTIVE", active_, true)
//           .complete();
//   }
//
// An argument "KEYWORD value" (upper-case word, whitespace, value) is a
// keyword argument and may appear anywhere; other arguments are positional and
// are taken, in order, by the read_p/read_mp forms (keyword-like text meant
// as a positional value has to be quoted).  An empty positional argument
// counts as absent.  When a keyword is given several times the last one wins
// (read_all collects them all).
//
// Values reach the caller's variables only when consume(), complete() or
// execute() succeeds: after any error nothing is assigned.  A variable whose
// argument is absent is left alone (read_or_set assigns its default).
//
// Errors go to the ErrorHandler (nullptr: counted but silent) in the form
// "KEYWORD: expected integer", "missing mandatory KEYWORD argument",
// "unknown keyword 'FOO'", "too many arguments".  All errors are reported.
//
// Parsers: any type with
//     bool parse(const std::string& str, T& result, Args& args) [const]
// (or, for two results, parse(str, T1&, T2&, Args&)) that reports problems
// with args.error(...) and returns false.
#ifndef QUILO_HOST_ARGS_HH
#define QUILO_HOST_ARGS_HH

#include <cerrno>
#include <concepts>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <host/errorhandler.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>

class Args;

template <typename T> struct DefaultArg;

class Args {
 public:
    enum { mandatory = 1, positional = 2 };

    explicit Args(ErrorHandler* errh = nullptr);
    Args(const void* context, ErrorHandler* errh);
    Args(const std::vector<std::string>& conf, ErrorHandler* errh);
    Args(const std::vector<std::string>& conf, const void* context, ErrorHandler* errh);
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

    // Binds conf: consume() then removes the arguments it used from it.
    Args& bind(std::vector<std::string>& conf);
    Args& push_back(const std::string& arg);
    Args& push_back_args(const std::string& text);  // cp_argvec(text)

    const void* context() const { return context_; }  // the element being configured
    ErrorHandler* errh() const { return errh_; }

    // Reports an error (prefixed "KEYWORD: " while a value is being parsed).
    // Returns -EINVAL.
    int error(const char* fmt, ...);
    int warning(const char* fmt, ...);
    // The keyword of the value being parsed ("" outside a read).
    const std::string& keyword() const { return cur_kw_; }

    // True while no error occurred.
    bool status() const { return nerrors_ == 0; }
    // Sets x to whether the last read found (and parsed) its argument.
    Args& read_status(bool& x) { x = last_found_; return *this; }

    // Reads.  kw may be nullptr for a purely positional argument.
    template <typename T> Args& read(const char* kw, T& x) { return read_flags(kw, 0, DefaultArg<T>(), x); }
    template <typename P, typename T> Args& read(const char* kw, const P& p, T& x) { return read_flags(kw, 0, p, x); }
    template <typename P, typename T1, typename T2>
    Args& read(const char* kw, const P& p, T1& x1, T2& x2) { return read_flags(kw, 0, p, x1, x2); }

    template <typename T> Args& read_m(const char* kw, T& x) { return read_flags(kw, mandatory, DefaultArg<T>(), x); }
    template <typename P, typename T> Args& read_m(const char* kw, const P& p, T& x) { return read_flags(kw, mandatory, p, x); }
    template <typename P, typename T1, typename T2>
    Args& read_m(const char* kw, const P& p, T1& x1, T2& x2) { return read_flags(kw, mandatory, p, x1, x2); }

    template <typename T> Args& read_p(const char* kw, T& x) { return read_flags(kw, positional, DefaultArg<T>(), x); }
    template <typename P, typename T> Args& read_p(const char* kw, const P& p, T& x) { return read_flags(kw, positional, p, x); }
    template <typename P, typename T1, typename T2>
    Args& read_p(const char* kw, const P& p, T1& x1, T2& x2) { return read_flags(kw, positional, p, x1, x2); }

    template <typename T> Args& read_mp(const char* kw, T& x) { return read_flags(kw, mandatory | positional, DefaultArg<T>(), x); }
    template <typename P, typename T> Args& read_mp(const char* kw, const P& p, T& x) { return read_flags(kw, mandatory | positional, p, x); }
    template <typename P, typename T1, typename T2>
    Args& read_mp(const char* kw, const P& p, T1& x1, T2& x2) { return read_flags(kw, mandatory | positional, p, x1, x2); }

    template <typename T, typename V> Args& read_or_set(const char* kw, T& x, const V& dflt) {
        return read_or_set_flags(kw, 0, DefaultArg<T>(), x, dflt);
    }
    template <typename P, typename T, typename V> Args& read_or_set(const char* kw, const P& p, T& x, const V& dflt) {
        return read_or_set_flags(kw, 0, p, x, dflt);
    }
    template <typename T, typename V> Args& read_or_set_p(const char* kw, T& x, const V& dflt) {
        return read_or_set_flags(kw, positional, DefaultArg<T>(), x, dflt);
    }
    template <typename P, typename T, typename V> Args& read_or_set_p(const char* kw, const P& p, T& x, const V& dflt) {
        return read_or_set_flags(kw, positional, p, x, dflt);
    }

    // Every occurrence of keyword kw, in order.  If any is present, x is
    // replaced by their values; otherwise x is left alone.
    template <typename T> Args& read_all(const char* kw, std::vector<T>& x) { return read_all(kw, DefaultArg<T>(), x); }
    template <typename P, typename T> Args& read_all(const char* kw, const P& p, std::vector<T>& x);

    template <typename P, typename T> Args& read_flags(const char* kw, int flags, const P& p, T& x);
    template <typename P, typename T1, typename T2> Args& read_flags(const char* kw, int flags, const P& p, T1& x1, T2& x2);
    template <typename P, typename T, typename V> Args& read_or_set_flags(const char* kw, int flags, const P& p, T& x, const V& dflt);

    // Finishing.  consume(): checks for errors, assigns the values read and
    // (when bound) removes the used arguments from the bound vector; leftover
    // arguments are fine.  complete()/execute(): the same, and leftover
    // arguments are errors.  Return 0 or -EINVAL.
    int consume();
    int complete();
    int execute() { return complete(); }

    // A silent, per-thread Args for parsing outside configure():
    // IntArg().parse(str, x) reports nothing and just returns false.
    static Args& blank();

    // Raw access, for parsers that handle the text themselves: finds the
    // argument (honouring flags) and marks it used.  Returns false if absent.
    bool find(const char* kw, int flags, std::string& value);

 private:
    struct Slot {
        std::string raw;
        std::string keyword;  // empty: positional
        std::string value;
        bool used = false;
    };
    std::vector<Slot> slots_;
    std::vector<std::string>* bound_ = nullptr;
    const void* context_ = nullptr;
    ErrorHandler* errh_ = nullptr;
    size_t next_positional_ = 0;
    int nerrors_ = 0;
    bool last_found_ = false;
    bool finished_ = false;
    std::string cur_kw_;
    std::vector<std::function<void()>> commits_;

    void add_slot(const std::string& arg);
    int verror(const char* anno, const char* fmt, va_list val);
    void parse_failed(int errors_before);
    int finish(bool complete);
    friend class ArgsKeywordScope;
};

// Sets Args::keyword() for the duration of a parse.
class ArgsKeywordScope {
 public:
    ArgsKeywordScope(Args& args, const char* kw) : args_(args), saved_(args.cur_kw_) { args.cur_kw_ = kw ? kw : ""; }
    ~ArgsKeywordScope() { args_.cur_kw_ = saved_; }

 private:
    Args& args_;
    std::string saved_;
};

template <typename P, typename T>
Args& Args::read_flags(const char* kw, int flags, const P& p, T& x) {
    std::string value;
    last_found_ = false;
    if (!find(kw, flags, value))
        return *this;
    ArgsKeywordScope scope(*this, kw);
    int before = nerrors_;
    T tmp{};
    if (p.parse(value, tmp, *this)) {
        last_found_ = true;
        commits_.push_back([&x, tmp]() { x = tmp; });
    } else
        parse_failed(before);
    return *this;
}

template <typename P, typename T1, typename T2>
Args& Args::read_flags(const char* kw, int flags, const P& p, T1& x1, T2& x2) {
    std::string value;
    last_found_ = false;
    if (!find(kw, flags, value))
        return *this;
    ArgsKeywordScope scope(*this, kw);
    int before = nerrors_;
    T1 t1{};
    T2 t2{};
    if (p.parse(value, t1, t2, *this)) {
        last_found_ = true;
        commits_.push_back([&x1, &x2, t1, t2]() { x1 = t1; x2 = t2; });
    } else
        parse_failed(before);
    return *this;
}

template <typename P, typename T, typename V>
Args& Args::read_or_set_flags(const char* kw, int flags, const P& p, T& x, const V& dflt) {
    read_flags(kw, flags & ~mandatory, p, x);
    bool found = last_found_;
    if (!found) {
        // Absent (or bad, which is already an error): the default.
        T d = static_cast<T>(dflt);
        commits_.push_back([&x, d]() { x = d; });
    }
    last_found_ = found;
    return *this;
}

template <typename P, typename T>
Args& Args::read_all(const char* kw, const P& p, std::vector<T>& x) {
    std::vector<T> values;
    bool any = false;
    ArgsKeywordScope scope(*this, kw);
    for (auto& s : slots_)
        if (kw && s.keyword == kw) {
            s.used = true;
            any = true;
            int before = nerrors_;
            T tmp{};
            if (p.parse(s.value, tmp, *this))
                values.push_back(tmp);
            else
                parse_failed(before);
        }
    last_found_ = any;
    if (any)
        commits_.push_back([&x, values]() { x = values; });
    return *this;
}

// Parse one value outside Args, e.g. parse_arg(IPPortArg(), "80", port).
// Errors (without a keyword) go to errh when it is given.
template <typename P, typename T>
bool parse_arg(const P& p, const std::string& str, T& result, ErrorHandler* errh = nullptr) {
    Args args(errh);
    return p.parse(str, result, args);
}
template <typename T> bool parse_arg(const std::string& str, T& result, ErrorHandler* errh = nullptr) {
    return parse_arg(DefaultArg<T>(), str, result, errh);
}

// ---- Parsers ----

// Integers of any width, range-checked against the result type.  base 0:
// decimal, or hexadecimal after "0x".  Errors "expected integer" (or
// "expected unsigned integer") and "out of range".
struct IntArg {
    explicit IntArg(int base = 0) : base(base) {}
    int base;
    // Parses into the widest type; *neg tells the sign. False on syntax error.
    static bool parse_raw(const std::string& str, int base, bool allow_negative, bool& neg, uint64_t& magnitude,
                          bool& overflow);
    template <std::integral T> bool parse(const std::string& str, T& result, Args& args = Args::blank()) const;
};

// An integer within [min, max] (inclusive), checked after the type's range.
struct BoundedIntArg {
    BoundedIntArg(int64_t min, int64_t max) : min(min), max(max) {}
    int64_t min, max;
    template <std::integral T> bool parse(const std::string& str, T& result, Args& args = Args::blank()) const {
        T v;
        if (!IntArg().parse(str, v, args))
            return false;
        bool below = std::is_signed_v<T> ? static_cast<int64_t>(v) < min : (min > 0 && static_cast<uint64_t>(v) < static_cast<uint64_t>(min));
        bool above = std::is_signed_v<T> ? static_cast<int64_t>(v) > max : (max < 0 || static_cast<uint64_t>(v) > static_cast<uint64_t>(max));
        if (below || above) {
            args.error("out of range, must be between %lld and %lld", static_cast<long long>(min), static_cast<long long>(max));
            return false;
        }
        result = v;
        return true;
    }
};

// "true"/"false", "yes"/"no", "on"/"off", "1"/"0", "t"/"f", "y"/"n".
struct BoolArg {
    bool parse(const std::string& str, bool& result, Args& args = Args::blank()) const;
};

// A finite real number.
struct DoubleArg {
    bool parse(const std::string& str, double& result, Args& args = Args::blank()) const;
    bool parse(const std::string& str, float& result, Args& args = Args::blank()) const;
};

// A time: a non-negative decimal number with an optional unit (s, sec, ms,
// msec, us, usec, ns, nsec, m, min, h, hr, d, day).  The number without a unit
// is in seconds for SecondsArg and in milliseconds for MillisecondsArg.
// Integer results: SecondsArg(frac_digits) gives seconds x 10^frac_digits
// (SecondsArg(3): milliseconds), MillisecondsArg milliseconds; rounded to the
// nearest unit.  double results: seconds (SecondsArg) or milliseconds
// (MillisecondsArg).  Any type with a static make_nsec(int64_t) (Timestamp)
// receives the exact nanoseconds.
struct SecondsArg {
    explicit SecondsArg(int frac_digits = 0) : frac_digits(frac_digits), default_unit_nsec(1000000000) {}
    int frac_digits;
    int64_t default_unit_nsec;
    // Nanoseconds; false with an error on bad syntax or overflow.
    bool parse_nsec(const std::string& str, int64_t& nsec, Args& args = Args::blank()) const;
    template <typename T> bool parse(const std::string& str, T& result, Args& args = Args::blank()) const;
};

struct MillisecondsArg : public SecondsArg {
    MillisecondsArg() : SecondsArg(3) { default_unit_nsec = 1000000; }
};

// "a.b.c.d".
struct IPAddressArg {
    bool parse(const std::string& str, IPAddress& result, Args& args = Args::blank()) const;
    bool parse(const std::string& str, uint32_t& network_order, Args& args = Args::blank()) const;
};

// "a.b.c.d/len", "a.b.c.d/m.a.s.k" or "a.b.c.d m.a.s.k"; with allow_bare, a
// plain address is a /32.  The address is returned as written (not masked).
struct IPPrefixArg {
    explicit IPPrefixArg(bool allow_bare = false) : allow_bare(allow_bare) {}
    bool allow_bare;
    bool parse(const std::string& str, IPAddress& addr, IPAddress& mask, Args& args = Args::blank()) const;
};

// "00:11:22:33:44:55" or "00-11-22-33-44-55".
struct EtherAddressArg {
    bool parse(const std::string& str, EtherAddress& result, Args& args = Args::blank()) const;
};

// A TCP/UDP port, 0..65535, in host order; a few service names are known.
struct IPPortArg {
    explicit IPPortArg(int ip_p = 6) : ip_p(ip_p) {}
    int ip_p;
    bool parse(const std::string& str, uint16_t& result, Args& args = Args::blank()) const;
    template <std::integral T> bool parse(const std::string& str, T& result, Args& args = Args::blank()) const {
        uint16_t p;
        if (!parse(str, p, args))
            return false;
        if (static_cast<uint64_t>(p) > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
            args.error("out of range");
            return false;
        }
        result = static_cast<T>(p);
        return true;
    }
};

// "tcp", "udp", "icmp", ... or a number 0..255.
struct IPProtocolArg {
    bool parse(const std::string& str, int& result, Args& args = Args::blank()) const;
    template <std::integral T> bool parse(const std::string& str, T& result, Args& args = Args::blank()) const {
        int p;
        if (!parse(str, p, args))
            return false;
        if (static_cast<uint64_t>(p) > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
            args.error("out of range");
            return false;
        }
        result = static_cast<T>(p);
        return true;
    }
};

// A packet annotation offset, by number (or a host annotation name: DST_IP,
// PAINT, VLAN_TCI), checked so that `size` bytes fit in the 96-byte area:
// AnnoArg(2) accepts 0..94.
struct AnnoArg {
    static constexpr int anno_size = 96;
    explicit AnnoArg(int size = 1) : size(size) {}
    int size;
    bool parse(const std::string& str, int& result, Args& args = Args::blank()) const;
};

// One word (quotes allowed, no unquoted whitespace); the result is unquoted.
struct WordArg {
    bool parse(const std::string& str, std::string& result, Args& args = Args::blank()) const;
};

// A string, quoted or not; the result is unquoted.  Unterminated quotes are
// an error.
struct StringArg {
    bool parse(const std::string& str, std::string& result, Args& args = Args::blank()) const;
};

// The argument text exactly as written.
struct AnyArg {
    bool parse(const std::string& str, std::string& result, Args&) const { result = str; return true; }
};

template <> struct DefaultArg<bool> : public BoolArg {};
template <std::integral T> struct DefaultArg<T> : public IntArg {};
template <> struct DefaultArg<double> : public DoubleArg {};
template <> struct DefaultArg<float> : public DoubleArg {};
template <> struct DefaultArg<std::string> : public StringArg {};
template <> struct DefaultArg<IPAddress> : public IPAddressArg {};
template <> struct DefaultArg<EtherAddress> : public EtherAddressArg {};

// Older Click-style helpers: true on success; *result untouched on failure.
template <std::integral T> bool cp_integer(const std::string& str, T* result) { return IntArg().parse(str, *result); }
template <std::integral T> bool cp_integer(const std::string& str, int base, T* result) { return IntArg(base).parse(str, *result); }
inline bool cp_bool(const std::string& str, bool* result) { return BoolArg().parse(str, *result); }
inline bool cp_double(const std::string& str, double* result) { return DoubleArg().parse(str, *result); }
inline bool cp_ip_address(const std::string& str, IPAddress* result) { return IPAddressArg().parse(str, *result); }
inline bool cp_ip_prefix(const std::string& str, IPAddress* addr, IPAddress* mask, bool allow_bare = false) {
    return IPPrefixArg(allow_bare).parse(str, *addr, *mask);
}
inline bool cp_ethernet_address(const std::string& str, EtherAddress* result) { return EtherAddressArg().parse(str, *result); }
template <std::integral T> bool cp_seconds_as_milli(const std::string& str, T* result) { return SecondsArg(3).parse(str, *result); }
template <std::integral T> bool cp_seconds(const std::string& str, T* result) { return SecondsArg().parse(str, *result); }
inline bool cp_string(const std::string& str, std::string* result) { return StringArg().parse(str, *result); }
inline bool cp_word(const std::string& str, std::string* result) { return WordArg().parse(str, *result); }

// ---- template implementations ----

template <std::integral T>
bool IntArg::parse(const std::string& str, T& result, Args& args) const {
    bool neg, overflow;
    uint64_t mag;
    if (!parse_raw(str, base, std::is_signed_v<T>, neg, mag, overflow)) {
        args.error(std::is_signed_v<T> ? "expected integer" : "expected unsigned integer");
        return false;
    }
    if (overflow) {
        args.error("out of range");
        return false;
    }
    if constexpr (std::is_signed_v<T>) {
        uint64_t limit = neg ? static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1
                             : static_cast<uint64_t>(std::numeric_limits<T>::max());
        if (mag > limit) {
            args.error("out of range");
            return false;
        }
        result = neg ? static_cast<T>(-static_cast<int64_t>(mag - 1) - 1) : static_cast<T>(mag);
    } else {
        if (mag > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
            args.error("out of range");
            return false;
        }
        result = static_cast<T>(mag);
    }
    return true;
}

template <typename T>
bool SecondsArg::parse(const std::string& str, T& result, Args& args) const {
    int64_t ns;
    if (!parse_nsec(str, ns, args))
        return false;
    if constexpr (requires { T::make_nsec(int64_t{}); }) {
        result = T::make_nsec(ns);
        return true;
    } else if constexpr (std::is_floating_point_v<T>) {
        result = static_cast<T>(static_cast<double>(ns) / static_cast<double>(default_unit_nsec));
        return true;
    } else {
        static_assert(std::is_integral_v<T>, "SecondsArg: unsupported result type");
        int64_t unit = 1000000000;
        for (int i = 0; i < frac_digits && unit > 1; ++i)
            unit /= 10;
        int64_t v = ns / unit + ((ns % unit) * 2 >= unit ? 1 : 0);
        if (static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
            args.error("out of range");
            return false;
        }
        result = static_cast<T>(v);
        return true;
    }
}

#endif
