// A TCP/UDP flow: source and destination address and port, all in network
// byte order (12 bytes).
#ifndef QUILO_HOST_IPFLOWID_HH
#define QUILO_HOST_IPFLOWID_HH

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <host/ipaddress.hh>

class IPFlowID {
 public:
    IPFlowID() : saddr_(), daddr_(), sport_(0), dport_(0) {}
    // Ports in network order.
    IPFlowID(IPAddress saddr, uint16_t sport, IPAddress daddr, uint16_t dport)
        : saddr_(saddr), daddr_(daddr), sport_(sport), dport_(dport) {}
    // From an IPv4 header and what follows it (len bytes available at ip).
    // Ports are read for TCP, UDP, UDP-Lite, SCTP and DCCP when the header
    // is not a later fragment and the bytes are there; otherwise they are 0.
    // Returns an empty flow if the header is not a valid IPv4 header within len.
    IPFlowID(const unsigned char* ip, size_t len);
    // Reads ip header fields; *ok tells whether the header was valid.
    static IPFlowID from_ip_header(const unsigned char* ip, size_t len, bool* ok);

    IPAddress saddr() const { return saddr_; }
    IPAddress daddr() const { return daddr_; }
    uint16_t sport() const { return sport_; }  // network order
    uint16_t dport() const { return dport_; }  // network order
    void set_saddr(IPAddress a) { saddr_ = a; }
    void set_daddr(IPAddress a) { daddr_ = a; }
    void set_sport(uint16_t p) { sport_ = p; }
    void set_dport(uint16_t p) { dport_ = p; }
    void assign(IPAddress s, uint16_t sp, IPAddress d, uint16_t dp) { saddr_ = s; sport_ = sp; daddr_ = d; dport_ = dp; }

    explicit operator bool() const { return saddr_ || daddr_ || sport_ || dport_; }
    IPFlowID reverse() const { return IPFlowID(daddr_, dport_, saddr_, sport_); }
    IPFlowID rev() const { return reverse(); }

    bool operator==(const IPFlowID& o) const {
        return saddr_ == o.saddr_ && daddr_ == o.daddr_ && sport_ == o.sport_ && dport_ == o.dport_;
    }
    bool operator!=(const IPFlowID& o) const { return !(*this == o); }
    size_t hashcode() const;

    // "(1.2.3.4, 80, 5.6.7.8, 1024)" with ports in host order.
    std::string unparse() const;
    std::string s() const { return unparse(); }

 private:
    IPAddress saddr_;
    IPAddress daddr_;
    uint16_t sport_;
    uint16_t dport_;
};

static_assert(sizeof(IPFlowID) == 12, "IPFlowID is 12 bytes");

template <> struct std::hash<IPFlowID> {
    size_t operator()(const IPFlowID& f) const noexcept { return f.hashcode(); }
};

#endif
