#include "fromdump.hh"
#include "activehandler.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/package.hh>
#include <host/router.hh>

int FromDump::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string fn;
    bool stop = false, timing = false, active = true;
    double sample = 1.0;
    int burst = 32;
    if (Args(conf, this, errh)
            .read_mp("FILENAME", StringArg(), fn)
            .read_p("STOP", stop)
            .read_p("TIMING", timing)
            .read_p("ACTIVE", active)
            .read_p("SAMPLE", sample)
            .read("BURST", BoundedIntArg(1, 1 << 16), burst)
            .complete() < 0)
        return -1;
    if (!(sample >= 0 && sample <= 1))
        return errh->error("SAMPLE: must be between 0 and 1");
    _filename = fn;
    _stop = stop;
    _timing = timing;
    _active = active;
    _sample = sample;
    _sample_threshold = sample >= 1 ? 0xFFFFFFFFu : uint32_t(sample * 4294967296.0);
    _burst = burst;
    return 0;
}

int FromDump::initialize(ErrorHandler* errh) {
    std::string err;
    if (!_reader.open(_filename, &err))
        return errh->error("%s", err.c_str());
    _task.initialize(this, _active);
    _timer.initialize(this);
    return 0;
}

Packet* FromDump::make_packet(const uint8_t* data, uint32_t caplen, int64_t ts_ns) {
    WritablePacket* p = Packet::make(Packet::default_headroom, data, caplen, 0);
    if (!p)
        return nullptr;
    p->set_timestamp_anno(Timestamp::make_nsec(ts_ns));
    const unsigned char* d = p->data();
    if (!_reader.raw_ip() && caplen >= 14)
        p->set_mac_header(d, 14);
    int ipoff = pcapformat::ipv4_offset(_reader.linktype(), d, caplen);
    if (ipoff >= 0 && caplen - uint32_t(ipoff) >= 20 && (d[ipoff] >> 4) == 4) {
        uint32_t hl = (d[ipoff] & 0x0F) * 4u;
        if (hl < 20 || ipoff + hl > caplen)
            hl = 20;
        p->set_network_header(d + ipoff, hl);
    }
    return p;
}

void FromDump::finish() {
    _done = true;
    if (_stop)
        router()->please_stop_driver();
}

bool FromDump::run_task(Task*) {
    if (!_active || _done)
        return false;
    int n = 0;
    while (n < _burst) {
        Packet* p = _held;
        int64_t ts = _held_ts;
        _held = nullptr;
        if (!p) {
            const uint8_t* data;
            uint32_t caplen, wirelen;
            std::string err;
            int r = _reader.next(data, caplen, wirelen, ts, &err);
            if (r <= 0) {
                if (r < 0)
                    click_chatter("%s: %s", declaration().c_str(), err.c_str());
                finish();
                return n > 0;
            }
            if (_sample_threshold != 0xFFFFFFFFu && click_random() >= _sample_threshold)
                continue;
            p = make_packet(data, caplen, ts);
            if (!p)
                continue;
        }
        if (_timing) {
            if (int64_t wait = _pacer.wait_ns(ts, Timestamp::now().nsecval())) {
                _held = p;
                _held_ts = ts;
                _timer.schedule_after(Timestamp::make_nsec(wait));
                return n > 0;
            }
        }
        ++n;
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
    }
    _task.fast_reschedule();
    return true;
}

void FromDump::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("filename", ReadHandlerFunction([this]() { return _filename + "\n"; }));
    add_read_handler("encap", ReadHandlerFunction([this]() {
                         return std::string(_reader.raw_ip() ? "IP\n" : "ETHER\n");
                     }));
    add_read_handler("sampling_prob", ReadHandlerFunction([this]() { return std::to_string(_sample) + "\n"; }));
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", active_write_handler(_active, [this] {
                          if (!_done && !_timer.scheduled())
                              _task.reschedule();
                      }));
}

QUILO_HOST_ELEMENT(FromDump);
