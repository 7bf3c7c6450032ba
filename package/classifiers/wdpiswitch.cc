#include "classifiers/wdpiswitch.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/ipaddress.hh>

#include <algorithm>
#include <cstring>

#include "common/annotations.hh"
#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"

int WDPISwitch::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    const char* n = name().c_str();
    std::vector<Pattern> patterns;
    int max_port = -1;
    for (const std::string& arg : conf) {
        std::vector<std::string> w = cp_spacevec(arg);
        if (w.size() != 4 && w.size() != 6)
            return errh->error("%s invalid number of arguments", n);
        Pattern pt;
        bool has_prot = false, has_port = false;
        for (size_t i = 0; i < w.size(); i += 2) {
            const std::string& kw = w[i];
            const std::string& v = w[i + 1];
            if (kw == "PROT") {
                int x;
                if (!IntArg().parse(v, x))
                    return errh->error("%s invalid PROT value: %s", n, v.c_str());
                if (x < 0 || x > 65535)
                    return errh->error("%s invalid PROT value: %i", n, x);
                pt.protocol = uint16_t(x);
                has_prot = true;
            } else if (kw == "PORT") {
                int x;
                if (!IntArg().parse(v, x))
                    return errh->error("%s invalid PORT value: %s", n, v.c_str());
                // A negative output names no port.
                if (x < 0)
                    return errh->error("%s invalid PORT value: %i", n, x);
                pt.port = x;
                has_port = true;
            } else if (kw == "ADDR") {
                IPAddress a, m;
                if (!cp_ip_prefix(v, &a, &m, true))
                    return errh->error("%s invalic ADDR value: %s", n, v.c_str());
                pt.addr = a.addr() & m.addr();
                pt.mask = m.addr();
            } else {
                return errh->error("%s invalid configuration argument: %s", n, kw.c_str());
            }
        }
        if (!has_prot || !has_port)
            return errh->error("%s needs PROT and PORT in every pattern: %s", n, arg.c_str());
        max_port = std::max(max_port, pt.port);
        patterns.push_back(pt);
    }
    if (patterns.empty() && noutputs() != 1)
        return errh->error("WDPISwitch requires 1 output port if no arguments are specified");
    if (!patterns.empty() && int64_t(noutputs()) != int64_t(max_port) + 2)
        return errh->error("WDPISwitch requires %i output ports with the configured arguments", max_port + 2);
    _patterns = std::move(patterns);
    _max_port = max_port;
    WLogger::debug("%s configured with the following patterns:", n);
    for (const Pattern& pt : _patterns)
        WLogger::debug("%s Protocol: %u, Address: %s, Output Port: %i", n, unsigned(pt.protocol),
                       IPAddress(pt.addr).unparse_with_mask(IPAddress(pt.mask)).c_str(), pt.port);
    return 0;
}

int WDPISwitch::choose(const Packet* p) const {
    int dflt = _max_port + 1;
    uint16_t master = dpi_master_proto_anno(p), app = dpi_proto_anno(p);
    if (!master && !app)
        return dflt;
    uint32_t saddr = 0, daddr = 0;
    bool have_addrs = false;
    for (const Pattern& pt : _patterns) {
        if (pt.protocol != master && pt.protocol != app)
            continue;
        if (!pt.mask)
            return pt.port;
        if (!have_addrs) {
            IPv4View v;
            if (!ipv4_view(p, &v))
                continue;  // no addresses to match
            std::memcpy(&saddr, v.ip + 12, 4);
            std::memcpy(&daddr, v.ip + 16, 4);
            have_addrs = true;
        }
        if ((saddr & pt.mask) == pt.addr || (daddr & pt.mask) == pt.addr)
            return pt.port;
    }
    return dflt;
}

void WDPISwitch::push(int, Packet* p) { output(choose(p)).push(p); }

void WDPISwitch::add_handlers() {
    add_read_handler("patterns", ReadHandlerFunction([this] {
        std::string s;
        for (const Pattern& pt : _patterns)
            s += "PROT " + std::to_string(pt.protocol) + " PORT " + std::to_string(pt.port) +
                 (pt.mask ? " ADDR " + IPAddress(pt.addr).unparse_with_mask(IPAddress(pt.mask)) : std::string()) + "\n";
        return s;
    }));
}

QUILO_REGISTER_ELEMENT(WDPISwitch);
