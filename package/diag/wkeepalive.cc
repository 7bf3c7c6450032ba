#include "diag/wkeepalive.hh"

#include <host/args.hh>

#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"

int WKeepAlive::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (Args(conf, this, errh).complete() < 0)
        return -1;
    return WBase::configure(conf, errh);
}

int WKeepAlive::initialize(ErrorHandler*) {
    _timer.initialize(this);
    _timer.schedule_after_sec(first_period_sec);
    return 0;
}

void WKeepAlive::cleanup(CleanupStage) { _timer.unschedule(); }

void WKeepAlive::run_timer(Timer*) {
    new_period();
    _timer.reschedule_after_sec(period_sec);
}

void WKeepAlive::push(int, Packet* p) {
    if (p->has_network_header() && p->network_header() >= p->data() && p->network_header() < p->end_data()) {
        const uint8_t* ip = p->network_header();
        int s = shim_offset(ip, size_t(p->end_data() - ip), _wconf->shim_config());
        if (s >= 0) {
            _tunnel_packets.fetch_add(1, std::memory_order_relaxed);
            // Only the thread that counts the period's first tunnel packet may copy it.
            bool first = _period_count.fetch_add(1, std::memory_order_relaxed) == 0;
            if (first && !(ip[s + 3] & WSHIM_DEDUP_SYNC))
                if (Packet* c = p->clone()) {
                    _copies.fetch_add(1, std::memory_order_relaxed);
                    output(1).push(c);
                }
        }
    }
    output(0).push(p);
}

void WKeepAlive::add_handlers() {
    add_read_handler("tunnel_packets", ReadHandlerFunction([this] { return std::to_string(_tunnel_packets.load()); }));
    add_read_handler("copies", ReadHandlerFunction([this] { return std::to_string(_copies.load()); }));
}

QUILO_REGISTER_ELEMENT(WKeepAlive);
