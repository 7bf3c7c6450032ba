#include "diag/wcounter.hh"

#include <host/args.hh>

#include "common/registration.hh"

int WCounter::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (Args(conf, this, errh).complete() < 0)
        return -1;
    reset();
    return 0;
}

void WCounter::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this] { return std::to_string(count()); }));
    add_read_handler("byte_count", ReadHandlerFunction([this] { return std::to_string(byte_count()); }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          reset();
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_REGISTER_ELEMENT(WCounter);
