#include "common/wsetdirection.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include "common/annotations.hh"
#include "common/registration.hh"

int WSetDirection::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string dir;
    if (Args(conf, this, errh).read_mp("DIRECTION", WordArg(), dir).complete() < 0)
        return -1;
    static const struct {
        const char* word;
        uint8_t bit;
    } words[] = {{"LANRX", LANRX}, {"LANTX", LANTX}, {"WANRX", WANRX}, {"WANTX", WANTX}};
    for (const auto& w : words)
        if (dir == w.word) {
            _direction = w.bit;
            return 0;
        }
    return errh->error("Invalid DIRECTION specified.");
}

Packet* WSetDirection::simple_action(Packet* p) {
    or_direction_anno(p, _direction);
    return p;
}

QUILO_REGISTER_ELEMENT(WSetDirection);
