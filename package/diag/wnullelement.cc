#include "diag/wnullelement.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include <chrono>
#include <thread>

#include "common/registration.hh"

int WNullElement::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool before = false, debug = false;
    if (Args(conf, this, errh).read("DELAY_BEFORE_PUSH", before).read("DEBUG", debug).complete() < 0)
        return -1;
    _delay_before_push = before;
    _debug = debug;
    return 0;
}

void WNullElement::push(int, Packet* p) {
    _count.fetch_add(1, std::memory_order_relaxed);
    if (_debug)
        click_chatter("PRE : real time tasks needed before packet hand off");
    if (_delay_before_push) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay_usec));
        output(0).push(p);
    } else {
        output(0).push(p);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_usec));
    }
    if (_debug)
        click_chatter("POST : slow tasks that are not essential real time before hand off");
}

void WNullElement::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this] { return std::to_string(_count.load()); }));
}

QUILO_REGISTER_ELEMENT_AS(WNullElement, "WNull");
