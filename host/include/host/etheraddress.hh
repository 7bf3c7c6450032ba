// Ethernet (MAC) address, 6 bytes.
#ifndef QUILO_HOST_ETHERADDRESS_HH
#define QUILO_HOST_ETHERADDRESS_HH

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

class EtherAddress {
 public:
    EtherAddress() { memset(data_, 0, 6); }
    explicit EtherAddress(const unsigned char* data) { memcpy(data_, data, 6); }

    static EtherAddress make_broadcast();
    // Accepts "00:11:22:33:44:55" and "00-11-22-33-44-55" (one or two hex
    // digits per byte, either case).
    static bool parse(const std::string& text, EtherAddress& result);

    const unsigned char* data() const { return data_; }
    unsigned char* data() { return data_; }
    bool is_broadcast() const;
    bool is_group() const { return data_[0] & 1; }
    bool is_zero() const;
    explicit operator bool() const { return !is_zero(); }

    std::string unparse() const;        // "00:11:22:aa:bb:cc"
    std::string unparse_colon() const { return unparse(); }
    std::string unparse_dash() const;   // "00-11-22-AA-BB-CC"
    std::string s() const { return unparse(); }

    bool operator==(const EtherAddress& o) const { return memcmp(data_, o.data_, 6) == 0; }
    bool operator!=(const EtherAddress& o) const { return !(*this == o); }
    bool operator<(const EtherAddress& o) const { return memcmp(data_, o.data_, 6) < 0; }
    size_t hashcode() const;

 private:
    unsigned char data_[6];
};

template <> struct std::hash<EtherAddress> {
    size_t operator()(const EtherAddress& a) const noexcept { return a.hashcode(); }
};

#endif
