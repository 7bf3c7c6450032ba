#include "unstrip.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int Unstrip::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t len = 0;
    if (Args(conf, this, errh).read_mp("LEN", BoundedIntArg(0, 65535), len).complete() < 0)
        return -1;
    _len = len;
    return 0;
}

QUILO_HOST_ELEMENT(Unstrip);
