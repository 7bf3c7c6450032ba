#include <host/timestamp.hh>

#include <cmath>
#include <cstdio>

Timestamp::Timestamp(double seconds) : _ns(int64_t(std::llround(seconds * double(nsec_per_sec)))) {}

Timestamp Timestamp::now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return Timestamp(ts);
}

Timestamp Timestamp::now_steady() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Timestamp(ts);
}

Timestamp Timestamp::steady_to_wall(const Timestamp& steady) {
    return steady + (now() - now_steady());
}

Timestamp Timestamp::wall_to_steady(const Timestamp& wall) {
    return wall - (now() - now_steady());
}

std::string Timestamp::unparse() const {
    char buf[48];
    if (_ns < 0) {
        Timestamp pos = make_nsec(-_ns);
        snprintf(buf, sizeof(buf), "-%lld.%09u", (long long) pos.sec(), pos.subsec());
    } else
        snprintf(buf, sizeof(buf), "%lld.%09u", (long long) sec(), subsec());
    return buf;
}

std::string Timestamp::unparse_interval() const {
    char buf[48];
    int64_t a = _ns < 0 ? -_ns : _ns;
    const char* sign = _ns < 0 ? "-" : "";
    if (a >= nsec_per_sec)
        snprintf(buf, sizeof(buf), "%s%gs", sign, double(a) / nsec_per_sec);
    else if (a >= 1000000)
        snprintf(buf, sizeof(buf), "%s%gms", sign, double(a) / 1e6);
    else if (a >= 1000)
        snprintf(buf, sizeof(buf), "%s%gus", sign, double(a) / 1e3);
    else
        snprintf(buf, sizeof(buf), "%s%lldns", sign, (long long) a);
    return buf;
}
