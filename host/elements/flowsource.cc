#include "flowsource.hh"
#include "activehandler.hh"

#include <arpa/inet.h>

#include <cstdio>

#include <host/args.hh>
#include <host/checksum.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

int FlowSource::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string proto = "udp", file, pattern;
    uint32_t nflows = 16, length = 64;
    IPAddress src(htonl(0x0A000001)), dst(htonl(0x0A010001));
    uint16_t sport = 10000, dport = 80;
    bool ether = true, stop = false, active = true;
    unsigned char s6[6] = {0x02, 0, 0, 0, 0, 1}, d6[6] = {0x02, 0, 0, 0, 0, 2};
    EtherAddress srceth(s6), dsteth(d6);
    int64_t limit = -1;
    int burst = 32;
    if (Args(conf, this, errh)
            .read("PROTO", WordArg(), proto)
            .read("FLOWS", BoundedIntArg(1, 1 << 20), nflows)
            .read("LENGTH", BoundedIntArg(0, 65000), length)
            .read("SRC", src)
            .read("DST", dst)
            .read("SPORT", sport)
            .read("DPORT", dport)
            .read("PAYLOAD", StringArg(), file)
            .read("PATTERN", StringArg(), pattern)
            .read("ETHER", ether)
            .read("SRCETH", srceth)
            .read("DSTETH", dsteth)
            .read("LIMIT", limit)
            .read("BURST", BoundedIntArg(1, 1 << 16), burst)
            .read("STOP", stop)
            .read("ACTIVE", active)
            .complete() < 0)
        return -1;
    if (proto == "tcp" || proto == "TCP")
        _proto = 6;
    else if (proto == "udp" || proto == "UDP")
        _proto = 17;
    else
        return errh->error("PROTO: expected tcp or udp, got %<%s%>", proto.c_str());
    uint32_t hdr = 20 + (_proto == 6 ? 20 : 8);
    if (length + hdr > 65535)
        return errh->error("LENGTH: too large for an IPv4 packet");
    std::string fill;
    if (!file.empty()) {
        FILE* f = fopen(file.c_str(), "rb");
        if (!f)
            return errh->error("PAYLOAD: %s: %s", file.c_str(), strerror(errno));
        char buf[65536];
        size_t n;
        while (fill.size() < length && (n = fread(buf, 1, sizeof buf, f)) > 0)
            fill.append(buf, n);
        fclose(f);
        if (fill.empty() && length)
            return errh->error("PAYLOAD: %s is empty", file.c_str());
    } else
        fill = pattern.empty() ? std::string("quilo synthetic flow payload ") : pattern;
    _payload.clear();
    while (_payload.size() < length)
        _payload += fill;
    _payload.resize(length);
    _nflows = nflows;
    _length = length;
    _src = src;
    _dst = dst;
    _sport = sport;
    _dport = dport;
    _ether = ether;
    _srceth = srceth;
    _dsteth = dsteth;
    _limit = limit;
    _burst = burst;
    _stop = stop;
    _active = active;
    return 0;
}

int FlowSource::initialize(ErrorHandler*) {
    _flows.assign(_nflows, Flow());
    uint32_t l4 = _proto == 6 ? 20 : 8;
    uint32_t iplen = 20 + l4 + _length;
    uint32_t eth = _ether ? 14 : 0;
    _payload_sum = click_in_cksum_partial(reinterpret_cast<const unsigned char*>(_payload.data()), int(_length));
    for (uint32_t i = 0; i < _nflows; ++i) {
        std::string t(eth + iplen, '\0');
        unsigned char* d = reinterpret_cast<unsigned char*>(&t[0]);
        if (_ether) {
            memcpy(d, _dsteth.data(), 6);
            memcpy(d + 6, _srceth.data(), 6);
            d[12] = 0x08;
            d[13] = 0x00;
        }
        unsigned char* ip = d + eth;
        ip[0] = 0x45;
        ip[2] = iplen >> 8;
        ip[3] = iplen & 0xFF;
        ip[6] = 0x40;   // DF
        ip[8] = 64;
        ip[9] = uint8_t(_proto);
        uint32_t s = htonl(ntohl(_src.addr()) + i), dd = htonl(ntohl(_dst.addr()) + i);
        memcpy(ip + 12, &s, 4);
        memcpy(ip + 16, &dd, 4);
        uint16_t c = click_in_cksum(ip, 20);
        memcpy(ip + 10, &c, 2);
        unsigned char* th = ip + 20;
        uint16_t sp = htons(uint16_t(_sport + i)), dp = htons(_dport);
        memcpy(th, &sp, 2);
        memcpy(th + 2, &dp, 2);
        if (_proto == 6) {
            th[12] = 0x50;
            th[13] = 0x10;   // ACK
            th[14] = 0xFF;
            th[15] = 0xFF;
        } else {
            th[4] = (8 + _length) >> 8;
            th[5] = (8 + _length) & 0xFF;
        }
        memcpy(th + l4, _payload.data(), _length);
        _flows[i].tmpl = std::move(t);
    }
    _task.initialize(this, _active);
    return 0;
}

WritablePacket* FlowSource::make(Flow& f) {
    WritablePacket* p = Packet::make(Packet::default_headroom, f.tmpl.data(), uint32_t(f.tmpl.size()), 0);
    if (!p)
        return nullptr;
    unsigned char* d = p->data();
    uint32_t eth = _ether ? 14 : 0;
    unsigned char* ip = d + eth;
    unsigned char* th = ip + 20;
    uint32_t l4 = _proto == 6 ? 20 : 8;
    if (_proto == 6) {
        uint32_t seq = htonl(f.seq);
        memcpy(th + 4, &seq, 4);
        f.seq += _length ? _length : 1;
    }
    th[l4 == 20 ? 16 : 6] = 0;
    th[l4 == 20 ? 17 : 7] = 0;
    uint32_t sum = click_in_cksum_partial(th, int(l4), _payload_sum);
    uint32_t saddr, daddr;
    memcpy(&saddr, ip + 12, 4);
    memcpy(&daddr, ip + 16, 4);
    uint16_t c = click_in_cksum_pseudohdr(click_in_cksum_fold(sum), saddr, daddr, _proto, int(l4 + _length));
    if (_proto == 17 && c == 0)
        c = 0xFFFF;
    memcpy(th + (l4 == 20 ? 16 : 6), &c, 2);
    if (_ether)
        p->set_mac_header(d, 14);
    p->set_network_header(ip, 20);
    p->set_timestamp_anno(Timestamp::now());
    return p;
}

bool FlowSource::run_task(Task*) {
    if (!_active)
        return false;
    int n = 0;
    while (n < _burst) {
        if (_limit >= 0 && int64_t(_count.load(std::memory_order_relaxed)) >= _limit) {
            if (_stop)
                router()->please_stop_driver();
            return n > 0;
        }
        WritablePacket* p = make(_flows[_next]);
        if (++_next == _nflows)
            _next = 0;
        if (!p)
            break;
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
        ++n;
    }
    _task.fast_reschedule();
    return n > 0;
}

void FlowSource::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", active_write_handler(_active, [this] { _task.reschedule(); }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count = 0;
                          if (_active)
                              _task.reschedule();
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(FlowSource);
