#include "classifiers/wnetflowswitch.hh"

#include <host/args.hh>
#include <host/timestamp.hh>

#include <cstring>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"

int WNetflowSwitch::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    return Args(conf, this, errh).complete();
}

// A clone of `p` with the length it had when received.
void WNetflowSwitch::copy_to(int out, Packet* p) {
    Packet* c = p->clone();
    if (!c) {
        WLogger::error("%s out of memory", name().c_str());
        return;
    }
    int64_t delta = int64_t(c->length()) - int64_t(rx_len_anno(p));
    if (delta > 0) {
        c->take(uint32_t(delta));
    } else if (delta < 0) {
        uint32_t grow = uint32_t(-delta);
        WritablePacket* w = c->put(grow);
        if (!w) {
            WLogger::error("%s out of memory", name().c_str());
            return;
        }
        std::memset(w->end_data() - grow, 0, grow);
        c = w;
    }
    _copies.fetch_add(1, std::memory_order_relaxed);
    output(out).push(c);
}

void WNetflowSwitch::push(int, Packet* p) {
    uint8_t d = direction_anno(p);
    if (d & WANTX) {
        if (d & LANRX)
            copy_to(0, p);
        else if (d & WANRX)
            copy_to(2, p);
        output(1).push(p);
    } else if (!(d & LANTX)) {
        _no_tx.fetch_add(1, std::memory_order_relaxed);
        // At most one line a second: a miswired configuration would
        // otherwise log every packet.
        int64_t now = Timestamp::now_steady().sec(), last = _last_warn.load(std::memory_order_relaxed);
        if (now != last && _last_warn.compare_exchange_strong(last, now))
            WLogger::warn("%s packet without a valid TX anno.", name().c_str());
        p->kill();
    } else {
        if (d & WANRX)
            copy_to(2, p);
        else if (d & LANRX)
            copy_to(0, p);
        output(3).push(p);
    }
}

void WNetflowSwitch::add_handlers() {
    add_read_handler("copies", ReadHandlerFunction([this] { return std::to_string(_copies.load()); }));
    add_read_handler("no_tx", ReadHandlerFunction([this] { return std::to_string(_no_tx.load()); }));
}

QUILO_REGISTER_ELEMENT(WNetflowSwitch);
