#include "etherrewrite.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int EtherRewrite::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    EtherAddress src, dst;
    if (Args(conf, this, errh).read_mp("SRC", src).read_mp("DST", dst).complete() < 0)
        return -1;
    _src = src;
    _dst = dst;
    return 0;
}

Packet* EtherRewrite::simple_action(Packet* p) {
    if (p->length() < 14) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return nullptr;
    }
    WritablePacket* q = p->uniqueify();
    if (!q)
        return nullptr;
    memcpy(q->data(), _dst.data(), 6);
    memcpy(q->data() + 6, _src.data(), 6);
    if (!q->has_mac_header())
        q->set_mac_header(q->data(), 14);
    return q;
}

void EtherRewrite::add_handlers() {
    add_data_handlers("src", Handler::h_read | Handler::h_write, &_src);
    add_data_handlers("dst", Handler::h_read | Handler::h_write, &_dst);
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(EtherRewrite);
