// Timestamp: 8 bytes, signed nanoseconds.  Wall-clock time (now()) is used
// for packet timestamps and click_jiffies; the steady clock (now_steady())
// drives timers.
#ifndef QUILO_HOST_TIMESTAMP_HH
#define QUILO_HOST_TIMESTAMP_HH

#include <cstdint>
#include <ctime>
#include <string>

class Timestamp {
 public:
    typedef int64_t value_type;
    static constexpr int64_t nsec_per_sec = 1000000000;
    static constexpr int64_t subsec_per_sec = nsec_per_sec;

    constexpr Timestamp() : _ns(0) {}
    // sec seconds plus subsec nanoseconds.
    constexpr Timestamp(int64_t sec, uint32_t subsec) : _ns(sec * nsec_per_sec + subsec) {}
    explicit Timestamp(double seconds);
    explicit Timestamp(const struct timespec& ts) : _ns(int64_t(ts.tv_sec) * nsec_per_sec + ts.tv_nsec) {}

    static constexpr Timestamp make_nsec(int64_t ns) { Timestamp t; t._ns = ns; return t; }
    static constexpr Timestamp make_usec(int64_t us) { return make_nsec(us * 1000); }
    static constexpr Timestamp make_msec(int64_t ms) { return make_nsec(ms * 1000000); }
    static constexpr Timestamp make_sec(int64_t s) { return make_nsec(s * nsec_per_sec); }
    static constexpr Timestamp make_sec(int64_t s, uint32_t nsec) { return Timestamp(s, nsec); }
    static constexpr Timestamp epsilon() { return make_nsec(1); }

    // Wall clock (CLOCK_REALTIME).
    static Timestamp now();
    // Steady clock (CLOCK_MONOTONIC): timers.
    static Timestamp now_steady();
    // Converts between the clocks using their current offset.
    static Timestamp steady_to_wall(const Timestamp& steady);
    static Timestamp wall_to_steady(const Timestamp& wall);
    void assign_now() { *this = now(); }
    void assign_now_steady() { *this = now_steady(); }

    explicit constexpr operator bool() const { return _ns != 0; }
    constexpr bool is_zero() const { return _ns == 0; }

    // Seconds, rounded towards minus infinity, and the remaining nanoseconds.
    constexpr int64_t sec() const { return _ns >= 0 ? _ns / nsec_per_sec : -((-_ns + nsec_per_sec - 1) / nsec_per_sec); }
    constexpr uint32_t subsec() const { return uint32_t(_ns - sec() * nsec_per_sec); }
    constexpr uint32_t nsec() const { return subsec(); }
    constexpr uint32_t usec() const { return subsec() / 1000; }
    constexpr uint32_t msec() const { return subsec() / 1000000; }

    constexpr int64_t nsecval() const { return _ns; }
    constexpr int64_t usecval() const { return floordiv(_ns, 1000); }
    constexpr int64_t msecval() const { return floordiv(_ns, 1000000); }
    constexpr double doubleval() const { return double(_ns) / nsec_per_sec; }
    // Milliseconds rounded up (for timeouts).
    constexpr int64_t msec_ceil() const { return -floordiv(-_ns, 1000000); }

    struct timespec timespec() const { struct timespec ts; ts.tv_sec = sec(); ts.tv_nsec = subsec(); return ts; }

    // "sec.nnnnnnnnn"; negative values get a leading '-'.
    std::string unparse() const;
    // Interval text: "1.5s", "250ms", "30us", "12ns".
    std::string unparse_interval() const;

    constexpr Timestamp& operator+=(const Timestamp& o) { _ns += o._ns; return *this; }
    constexpr Timestamp& operator-=(const Timestamp& o) { _ns -= o._ns; return *this; }
    friend constexpr Timestamp operator+(Timestamp a, const Timestamp& b) { a += b; return a; }
    friend constexpr Timestamp operator-(Timestamp a, const Timestamp& b) { a -= b; return a; }
    constexpr Timestamp operator-() const { return make_nsec(-_ns); }
    friend constexpr Timestamp operator*(const Timestamp& a, int64_t k) { return make_nsec(a._ns * k); }
    friend constexpr Timestamp operator/(const Timestamp& a, int64_t k) { return make_nsec(a._ns / k); }
    friend constexpr bool operator==(const Timestamp& a, const Timestamp& b) { return a._ns == b._ns; }
    friend constexpr auto operator<=>(const Timestamp& a, const Timestamp& b) { return a._ns <=> b._ns; }

 private:
    static constexpr int64_t floordiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
    int64_t _ns;
};

static_assert(sizeof(Timestamp) == 8, "Timestamp is 8 bytes");

#endif
