// QuiloIPFragmenter(MTU [, HONOR_DF, VERBOSE, HEADROOM]): fragments IPv4
// packets longer than MTU. TCP is never fragmented here (see
// QuiloTCPFragmenter and MSSAdjust); packets that are not well-formed IPv4
// pass unchanged.
//   MTU       unsigned, at least 8 and larger than the IP header of the packets
//   HONOR_DF  bool, default true: packets with DF set are refused
//   VERBOSE   bool, default false: log every refusal (else the first five)
//   HEADROOM  unsigned, default 28: accepted, unused
// Ports 1/1-2, push: refused packets leave on output 1 when it exists, else
// they are dropped. Handlers: drops, fragments.
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class QuiloIPFragmenter : public Element {
  public:
    const char* class_name() const override { return "QuiloIPFragmenter"; }
    const char* port_count() const override { return PORTS_1_1X2; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

    void push(int port, Packet* p) override;

  private:
    void refuse(Packet* p, const uint8_t* ip, size_t len);
    void fragment(Packet* p, size_t nh, size_t hlen, size_t tot);

    uint32_t _mtu = 0;
    bool _honor_df = true;
    bool _verbose = false;
    uint32_t _headroom = 28;
    std::atomic<uint32_t> _drops{0};
    std::atomic<uint32_t> _fragments{0};
    std::atomic<uint32_t> _df_logged{0};
};
