#include "sessions/probehandler.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/router.hh>

#include "common/registration.hh"
#include "common/wlogger.hh"
#include "sessions/bypasshandler.hh"
#include "sessions/peerprobe.hh"

ProbeHandler::ProbeHandler() : _timer(this) {}

int ProbeHandler::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t secs = 2;
    if (Args(conf, this, errh).read_p("DS_CHECK_SECS", secs).complete() < 0)
        return -1;
    if (WBase::configure(conf, errh) < 0)
        return -1;
    std::vector<Element*> dedups;
    std::vector<PeerProbe*> probes;
    std::vector<BypassHandler*> bypass;
    for (Element* e : router()->elements()) {
        if (e->cast("Dedup"))
            dedups.push_back(e);
        else if (void* p = e->cast("PeerProbe"))
            probes.push_back(static_cast<PeerProbe*>(p));
        else if (void* b = e->cast("BypassHandler"))
            bypass.push_back(static_cast<BypassHandler*>(b));
    }
    _secs = secs;
    _dedups = std::move(dedups);
    _probes = std::move(probes);
    _bypass = std::move(bypass);
    WLogger::debug("%s ProbeHandler found %i data stores, %i peer probes, %i bypass handlers.", name().c_str(),
                   int(_dedups.size()), int(_probes.size()), int(_bypass.size()));
    return 0;
}

int ProbeHandler::initialize(ErrorHandler*) {
    _timer.initialize(this);
    _timer.schedule_after_sec(_secs);
    return 0;
}

void ProbeHandler::cleanup(CleanupStage) { _timer.unschedule(); }

bool ProbeHandler::check() {
    for (Element* d : _dedups) {
        Element* e = d;
        StringErrorHandler quiet;
        // A datastore that waits for its branch's first peer is not waited for.
        const Handler* w = router()->find_handler(d->name() + ".ds_waiting", &e, &quiet);
        bool waiting = false;
        if (w && w->readable() && BoolArg().parse(w->call_read(d), waiting) && waiting)
            continue;
        const Handler* h = router()->find_handler(d->name() + ".ds_ready", &e, &quiet);
        if (!h || !h->readable())
            continue;  // no datastore engine
        bool ready = false;
        std::string v = h->call_read(d);
        if (!BoolArg().parse(v, ready) || !ready)
            return false;
    }
    WLogger::info("%s All data stores ready", name().c_str());
    for (PeerProbe* p : _probes) {
        p->set_active(true);
        WLogger::debug("%s Peer probe %s activated", name().c_str(), p->name().c_str());
    }
    for (BypassHandler* b : _bypass) {
        b->set_cache_ready(true);
        WLogger::debug("%s Bypass handler %s cache ready", name().c_str(), b->name().c_str());
    }
    _done = true;
    return true;
}

void ProbeHandler::run_timer(Timer*) {
    if (!check())
        _timer.reschedule_after_sec(_secs);
}

void ProbeHandler::add_handlers() {
    add_read_handler("done", ReadHandlerFunction([this] { return std::string(_done.load() ? "true" : "false"); }));
}

QUILO_REGISTER_ELEMENT(ProbeHandler);
