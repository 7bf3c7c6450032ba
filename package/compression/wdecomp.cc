#include "compression/wdecomp.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <cstring>

#include "common/predecessor.hh"
#include "common/partner.hh"
#include "common/registration.hh"
#include "common/wconf.hh"
#include "common/wlogger.hh"
#include "rsp/rsp.hh"

int WDeComp::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string rsp_name;
    if (Args(conf, this, errh).read_m("RSP", WordArg(), rsp_name).complete() < 0)
        return -1;
    RSP* rsp = find_partner<RSP>(this, rsp_name, "RSP", "RSP", errh);
    if (!rsp)
        return -1;
    std::vector<std::string> rest;
    if (WBase::configure(rest, errh) < 0)
        return -1;
    _rsp = rsp;
    return 0;
}

int WDeComp::initialize(ErrorHandler* errh) { return _dec.initialize(name(), errh); }

void WDeComp::cleanup(CleanupStage) { _dec.cleanup(); }

void* WDeComp::cast(const char* name) {
    if (std::strcmp(name, "WDeComp") == 0)
        return this;
    return WBase::cast(name);
}

void WDeComp::take_state(Element* old_e, ErrorHandler* errh) {
    WDeComp* old = predecessor_as(this, old_e, "WDeComp", errh);
    if (!old)
        return;
    _dec.take_state(old->_dec);
    WLogger::debug("%s state taken successfully", name().c_str());
}

void WDeComp::add_handlers() {
    add_read_handler("decompressed", [this]() { return std::to_string(_dec.decompressed_count()); });
    add_read_handler("uncompressed", [this]() { return std::to_string(_dec.uncompressed_count()); });
    add_read_handler("passed", [this]() { return std::to_string(_dec.passed_count()); });
    add_read_handler("errors", [this]() { return std::to_string(_dec.error_count()); });
}

Packet* WDeComp::simple_action(Packet* p) {
    return PacketDecompressor::deliver(_dec.process(p, _wconf->shim_config()), this, _rsp);
}

QUILO_REGISTER_ELEMENT(WDeComp);
