#include "switch.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int Switch::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int o = 0;
    if (Args(conf, this, errh).read_p("OUTPUT", o).complete() < 0)
        return -1;
    if (o < -1 || o >= noutputs())
        return errh->error("OUTPUT: must be -1 or an output number below %d", noutputs());
    _output = o;
    return 0;
}

void Switch::add_handlers() {
    add_read_handler("switch", ReadHandlerFunction([this]() { return std::to_string(_output.load()) + "\n"; }));
    add_write_handler("switch", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          int o;
                          if (!parse_arg(IntArg(), s, o, errh) || o < -1 || o >= noutputs())
                              return errh->error("switch: expected -1 or an output number below %d", noutputs());
                          _output = o;
                          return 0;
                      }));
}

int PaintSwitch::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int anno = PAINT_ANNO_OFFSET;
    if (Args(conf, this, errh).read_p("ANNO", AnnoArg(1), anno).complete() < 0)
        return -1;
    _anno = anno;
    return 0;
}

void PaintSwitch::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(Switch);
QUILO_HOST_ELEMENT(PaintSwitch);
