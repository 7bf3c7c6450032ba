#include "fromdevice.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int FromDevice::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string dev;
    bool promisc = false, sniffer = true;
    int burst = 32;
    uint32_t headroom = Packet::default_headroom, snaplen = 0;
    if (Args(conf, this, errh)
            .read_mp("DEVNAME", WordArg(), dev)
            .read_p("PROMISC", promisc)
            .read_p("BURST", BoundedIntArg(1, 1024), burst)
            .read("SNIFFER", sniffer)
            .read("HEADROOM", BoundedIntArg(0, 4096), headroom)
            .read("SNAPLEN", BoundedIntArg(0, 65536), snaplen)
            .complete() < 0)
        return -1;
    _devname = dev;
    _promisc = promisc;
    _sniffer = sniffer;
    _burst = burst;
    _headroom = headroom;
    _snaplen = snaplen;
    return 0;
}

int FromDevice::initialize(ErrorHandler* errh) {
    pktsock::PacketSocket::Options o;
    o.promisc = _promisc;
    o.max_frame = _snaplen;   // 0: the socket picks MTU + 22 as below
    std::string err;
    if (!_sock.open(_devname, o, &err))
        return errh->error("%s", err.c_str());
    if (!_sniffer && !_steal.install(_devname, &err)) {
        _sock.close();
        return errh->error("SNIFFER false: %s", err.c_str());
    }
    if (_snaplen == 0)
        _snaplen = uint32_t(_sock.mtu()) + 22;   // Ethernet header, two VLAN tags
    _frames.assign(_burst, pktsock::RxFrame());
    if (!refill())
        return errh->error("out of memory");
    return add_select(_sock.fd(), SELECT_READ);
}

// Gives every frame slot without a packet a fresh one.
bool FromDevice::refill() {
    for (auto& f : _frames) {
        if (f.cookie)
            continue;
        WritablePacket* p = Packet::make(_headroom, nullptr, _snaplen + pktsock::kVlanRoom, 0);
        if (!p)
            return false;
        f.cookie = p;
        f.buf = p->data();
        f.cap = p->length();
    }
    return true;
}

void FromDevice::selected(int, int) {
    // A few batches per wake-up, then let other work run.
    for (int round = 0; round < 4; ++round) {
        if (!refill()) {
            _drops.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        int n = _sock.recv(_frames.data(), _burst);
        for (int i = 0; i < n; ++i) {
            pktsock::RxFrame& f = _frames[i];
            WritablePacket* p = static_cast<WritablePacket*>(f.cookie);
            f.cookie = nullptr;
            p->take(p->length() - (f.off + f.len));
            p->pull(f.off);
            p->set_timestamp_anno(Timestamp::make_nsec(f.ts_ns));
            if (f.len >= 14)
                p->set_mac_header(p->data(), 14);
            output(0).push(p);
        }
        _count.fetch_add(n, std::memory_order_relaxed);
        if (n < _burst)
            return;
    }
}

void FromDevice::cleanup(CleanupStage) {
    if (_sock.fd() >= 0)
        remove_select(_sock.fd(), SELECT_READ);
    _sock.close();
    _steal.remove();
    for (auto& f : _frames)
        if (f.cookie) {
            static_cast<Packet*>(f.cookie)->kill();
            f.cookie = nullptr;
        }
}

void FromDevice::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("oversize", ReadHandlerFunction([this]() { return std::to_string(_sock.rx_stats().oversize) + "\n"; }));
    add_read_handler("csum_fixed",
                     ReadHandlerFunction([this]() { return std::to_string(_sock.rx_stats().csum_fixed) + "\n"; }));
    add_read_handler("vlan_restored",
                     ReadHandlerFunction([this]() { return std::to_string(_sock.rx_stats().vlan_restored) + "\n"; }));
    add_read_handler("kernel_drops", ReadHandlerFunction([this]() { return std::to_string(_sock.kernel_drops()) + "\n"; }));
    add_read_handler("sniffer", ReadHandlerFunction([this]() { return std::string(_sniffer ? "true\n" : "false\n"); }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count = 0;
                          _drops = 0;
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(FromDevice);
