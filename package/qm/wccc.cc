#include "qm/wccc.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include "common/registration.hh"
#include "common/wlogger.hh"

namespace {

// Largest r with r * r <= x.
uint64_t int_sqrt(uint64_t x) {
    uint64_t r = 0, bit = uint64_t(1) << 62;
    while (bit > x)
        bit >>= 2;
    while (bit) {
        if (x >= r + bit) {
            x -= r + bit;
            r = (r >> 1) + bit;
        } else {
            r >>= 1;
        }
        bit >>= 2;
    }
    return r;
}

std::string seconds(int64_t ns) { return Timestamp::make_nsec(ns).unparse(); }

}  // namespace

int WCCC::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string rsp, wcomp;
    double delta = 1.2;
    Timestamp interval = Timestamp::make_msec(100);
    bool debug = false, data_only = false, active = true;
    if (Args(conf, this, errh)
            .read_m("RSP", WordArg(), rsp)
            .read_m("WCOMP", WordArg(), wcomp)
            .read("RTT_DELTA", delta)
            .read("INTERVAL", SecondsArg(), interval)
            .read("DEBUG", debug)
            .read("DATA_ONLY", data_only)
            .read("ACTIVE", active)
            .complete() < 0)
        return -EINVAL;
    if (!(delta > 0))
        return errh->error("RTT_DELTA must be above 0");
    // The control law works in whole milliseconds.
    if (interval < Timestamp::make_msec(1))
        return errh->error("INTERVAL must be at least 1ms");
    if (configure_partners(conf, rsp, &wcomp, data_only, active, errh) < 0)
        return -EINVAL;
    _rtt_delta = delta;
    _interval = interval.nsecval();
    _debug = debug;
    return 0;
}

int WCCC::initialize(ErrorHandler*) {
    _drops = 0;
    _count = 0;
    _dropping = false;
    _first_above = 0;
    _drop_next = 0;
    _last_seen = 0;
    return 0;
}

int64_t WCCC::control_law(int64_t t) const {
    // INTERVAL in whole milliseconds x 16000000 / int_sqrt(count x 256) is
    // INTERVAL / sqrt(count); in 64 bits, so that every interval works.
    uint64_t num = uint64_t(_interval / 1000000) * 16000000u;
    uint64_t den = int_sqrt(uint64_t(_count ? _count : 1) * 256);
    return t + int64_t(num / den);
}

bool WCCC::should_drop(int64_t now) {
    bool ok_to_drop = false;
    rtt_info_t r = rtt_info();
    int64_t base = qm::baseline_ms(r);
    int64_t sample = r.last_rtt;
    double t = double(float(base)) * _rtt_delta;
    _target = int64_t(t >= 4294967295.0 ? 4294967295u : t > 0 ? uint32_t(t) : 0u) * 1000000;
    // RSP samples only while it sends, so after a quiet INTERVAL without
    // data packets the last sample may date from a burst that has long
    // drained. Start afresh then: otherwise the first data packet of the
    // next connection (an HTTP request, a response's first segment) met
    // the old dropping state and was dropped, and its sender waited a
    // retransmission timeout (200 ms) before anything moved.
    if (_last_seen && now - _last_seen > _interval) {
        _first_above = 0;
        _dropping = false;
    }
    _last_seen = now;
    // An idle tunnel holds no queue, whatever its last sample says (CoDel
    // leaves its dropping state on an empty queue). Without this test, once
    // a drop had emptied the tunnel, each of the end host's retransmissions
    // met the same old sample and was dropped again, and its TCP backed off
    // for tens of seconds.
    if (sample * 1000000 < _target || tunnel_idle()) {
        _first_above = 0;
    } else if (_first_above == 0) {
        _first_above = now + _interval;
    } else if (now >= _first_above) {
        ok_to_drop = true;
    }
    if (_debug)
        WLogger::debug("%s,WCODEL,%s,%u,%u,%u,%u,%u,%u,%u,%u,%s,%s", name().c_str(), seconds(now).c_str(),
                       unsigned(sample), unsigned(r.weighted_rtt), unsigned(r.window_rtt_min), unsigned(base),
                       unsigned(_target / 1000000), unsigned(drops()), unsigned(ok_to_drop), _count,
                       seconds(_first_above).c_str(), seconds(_drop_next).c_str());

    if (_dropping) {
        if (!ok_to_drop) {
            _dropping = false;
            return false;
        }
        if (now < _drop_next)
            return false;
        ++_count;
        _drop_next = control_law(_drop_next);
        return true;
    }
    if (!ok_to_drop)
        return false;
    // Signed: a drop that was scheduled when dropping ended lies ahead.
    if (now - _drop_next < _interval) {
        _count = _count > 2 ? _count - 2 : 1;
    } else if (now - _first_above < _interval) {
        return false;
    } else {
        _count = 1;
    }
    _dropping = true;
    _drop_next = control_law(now);
    return true;
}

void WCCC::push(int, Packet* p) {
    if (exempt(p) || !streaming() || !should_drop(_clock().nsecval())) {
        output(0).push(p);
        return;
    }
    count_drop();
    p->kill();
}

void WCCC::add_handlers() { add_qm_handlers({{"drops", &_drops}}); }

QUILO_REGISTER_ELEMENT(WCCC);
