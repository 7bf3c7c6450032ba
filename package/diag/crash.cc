#include "diag/crash.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include <cstdio>
#include <cstdlib>

#include "common/registration.hh"

int Crash::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool enable = false, given = false;
    if (Args(conf, this, errh).read("ENABLE", enable).read_status(given).complete() < 0)
        return -1;
    if (!given)
        return errh->error("ENABLE is mandatory: ENABLE true stops the process at the first packet, "
                           "ENABLE false passes packets on");
    _enabled = enable;
    return 0;
}

Packet* Crash::simple_action(Packet* p) {
    if (!_enabled)
        return p;
    std::fprintf(stderr, "Crash %s: stopping the process\n", name().c_str());
    std::fflush(stderr);
    std::abort();
}

void Crash::add_handlers() { add_data_handlers("enabled", Handler::h_read, &_enabled); }

QUILO_REGISTER_ELEMENT(Crash);
