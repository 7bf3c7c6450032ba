// SessionListenerTest: watches session events and the session annotations of
// the packets that pass, for tests and for debugging a session manager.
//
//   SessionListenerTest([NOTIFIER element])
//
// NOTIFIER names a SessionManager (anything that answers "SessionNotifier");
// the element listens to its TCP and UDP session events from initialisation
// to cleanup. Without NOTIFIER it only watches packets.
//
// Every packet passes unchanged; its session id and direction annotations are
// logged at Debug ("SessionListenerTest Packet session id: %u, Direction: %s",
// "WAN IN" or "WAN OUT"). A direction other than 0 or 1 is logged at Error.
// Each event is logged at Debug: "SessionListenerTest received a NEW SESSION
// event for session id: %u, map: %s" (or DELETE SESSION), the map being "TCP",
// "UDP" or "OTHER"; an unknown mask or event type is logged at Error.
//
// Ports 1/1, agnostic. Handlers (read): packets, new_sessions,
// deleted_sessions, invalid (packets and events that were logged as invalid).
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

#include "sessions/sessionnotifier.hh"

class SessionListenerTest : public Element, public SessionListener {
  public:
    SessionListenerTest() { _listener_mask = MASK_TCP | MASK_UDP; }

    const char* class_name() const override { return "SessionListenerTest"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

    void session_notify(unsigned int session_id, unsigned char mask, SessionEvent event, const IPFlowID* flow,
                        const WSessionInfo* info) override;

  private:
    SessionNotifier* _notifier = nullptr;
    bool _registered = false;
    std::atomic<uint64_t> _packets{0};
    std::atomic<uint64_t> _new_sessions{0};
    std::atomic<uint64_t> _deleted_sessions{0};
    std::atomic<uint64_t> _invalid{0};
};
