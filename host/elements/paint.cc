#include "paint.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int Paint::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint8_t color = 0;
    int anno = PAINT_ANNO_OFFSET;
    if (Args(conf, this, errh).read_mp("COLOR", color).read_p("ANNO", AnnoArg(1), anno).complete() < 0)
        return -1;
    _color = color;
    _anno = anno;
    return 0;
}

Packet* Paint::simple_action(Packet* p) {
    p->set_anno_u8(_anno, _color);
    return p;
}

void Paint::add_handlers() {
    add_reconfigure_handlers("color", "COLOR", 0);
}

QUILO_HOST_ELEMENT(Paint);
