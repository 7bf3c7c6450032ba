#include "bypassswitch.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int BypassSwitch::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool bypass = false;
    if (Args(conf, this, errh).read_p("BYPASS", bypass).complete() < 0)
        return -1;
    _bypass = bypass;
    return 0;
}

void BypassSwitch::add_handlers() {
    add_read_handler("bypass", ReadHandlerFunction([this]() { return std::string(_bypass ? "true\n" : "false\n"); }));
    add_write_handler("bypass", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          bool b;
                          if (!parse_arg(BoolArg(), s, b, errh))
                              return errh->error("bypass: expected true or false");
                          _bypass = b;
                          return 0;
                      }));
    add_read_handler("count0", ReadHandlerFunction([this]() { return std::to_string(_count[0].load()) + "\n"; }));
    add_read_handler("count1", ReadHandlerFunction([this]() { return std::to_string(_count[1].load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(BypassSwitch);
