#include "qm/wllred.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>

#include "common/registration.hh"

int WLLRED::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    double min_pct = 0, max_pct = 0, min_ms = 0, max_ms = 0;
    int64_t max_p_p = 0, max_p_ms = 0;
    std::string rsp, wcomp;
    bool data_only = false, active = true;
    if (Args(conf, this, errh)
            .read_mp("MIN_THRESH_PERCENT", min_pct)
            .read_mp("MAX_THRESH_PERCENT", max_pct)
            .read_mp("MIN_THRESH_MS", min_ms)
            .read_mp("MAX_THRESH_MS", max_ms)
            .read_mp("MAX_P_P", qm::FixedPointArg(), max_p_p)
            .read_mp("MAX_P_MS", qm::FixedPointArg(), max_p_ms)
            .read_m("RSP", WordArg(), rsp)
            .read_m("WCOMP", WordArg(), wcomp)
            .read("DATA_ONLY", data_only)
            .read("ACTIVE", active)
            .complete() < 0)
        return -EINVAL;
    if (max_ms > 10000)
        return errh->error("MAX_THRESH_MS must be <=  10000");
    // The RTT scale is 100 / MAX_THRESH_MS.
    if (max_ms <= 0)
        return errh->error("MAX_THRESH_MS must be above 0");
    if (min_ms < 0)
        return errh->error("MIN_THRESH_MS must be >= 0");
    if (min_ms > max_ms)
        return errh->error("MIN_THRESH_MS must be <= MAX_THRESH_MS");
    if (max_p_ms < 0 || max_p_ms > 65536)
        return errh->error("MAX_P_MS must be between 0 and 1");
    if (max_pct > 100)
        return errh->error("MAX_THRESH_PERCENT must be <= 100");
    if (min_pct < 0)
        return errh->error("MIN_THRESH_PERCENT must be >= 0");
    if (min_pct > max_pct)
        return errh->error("MIN_THRESH_PERCENT must be <= MAX_THRESH_PERCENT");
    if (max_p_p < 0 || max_p_p > 65536)
        return errh->error("MAX_P_PERCENT must be between 0 and 1");
    if (configure_partners(conf, rsp, &wcomp, data_only, active, errh) < 0)
        return -EINVAL;
    _min_pct = min_pct;
    _max_pct = max_pct;
    _min_ms = min_ms;
    _scale = 100.0 / max_ms;
    _avg = 0;
    _latency = qm::RedState();
    _loss = qm::RedState();
    // m <= 100, so the divisor is at least 1.
    double m = min_ms * _scale;
    _latency.c1 = uint32_t(double(max_p_ms) / (101 - m));
    _latency.c2 = uint32_t(m * double(max_p_ms) / (101 - m));
    // Equal thresholds leave no RED band: the constants are never used.
    if (max_pct > min_pct) {
        double span = max_pct - min_pct;
        _loss.c1 = uint32_t(double(max_p_p) / span);
        _loss.c2 = uint32_t(min_pct * double(max_p_p) / span);
    }
    return 0;
}

bool WLLRED::latency_drop() {
    rtt_info_t r = rtt_info();
    _avg += (int64_t(r.last_rtt) * 1024 - _avg + (1 << (AVG_SHIFT - 1))) >> AVG_SHIFT;
    int64_t smoothed = (_avg + 512) >> 10;
    int64_t base = qm::baseline_ms(r);
    if (double(base) + _min_ms >= double(smoothed)) {
        _latency.count = -1;
        return false;
    }
    return _latency.step(double(smoothed - base) * _scale);
}

bool WLLRED::loss_drop() {
    rsp_congestion_info c = congestion_info();
    if (c.tx_packets_last == 0 || c.tx_retransmits_total < 5) {
        _loss.count = -1;
        return false;
    }
    // tx_packets_total >= tx_packets_last > 0.
    double pct = double(c.tx_retransmits_total) / double(c.tx_packets_total) * 100.0;
    if (pct <= _min_pct) {
        _loss.count = -1;
        return false;
    }
    if (_max_pct <= _min_pct) {
        _loss.count = -1;
        return true;
    }
    double d = pct < _max_pct ? pct : _max_pct;
    // A last period that fell short of the average weighs the loss down.
    // Signed: an average of 0 does not wrap (and then divide by 0).
    if (int64_t(c.tx_packets_last) < int64_t(c.tx_packets_average) - 1)
        d /= double(c.tx_packets_average / c.tx_packets_last);
    return _loss.step(d);
}

void WLLRED::push(int, Packet* p) {
    if (exempt(p) || !streaming()) {
        output(0).push(p);
        return;
    }
    if (latency_drop()) {
        _drops_latency.fetch_add(1, std::memory_order_relaxed);
    } else if (loss_drop()) {
        _drops_loss.fetch_add(1, std::memory_order_relaxed);
    } else {
        output(0).push(p);
        return;
    }
    count_drop();
    drop(p);
}

void WLLRED::add_handlers() {
    add_qm_handlers({{"drops_latency", &_drops_latency}, {"drops_loss", &_drops_loss}});
}

QUILO_REGISTER_ELEMENT(WLLRED);
