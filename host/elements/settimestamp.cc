#include "settimestamp.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>

int SetTimestamp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Timestamp ts;
    bool found = false;
    if (Args(conf, this, errh).read_p("TIMESTAMP", SecondsArg(), ts).read_status(found).complete() < 0)
        return -1;
    _fixed = found;
    _ts = ts;
    return 0;
}

QUILO_HOST_ELEMENT(SetTimestamp);
