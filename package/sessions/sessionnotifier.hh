// Session events: SessionManager announces new and deleted sessions to the
// SessionListeners registered with it (FlowTable, L2Mapper, NDPIDetector,
// SessionListenerTest). Listeners find the notifier with
// cast("SessionNotifier") and register when they initialise.
#pragma once

#include <host/ipflowid.hh>
#include <host/timestamp.hh>

#include <cstdint>
#include <string>

#include "sessions/listenervector.hh"

// Session state flags (TCP only; UDP sessions keep 0).
enum : uint8_t {
    WSESSION_FIN_WAN = 0x01,       // FIN from the wide-area side; cleared by a later SYN
    WSESSION_FIN_LAN = 0x02,       // FIN from the local side; cleared by a later SYN
    WSESSION_FIN_WAN_SEEN = 0x04,  // a FIN was ever seen from the wide-area side
    WSESSION_FIN_LAN_SEEN = 0x08,  // a FIN was ever seen from the local side
    WSESSION_RST = 0x10,           // a RST was seen; flags are then 0x13
    WSESSION_DONE_MASK = WSESSION_FIN_WAN | WSESSION_FIN_LAN,
};

// The session record, owned by the session table.
struct WSessionInfo {
    Timestamp last_activity;  // timestamp of the session's last packet
    uint32_t session_id;
    uint8_t flags;
    uint8_t wan_mac[6];  // wide-area-side neighbour, from the first packet
    uint8_t lan_mac[6];  // local-side neighbour, from the first packet
    uint16_t vlan;       // VLAN_TCI annotation of the first packet

    bool done() const { return (flags & WSESSION_DONE_MASK) == WSESSION_DONE_MASK; }
};
static_assert(sizeof(WSessionInfo) == 32, "session records are 32 bytes");

class SessionListener {
  public:
    enum SessionEvent { SESSION_NEW = 0, SESSION_DELETED = 1 };
    // Listener mask bits, and the `mask` argument of session_notify.
    enum : uint8_t { MASK_TCP = 1, MASK_UDP = 2, MASK_OTHER = 4 };

    virtual ~SessionListener() = default;

    // `info` is null for SESSION_DELETED (the record is already gone); for
    // SESSION_NEW it is valid only during the call (copy what you need).
    // New-session events arrive with the session table's exclusive lock held:
    // a listener may read the table (unparse_session) but must not register
    // or remove listeners from here.
    virtual void session_notify(unsigned int session_id, unsigned char mask, SessionEvent event, const IPFlowID* flow,
                                const WSessionInfo* info) {
        (void)session_id, (void)mask, (void)event, (void)flow, (void)info;
    }

    uint8_t listener_mask() const { return _listener_mask; }

  protected:
    uint8_t _listener_mask = 0;  // set by the deriving element
};

class SessionNotifier : public ListenerVector<SessionListener> {
  public:
    enum PacketDirection { WAN_IN = 0, WAN_OUT = 1 };

    virtual ~SessionNotifier() = default;

    // Text describing the session of `flow` (key oriented wide-area side first)
    // in the TCP table when proto is 6, else the UDP table.
    virtual std::string unparse_session(IPFlowID& flow, unsigned char proto) = 0;

  protected:
    // Calls session_notify on every listener whose mask has `mask`'s bit.
    void notify_session(unsigned session_id, unsigned char mask, SessionListener::SessionEvent event,
                        const IPFlowID* flow, const WSessionInfo* info) const {
        for_each_listener([&](SessionListener* l) {
            if (l->listener_mask() & mask)
                l->session_notify(session_id, mask, event, flow, info);
        });
    }
};
