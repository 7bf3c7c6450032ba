#include "common/wconf.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include <arpa/inet.h>

#include "common/registration.hh"
#include "common/wlogger.hh"

WConf::WConf()
    : _ipproto(108),
      _mss(1320),
      _max_peers(0),
      _max_flows(2147483647),
      _udp_shim(false),
      _udp_shim_sport(4050),
      _udp_shim_dport(4050),
      _log_level(1) {}

int WConf::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint8_t ipproto = 108;
    int mss = 1320;
    int max_peers = 0;
    int max_flows = 2147483647;
    std::string hostname;
    bool udp_shim = false;
    uint16_t sport = 4050;
    uint16_t dport = 4050;
    unsigned log_level = 1;

    if (Args(conf, this, errh)
            .read_m("MAX_PEERS", max_peers)
            .read("IPPROTO", ipproto)
            .read("MSS", mss)
            .read("MAX_FLOWS", max_flows)
            .read("HOSTNAME", hostname)
            .read("UDP_SHIM", udp_shim)
            .read("UDP_SHIM_SPORT", sport)
            .read("UDP_SHIM_DPORT", dport)
            .read("LOG_LEVEL", log_level)
            .complete() < 0)
        return -1;

    // Peer output ports travel in 8 bits elsewhere in the package.
    if (max_peers < 0 || max_peers > 255)
        return errh->error("MAX_PEERS must be between 0 and 255");
    if (log_level > 4)
        return errh->error("invalid LOG_LEVEL");

    _ipproto = ipproto;
    _mss = mss;
    _max_peers = max_peers;
    _max_flows = max_flows;
    _hostname = hostname;
    _udp_shim = udp_shim;
    _udp_shim_sport = sport;
    _udp_shim_dport = dport;
    _log_level = log_level;
    _shim.ipproto = ipproto;
    _shim.udp_shim = udp_shim;
    _shim.sport_net = htons(sport);
    _shim.dport_net = htons(dport);
    WLogger::log_level = int(log_level);
    return 0;
}

QUILO_REGISTER_ELEMENT(WConf);
