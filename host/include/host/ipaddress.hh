// IPv4 address, stored in network byte order.
#ifndef QUILO_HOST_IPADDRESS_HH
#define QUILO_HOST_IPADDRESS_HH

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include <netinet/in.h>

class IPAddress {
 public:
    constexpr IPAddress() : addr_(0) {}
    // From a network-order 32-bit value.
    explicit constexpr IPAddress(uint32_t network_order) : addr_(network_order) {}
    // The same for other integer types (so that IPAddress(0) is not ambiguous).
    explicit constexpr IPAddress(int network_order) : addr_(static_cast<uint32_t>(network_order)) {}
    explicit constexpr IPAddress(long network_order) : addr_(static_cast<uint32_t>(network_order)) {}
    explicit constexpr IPAddress(unsigned long network_order) : addr_(static_cast<uint32_t>(network_order)) {}
    explicit IPAddress(const char* text) : IPAddress(std::string(text ? text : "")) {}
    explicit IPAddress(struct in_addr a) : addr_(a.s_addr) {}
    // From 4 bytes in network order (may be unaligned).
    explicit IPAddress(const unsigned char* data) { memcpy(&addr_, data, 4); }
    // Parses "a.b.c.d"; an invalid string gives 0.0.0.0 (use parse to check).
    explicit IPAddress(const std::string& text);

    static IPAddress make_prefix(int prefix_len);         // 0..32 -> mask; else 0
    static IPAddress make_broadcast() { return IPAddress(0xFFFFFFFFU); }
    static bool parse(const std::string& text, IPAddress& result);  // strict "a.b.c.d"

    uint32_t addr() const { return addr_; }               // network order
    uint32_t hostorder() const { return ntohl(addr_); }
    struct in_addr in_addr() const { struct in_addr a; a.s_addr = addr_; return a; }
    const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(&addr_); }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(&addr_); }
    explicit operator bool() const { return addr_ != 0; }
    bool empty() const { return addr_ == 0; }

    // Prefix length of a contiguous mask, or -1.
    int mask_to_prefix_len() const;
    bool mask_as_specific(IPAddress mask) const { return (addr_ & mask.addr_) == mask.addr_; }
    bool matches_prefix(IPAddress addr, IPAddress mask) const { return (addr_ & mask.addr_) == addr.addr_; }
    bool is_multicast() const { return (hostorder() & 0xF0000000U) == 0xE0000000U; }

    IPAddress operator&(IPAddress o) const { return IPAddress(addr_ & o.addr_); }
    IPAddress operator|(IPAddress o) const { return IPAddress(addr_ | o.addr_); }
    IPAddress operator~() const { return IPAddress(~addr_); }
    IPAddress& operator&=(IPAddress o) { addr_ &= o.addr_; return *this; }
    IPAddress& operator|=(IPAddress o) { addr_ |= o.addr_; return *this; }
    bool operator==(const IPAddress& o) const = default;
    bool operator<(const IPAddress& o) const { return hostorder() < o.hostorder(); }

    std::string unparse() const;                                 // "a.b.c.d"
    std::string unparse_mask() const;                            // "24" if contiguous, else "a.b.c.d"
    std::string unparse_with_mask(IPAddress mask) const;         // "a.b.c.d/24"
    std::string s() const { return unparse(); }

    size_t hashcode() const { return addr_; }

 private:
    uint32_t addr_;
};

// Writes "a.b.c.d" for the 4 bytes at p into buf (at least 16 bytes); returns buf.
char* ip_ntoa(const unsigned char* p, char* buf);

template <> struct std::hash<IPAddress> {
    size_t operator()(const IPAddress& a) const noexcept { return std::hash<uint32_t>()(a.addr()); }
};

#endif
