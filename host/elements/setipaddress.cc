#include "setipaddress.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int SetIPAddress::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    IPAddress addr;
    if (Args(conf, this, errh).read_mp("ADDR", addr).complete() < 0)
        return -1;
    _addr = addr.addr();
    return 0;
}

Packet* SetIPAddress::simple_action(Packet* p) {
    p->set_dst_ip_anno(IPAddress(_addr.load(std::memory_order_relaxed)));
    return p;
}

void SetIPAddress::add_handlers() {
    add_reconfigure_handlers("addr", "ADDR", 0);
}

QUILO_HOST_ELEMENT(SetIPAddress);
