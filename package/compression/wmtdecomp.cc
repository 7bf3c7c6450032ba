#include "compression/wmtdecomp.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/packet.hh>
#include <host/router.hh>

#include <cstring>

#include "common/predecessor.hh"
#include "common/partner.hh"
#include "common/registration.hh"
#include "common/shim.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "compression/wmtcomp.hh"
#include "rsp/rsp.hh"

void* WMTDeComp::cast(const char* name) {
    if (std::strcmp(name, "WMTDeComp") == 0)
        return this;
    return WBase::cast(name);
}

int WMTDeComp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string rsp_name;
    int threads = 1;
    if (Args(conf, this, errh).read_m("RSP", WordArg(), rsp_name).read("THREADS", threads).complete() < 0)
        return -1;
    RSP* rsp = find_partner<RSP>(this, rsp_name, "RSP", "RSP", errh);
    if (!rsp)
        return -1;
    if (threads < 1 || threads > WMTComp::MAX_THREADS) {
        threads = threads < 1 ? 1 : WMTComp::MAX_THREADS;
        WLogger::error("THREADS should be between 1 and 15: Settings MTCOMP_THREADS=%d. Change configuration or "
                       "contact support.",
                       threads);
    }
    std::vector<std::string> rest;
    if (WBase::configure(rest, errh) < 0)
        return -1;
    _rsp = rsp;
    _threads = threads;
    return 0;
}

int WMTDeComp::initialize(ErrorHandler* errh) {
    _decs.clear();
    for (int i = 0; i < _threads; ++i) {
        _decs.push_back(std::make_unique<PacketDecompressor>());
        if (_decs.back()->initialize(name(), errh, ". Thread " + std::to_string(i)) < 0)
            return -1;
    }
    return 0;
}

void WMTDeComp::cleanup(CleanupStage) {
    for (auto& d : _decs)
        d->cleanup();
}

void WMTDeComp::take_state(Element* old_e, ErrorHandler* errh) {
    WMTDeComp* old = predecessor_as(this, old_e, "WMTDeComp", errh);
    if (!old)
        return;
    for (size_t i = 0; i < _decs.size() && i < old->_decs.size(); ++i)
        _decs[i]->take_state(*old->_decs[i]);
    _invalid.fetch_add(old->_invalid.load());
    WLogger::debug("%s state taken successfully", name().c_str());
}

void WMTDeComp::add_handlers() {
    auto sum = [this](uint64_t (PacketDecompressor::*f)() const) {
        return [this, f]() {
            uint64_t n = 0;
            for (auto& d : _decs)
                n += ((*d).*f)();
            return std::to_string(n);
        };
    };
    add_read_handler("decompressed", sum(&PacketDecompressor::decompressed_count));
    add_read_handler("uncompressed", sum(&PacketDecompressor::uncompressed_count));
    add_read_handler("passed", sum(&PacketDecompressor::passed_count));
    add_read_handler("errors", sum(&PacketDecompressor::error_count));
    add_read_handler("invalid", [this]() { return std::to_string(invalid_count()); });
}

Packet* WMTDeComp::simple_action(Packet* p) {
    const ShimConfig& c = _wconf->shim_config();
    const uint8_t* ip = p->data() + packet_ip_offset(p);
    int so = shim_offset(ip, size_t(p->end_data() - ip), c);
    unsigned id = so < 0 ? 0 : ip[so + 1] & WSHIM_THREAD_MASK;
    if (id >= unsigned(_threads)) {
        _invalid.fetch_add(1, std::memory_order_relaxed);
        // One line a second: a misconfigured peer sends nothing else.
        uint32_t now = click_jiffies(), last = _last_warn.load(std::memory_order_relaxed);
        if (!last || now - last >= 1000) {
            _last_warn.store(now ? now : 1, std::memory_order_relaxed);
            WLogger::error("%s received invalid thread ID: %u", name().c_str(), id);
        }
        p->kill();
        return nullptr;
    }
    return PacketDecompressor::deliver(_decs[id]->process(p, c), this, _rsp);
}

QUILO_REGISTER_ELEMENT(WMTDeComp);
