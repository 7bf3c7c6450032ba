#include "qm/qmbase.hh"

#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/router.hh>

#include <cmath>

#include "common/ipv4view.hh"
#include "common/wconf.hh"
#include "compression/wcompbase.hh"
#include "rsp/rsp.hh"

namespace qm {

uint32_t red_random() { return (click_random() >> 5) & 0xFFFF; }

bool FixedPointArg::parse(const std::string& str, int64_t& result, Args& args) const {
    double d;
    if (!DoubleArg().parse(str, d, args))
        return false;
    // Far outside [0, 1] is as wrong as just outside; keep it representable.
    d = std::fmax(-2.0, std::fmin(d, 2.0));
    result = int64_t(std::llround(d * 65536.0));
    return true;
}

bool droppable(const Packet* p, const ShimConfig& shim) {
    IPv4View v;
    if (!ipv4_view(p, &v, true))
        return false;
    size_t off = v.hlen;
    uint8_t proto = v.proto();
    int so = shim_offset(v.ip, v.tot, shim);
    if (so >= 0) {
        proto = v.ip[so + 2];
        off = size_t(so) + WSHIM_LEN;
    }
    if (proto != 6)
        return false;
    // A later fragment of a TCP segment carries nothing but data.
    if (!v.first_fragment())
        return true;
    if (off + 20 > v.tot)
        return false;
    const uint8_t* tcp = v.ip + off;
    size_t thl = size_t(tcp[12] >> 4) * 4;
    if (thl < 20 || off + thl > v.tot)
        return false;
    if (tcp[13] & 0x07)  // FIN, SYN, RST
        return false;
    return v.tot > off + thl;
}

}  // namespace qm

rtt_info_t QMBase::RspFigures::rtt_info() {
    rsp->lock_acquire();
    rtt_info_t r = rsp->rtt_info();
    rsp->lock_release();
    return r;
}

rsp_congestion_info QMBase::RspFigures::congestion_info() {
    rsp->lock_acquire();
    rsp_congestion_info c = rsp->congestion_info();
    rsp->lock_release();
    return c;
}

bool QMBase::RspFigures::idle() {
    rsp->lock_acquire();
    bool idle = rsp->tx_queue_size() == 0 && rsp->pacer_held() == 0;
    rsp->lock_release();
    return idle;
}

int QMBase::configure_partners(std::vector<std::string>& conf, const std::string& rsp_name, const std::string* wcomp_name,
                               bool data_only, bool active, ErrorHandler* errh) {
    Element* e = router()->find(rsp_name, this);
    if (!e)
        return errh->error("%<%s%> does not name an element", rsp_name.c_str());
    RSP* rsp = static_cast<RSP*>(e->cast("RSP"));
    QMFigures* figures = rsp ? nullptr : static_cast<QMFigures*>(e->cast("QMFigures"));
    if (!rsp && !figures)
        return errh->error("%<%s%> is not a RSP element", rsp_name.c_str());
    WCompBase* comp = nullptr;
    if (wcomp_name) {
        Element* c = router()->find(*wcomp_name, this);
        if (!c)
            return errh->error("%<%s%> does not name an element", wcomp_name->c_str());
        comp = static_cast<WCompBase*>(c->cast("WCompBase"));
        if (!comp)
            comp = dynamic_cast<WCompBase*>(c);
        if (!comp)
            return errh->error("%<%s%> is not a WCompBase element", wcomp_name->c_str());
    }
    if (WBase::configure(conf, errh) < 0)
        return -EINVAL;
    _rsp_figures.rsp = rsp;
    _figures = rsp ? &_rsp_figures : figures;
    _comp = comp;
    _data_only = data_only;
    _active = active;
    _shim = _wconf->shim_config();
    return 0;
}

bool QMBase::streaming() const {
    _comp->_lock.acquire();
    bool s = _comp->streaming_in_force();
    _comp->_lock.release();
    return s;
}

void QMBase::drop(Packet* p) {
    if (noutputs() > 1)
        output(1).push(p);
    else
        p->kill();
}

void QMBase::add_qm_handlers(
    std::initializer_list<std::pair<const char*, const std::atomic<uint64_t>*>> counters) {
    add_read_handler("active", ReadHandlerFunction([this] { return std::string(_active ? "true" : "false"); }));
    add_write_handler("active", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          bool a;
                          if (!parse_arg(BoolArg(), cp_uncomment(s), a))
                              return errh->error("type mismatch");
                          _active = a;
                          return 0;
                      }));
    for (const auto& [name, counter] : counters)
        add_read_handler(name, ReadHandlerFunction([c = counter] {
                             return std::to_string(c->load(std::memory_order_relaxed));
                         }));
}
