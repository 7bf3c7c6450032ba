#include "classifiers/wdpi.hh"

#include <host/args.hh>
#include <host/handlercall.hh>
#include <host/errorhandler.hh>

#include <cstring>

#include "common/predecessor.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"

WDPI::WDPI() = default;
WDPI::~WDPI() = default;

void* WDPI::cast(const char* n) {
    if (std::strcmp(n, "WDPI") == 0)
        return this;
    return Element::cast(n);
}

int WDPI::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Element* notifier = nullptr;
    IPAddress local;
    NDPIDetector::Settings s;
    if (Args(conf, this, errh)
            .read_m("NOTIFIER", ElementArg(), notifier)
            .read_m("LOCAL_IP", local)
            .read("PROTOCOL_FILE", s.protocol_file)
            .read("ENABLE_PROTOCOL_GUESS", s.guess)
            .read("DEBUG", s.debug)
            .complete() < 0)
        return -1;
    auto* sn = static_cast<SessionNotifier*>(notifier->cast("SessionNotifier"));
    if (!sn)
        return errh->error("%s is not a SessionNotifier", notifier->name().c_str());
    s.local_ip = local.addr();
    std::unique_ptr<NDPIDetector> d(new (std::nothrow) NDPIDetector(this, std::move(s)));
    if (!d)
        return errh->error("Out of memory!");
    _detector = std::move(d);
    _notifier = sn;
    return 0;
}

int WDPI::initialize(ErrorHandler* errh) {
    _notifier->add_listener(_detector.get());
    return _detector->init_module(errh) ? 0 : -1;
}

void WDPI::take_state(Element* old_e, ErrorHandler* errh) {
    WLogger::info("%s taking state", name().c_str());
    WDPI* old = predecessor_as(this, old_e, "WDPI", errh);
    if (old && old->_detector)
        _detector->take_state(old->_detector.get());
}

void WDPI::cleanup(CleanupStage) {
    if (_detector)
        _detector->cleanup();
}

void WDPI::push(int port, Packet* p) {
    _detector->process(p);
    output(port).push(p);
}

void WDPI::add_handlers() {
    auto stat = [this](uint64_t NDPIDetector::Stats::*m) {
        return ReadHandlerFunction([this, m] { return std::to_string(_detector->stats().*m); });
    };
    add_read_handler("sessions", stat(&NDPIDetector::Stats::sessions));
    add_read_handler("detected", stat(&NDPIDetector::Stats::detected));
    add_read_handler("undetected", stat(&NDPIDetector::Stats::undetected));
    add_read_handler("inspected", stat(&NDPIDetector::Stats::inspected));
    add_read_handler("skipped", stat(&NDPIDetector::Stats::skipped));
    add_read_handler("malformed", stat(&NDPIDetector::Stats::malformed));
    add_read_handler("protocols", ReadHandlerFunction([this] { return _detector->unparse_protocols(); }));
    add_read_handler("flows", ReadHandlerFunction([this] { return _detector->unparse_flows(); }));
}

QUILO_REGISTER_ELEMENT(WDPI);
