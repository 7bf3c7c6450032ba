#include "qm/wlred.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include "common/registration.hh"

int WLRED::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    double min_thresh = 0, max_thresh = 0;
    int64_t max_p = 0;
    std::string rsp;
    bool data_only = false, active = true;
    if (Args(conf, this, errh)
            .read_mp("MIN_THRESH", min_thresh)
            .read_mp("MAX_THRESH", max_thresh)
            .read_mp("MAX_P", qm::FixedPointArg(), max_p)
            .read_m("RSP", WordArg(), rsp)
            .read("DATA_ONLY", data_only)
            .read("ACTIVE", active)
            .complete() < 0)
        return -EINVAL;
    if (max_thresh > 10000)
        return errh->error("MAX_THRESH must be <= %d", 10000);
    // The RTT scale is 100 / MAX_THRESH.
    if (max_thresh <= 0)
        return errh->error("MAX_THRESH must be above 0");
    if (min_thresh < 0)
        return errh->error("MIN_THRESH must be >= 0");
    if (min_thresh > max_thresh)
        return errh->error("MIN_THRESH must be <= MAX_THRESH");
    if (max_p < 0 || max_p > 65536)
        return errh->error("MAX_P must be between 0 and 1");
    if (configure_partners(conf, rsp, nullptr, data_only, active, errh) < 0)
        return -EINVAL;
    _min_thresh = min_thresh;
    _scale = 100.0 / max_thresh;
    _max_p = uint32_t(max_p);
    _red = qm::RedState();
    return 0;
}

void WLRED::push(int, Packet* p) {
    if (exempt(p)) {
        output(0).push(p);
        return;
    }
    rtt_info_t r = rtt_info();
    double low = double(qm::baseline_ms(r)) + _min_thresh;
    double current = r.weighted_rtt;
    if (low >= current) {
        output(0).push(p);
        return;
    }
    // The band's constants follow the baseline: from m (its lower end on the
    // 0..100 scale) up to 101.
    double m = low * _scale, divisor;
    if (m > 100) {
        m = 100;
        divisor = 1;
    } else {
        divisor = 101 - m;
    }
    _red.c1 = uint32_t(double(_max_p) / divisor);
    _red.c2 = uint32_t(m * double(_max_p) / divisor);
    if (!_red.step(current * _scale)) {
        output(0).push(p);
        return;
    }
    count_drop();
    drop(p);
}

void WLRED::add_handlers() { add_qm_handlers({{"drops", &_drops}}); }

QUILO_REGISTER_ELEMENT(WLRED);
