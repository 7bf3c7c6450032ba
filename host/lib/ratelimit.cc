#include "ratelimit.hh"

#include <cmath>
#include <cstdio>
#include <cstdlib>

bool parse_bandwidth(const std::string& s, double& out) {
    if (s.empty())
        return false;
    const char* b = s.c_str();
    char* end;
    double v = strtod(b, &end);
    if (end == b || !std::isfinite(v) || v < 0)
        return false;
    std::string suf(end);
    double mult;
    if (suf.empty() || suf == "Bps")
        mult = 1;
    else if (suf == "bps")
        mult = 1.0 / 8;
    else if (suf == "kbps" || suf == "Kbps")
        mult = 1e3 / 8;
    else if (suf == "Mbps")
        mult = 1e6 / 8;
    else if (suf == "Gbps")
        mult = 1e9 / 8;
    else if (suf == "kBps" || suf == "KBps")
        mult = 1e3;
    else if (suf == "MBps")
        mult = 1e6;
    else if (suf == "GBps")
        mult = 1e9;
    else
        return false;
    out = v * mult;
    return true;
}

std::string unparse_bandwidth(double bps) {
    char buf[64];
    double bits = bps * 8;
    if (bits >= 1e9)
        snprintf(buf, sizeof buf, "%gGbps", bits / 1e9);
    else if (bits >= 1e6)
        snprintf(buf, sizeof buf, "%gMbps", bits / 1e6);
    else if (bits >= 1e3)
        snprintf(buf, sizeof buf, "%gkbps", bits / 1e3);
    else
        snprintf(buf, sizeof buf, "%gbps", bits);
    return buf;
}
