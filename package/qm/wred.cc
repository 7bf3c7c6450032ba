#include "qm/wred.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include "common/registration.hh"

int WRED::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
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
    if (max_thresh > 100)
        return errh->error("MAX_THRESH must be <= %d", 100);
    if (min_thresh < 0)
        return errh->error("MIN_THRESH must be >= 0");
    if (min_thresh > max_thresh)
        return errh->error("MIN_THRESH must be <= MAX_THRESH");
    if (max_p < 0 || max_p > 65536)
        return errh->error("MAX_P must be between 0 and 1");
    if (configure_partners(conf, rsp, nullptr, data_only, active, errh) < 0)
        return -EINVAL;
    _min_thresh = min_thresh;
    _max_thresh = max_thresh;
    _red = qm::RedState();
    // Equal thresholds leave no RED band: the constants are never used.
    if (max_thresh > min_thresh) {
        double span = max_thresh - min_thresh;
        _red.c1 = uint32_t(double(max_p) / span);
        _red.c2 = uint32_t(min_thresh * double(max_p) / span);
    }
    return 0;
}

void WRED::push(int, Packet* p) {
    if (exempt(p)) {
        output(0).push(p);
        return;
    }
    rsp_congestion_info c = congestion_info();
    if (c.tx_packets_total == 0) {
        output(0).push(p);
        return;
    }
    double x = double(c.tx_retransmits_total) / double(c.tx_packets_total) * 100.0;
    bool dropped;
    if (x <= _min_thresh) {
        _red.count = -1;
        dropped = false;
    } else if (x > _max_thresh) {
        _red.count = -1;
        dropped = true;
    } else {
        dropped = _red.step(x);
    }
    if (!dropped) {
        output(0).push(p);
        return;
    }
    count_drop();
    drop(p);
}

void WRED::add_handlers() { add_qm_handlers({{"drops", &_drops}}); }

QUILO_REGISTER_ELEMENT(WRED);
