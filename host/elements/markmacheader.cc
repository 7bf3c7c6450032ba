#include "markmacheader.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int MarkMACHeader::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t offset = 0, length = 14;
    if (Args(conf, this, errh)
            .read_p("OFFSET", BoundedIntArg(0, 65535), offset)
            .read_p("LENGTH", BoundedIntArg(0, 65535), length)
            .complete() < 0)
        return -1;
    _offset = offset;
    _length = length;
    return 0;
}

QUILO_HOST_ELEMENT(MarkMACHeader);
