// The "active" write handler shared by sources, schedulers and printers: parses a
// boolean, stores it, and when the element is switched on runs `on_activate`
// (typically rescheduling its task or timer).
#pragma once

#include <host/args.hh>
#include <host/element.hh>
#include <host/errorhandler.hh>

#include <functional>
#include <string>

template <typename Flag>
WriteHandlerFunction active_write_handler(Flag& active, std::function<void()> on_activate = {}) {
    return [&active, on_activate](const std::string& s, ErrorHandler* errh) {
        bool a;
        if (!parse_arg(BoolArg(), s, a, errh))
            return errh->error("active: expected true or false");
        active = a;
        if (a && on_activate)
            on_activate();
        return 0;
    };
}
