// ProbeHandler([DS_CHECK_SECS secs]): switches the peer probes on once the
// byte cache can serve.
//
// Every DS_CHECK_SECS seconds (2) it asks each Dedup element of the router,
// through its "ds_ready" read handler, whether its datastore is ready; an
// element without that handler has no datastore to wait for, and one whose
// "ds_waiting" reads true (its peer branch has no peer yet) is skipped. When all are
// ready (at once when there are none) it activates every PeerProbe, tells
// every BypassHandler that the cache is ready, and stops checking.
//
// No ports. Read handler: done (whether the probes have been activated).
#pragma once

#include <host/timer.hh>

#include <atomic>
#include <vector>

#include "common/wbase.hh"

class PeerProbe;
class BypassHandler;

class ProbeHandler : public WBase {
  public:
    ProbeHandler();

    const char* class_name() const override { return "ProbeHandler"; }
    const char* port_count() const override { return PORTS_0_0; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    void run_timer(Timer* t) override;

    // One check; true when everything was ready and the probes are on.
    bool check();

    size_t datastores() const { return _dedups.size(); }
    size_t probes() const { return _probes.size(); }
    size_t bypass_handlers() const { return _bypass.size(); }

  private:
    uint32_t _secs = 2;
    std::vector<Element*> _dedups;
    std::vector<PeerProbe*> _probes;
    std::vector<BypassHandler*> _bypass;
    std::atomic<bool> _done{false};
    Timer _timer;
};
