// WConf: the appliance's global settings. No ports; configured before every
// ordinary element (configure phase 20), found by WBase elements via cast.
//
// Keywords (all keyword-only):
//   MAX_PEERS       integer 0..255, mandatory: number of peer output ports
//   IPPROTO         IP protocol of tunnel packets when UDP_SHIM is false (108)
//   MSS             maximum segment size (1320)
//   MAX_FLOWS       TCP sessions the flow table may carry to peers (2147483647)
//   HOSTNAME        name announced to peers (empty)
//   UDP_SHIM        carry tunnel packets inside UDP (false)
//   UDP_SHIM_SPORT  UDP source port of tunnel packets (4050)
//   UDP_SHIM_DPORT  UDP destination port of tunnel packets (4050)
//   LOG_LEVEL       0 Debug .. 4 Error (1); sets WLogger's process-wide level
// No handlers.
#pragma once

#include <host/element.hh>

#include <cstdint>
#include <string>
#include <vector>

#include "common/shim.hh"

class WConf : public Element {
  public:
    WConf();

    const char* class_name() const override { return "WConf"; }
    const char* port_count() const override { return PORTS_0_0; }
    int configure_phase() const override { return CONFIGURE_PHASE_INFO; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;

    uint8_t ipproto() const { return _ipproto; }
    int mss() const { return _mss; }
    int max_peers() const { return _max_peers; }
    int max_flows() const { return _max_flows; }
    const std::string& hostname() const { return _hostname; }
    bool udp_shim() const { return _udp_shim; }
    uint16_t udp_shim_sport() const { return _udp_shim_sport; }
    uint16_t udp_shim_dport() const { return _udp_shim_dport; }
    uint16_t udp_shim_sport_net() const { return _shim.sport_net; }
    uint16_t udp_shim_dport_net() const { return _shim.dport_net; }
    unsigned log_level() const { return _log_level; }

    // Tunnel recognition settings, for shim_offset().
    const ShimConfig& shim_config() const { return _shim; }

  private:
    uint8_t _ipproto;
    int _mss;
    int _max_peers;
    int _max_flows;
    std::string _hostname;
    bool _udp_shim;
    uint16_t _udp_shim_sport;
    uint16_t _udp_shim_dport;
    unsigned _log_level;
    ShimConfig _shim;
};
