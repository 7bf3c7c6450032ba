#include "diag/sessionlistenertest.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>

#include "common/annotations.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"

int SessionListenerTest::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    Element* notifier = nullptr;
    if (Args(conf, this, errh).read("NOTIFIER", ElementArg(), notifier).complete() < 0)
        return -1;
    SessionNotifier* sn = nullptr;
    if (notifier) {
        sn = static_cast<SessionNotifier*>(notifier->cast("SessionNotifier"));
        if (!sn)
            return errh->error("%s is not a SessionNotifier", notifier->name().c_str());
    }
    _notifier = sn;
    return 0;
}

int SessionListenerTest::initialize(ErrorHandler*) {
    if (_notifier) {
        _notifier->add_listener(this);
        _registered = true;
    }
    return 0;
}

void SessionListenerTest::cleanup(CleanupStage) {
    if (_registered)
        _notifier->remove_listener(this);
    _registered = false;
}

Packet* SessionListenerTest::simple_action(Packet* p) {
    _packets.fetch_add(1, std::memory_order_relaxed);
    uint8_t dir = session_direction_anno(p);
    const char* text;
    if (dir == WAN_IN)
        text = "WAN IN";
    else if (dir == WAN_OUT)
        text = "WAN OUT";
    else {
        _invalid.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("SessionListenerTest received packet with an invalid packet direction annotation: %u",
                       unsigned(dir));
        text = "INVALID PACKET DIRECTION";
    }
    WLogger::debug("SessionListenerTest Packet session id: %u, Direction: %s", unsigned(session_id_anno(p)), text);
    return p;
}

void SessionListenerTest::session_notify(unsigned int session_id, unsigned char mask, SessionEvent event,
                                         const IPFlowID*, const WSessionInfo*) {
    const char* map;
    if (mask == MASK_TCP)
        map = "TCP";
    else if (mask == MASK_UDP)
        map = "UDP";
    else if (mask == MASK_OTHER)
        map = "OTHER";
    else {
        _invalid.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("SessionListenerTest notification received with an invalid listener_mask value: %u",
                       unsigned(mask));
        map = "INVALID TYPE";
    }
    if (event == SESSION_NEW) {
        _new_sessions.fetch_add(1, std::memory_order_relaxed);
        WLogger::debug("SessionListenerTest received a NEW SESSION event for session id: %u, map: %s", session_id, map);
    } else if (event == SESSION_DELETED) {
        _deleted_sessions.fetch_add(1, std::memory_order_relaxed);
        WLogger::debug("SessionListenerTest received a DELETE SESSION event for session id: %u, map: %s", session_id,
                       map);
    } else {
        _invalid.fetch_add(1, std::memory_order_relaxed);
        WLogger::error("SessionListenerTest received an invalid event type notification.");
    }
}

void SessionListenerTest::add_handlers() {
    add_read_handler("packets", ReadHandlerFunction([this] { return std::to_string(_packets.load()); }));
    add_read_handler("new_sessions", ReadHandlerFunction([this] { return std::to_string(_new_sessions.load()); }));
    add_read_handler("deleted_sessions",
                     ReadHandlerFunction([this] { return std::to_string(_deleted_sessions.load()); }));
    add_read_handler("invalid", ReadHandlerFunction([this] { return std::to_string(_invalid.load()); }));
}

QUILO_REGISTER_ELEMENT(SessionListenerTest);
