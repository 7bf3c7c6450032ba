#include <host/etheraddress.hh>

#include <cctype>
#include <cstdio>

EtherAddress EtherAddress::make_broadcast() {
    EtherAddress e;
    memset(e.data_, 0xFF, 6);
    return e;
}

bool EtherAddress::parse(const std::string& text, EtherAddress& result) {
    unsigned char b[6];
    size_t i = 0, n = text.size();
    char sep = 0;
    for (int part = 0; part < 6; ++part) {
        if (part > 0) {
            if (i >= n || (text[i] != ':' && text[i] != '-'))
                return false;
            if (sep == 0)
                sep = text[i];
            else if (text[i] != sep)
                return false;  // "00:11-22..." mixes forms
            ++i;
        }
        unsigned v = 0;
        size_t start = i;
        while (i < n && i - start < 2 && isxdigit(static_cast<unsigned char>(text[i]))) {
            char c = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
            v = v * 16 + (c <= '9' ? c - '0' : c - 'a' + 10);
            ++i;
        }
        if (i == start)
            return false;
        b[part] = static_cast<unsigned char>(v);
    }
    if (i != n)
        return false;
    result = EtherAddress(b);
    return true;
}

bool EtherAddress::is_broadcast() const {
    for (unsigned char c : data_)
        if (c != 0xFF)
            return false;
    return true;
}

bool EtherAddress::is_zero() const {
    for (unsigned char c : data_)
        if (c)
            return false;
    return true;
}

std::string EtherAddress::unparse() const {
    char buf[24];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", data_[0], data_[1], data_[2], data_[3], data_[4],
             data_[5]);
    return buf;
}

std::string EtherAddress::unparse_dash() const {
    char buf[24];
    snprintf(buf, sizeof buf, "%02X-%02X-%02X-%02X-%02X-%02X", data_[0], data_[1], data_[2], data_[3], data_[4],
             data_[5]);
    return buf;
}

size_t EtherAddress::hashcode() const {
    uint64_t v = 0;
    memcpy(&v, data_, 6);
    v *= 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(v ^ (v >> 29));
}
