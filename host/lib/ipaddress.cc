#include <host/ipaddress.hh>

#include <arpa/inet.h>
#include <cstdio>

IPAddress::IPAddress(const std::string& text) : addr_(0) {
    parse(text, *this);
}

bool IPAddress::parse(const std::string& text, IPAddress& result) {
    unsigned char b[4];
    size_t i = 0, n = text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= n || text[i] != '.')
                return false;
            ++i;
        }
        unsigned v = 0;
        size_t start = i;
        while (i < n && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            v = v * 10 + (text[i] - '0');
            ++i;
        }
        if (i == start || v > 255 || (i < n && text[i] >= '0' && text[i] <= '9'))
            return false;
        b[part] = static_cast<unsigned char>(v);
    }
    if (i != n)
        return false;
    result = IPAddress(b);
    return true;
}

IPAddress IPAddress::make_prefix(int prefix_len) {
    if (prefix_len <= 0 || prefix_len > 32)
        return IPAddress(0U);
    uint32_t host = prefix_len == 32 ? 0xFFFFFFFFU : ~(0xFFFFFFFFU >> prefix_len);
    return IPAddress(htonl(host));
}

int IPAddress::mask_to_prefix_len() const {
    uint32_t h = hostorder();
    uint32_t inv = ~h;
    // Contiguous: inv is of the form 0...01...1.
    if ((inv & (inv + 1)) != 0)
        return -1;
    int len = 0;
    while (len < 32 && (h & (0x80000000U >> len)))
        ++len;
    return len;
}

char* ip_ntoa(const unsigned char* p, char* buf) {
    snprintf(buf, 16, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return buf;
}

std::string IPAddress::unparse() const {
    char buf[16];
    return ip_ntoa(data(), buf);
}

std::string IPAddress::unparse_mask() const {
    int len = mask_to_prefix_len();
    return len >= 0 ? std::to_string(len) : unparse();
}

std::string IPAddress::unparse_with_mask(IPAddress mask) const {
    return unparse() + "/" + mask.unparse_mask();
}
