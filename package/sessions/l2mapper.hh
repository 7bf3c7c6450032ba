// L2Mapper(NOTIFIER sm, DIRECTION WAN_IN|WAN_OUT|ANY [, FORCE, STRIP, SRC, DST]):
// gives packets that lost their link-layer header (after decapsulation and
// decompression) the Ethernet header their session had when it first crossed
// the appliance, so the appliance stays invisible at layer 2.
//
// Keeps one saved header pair per session from SessionManager's events. A
// packet whose session is known gets the header (destination local MAC and
// source wide-area MAC for WAN_IN, the reverse for WAN_OUT; or the static
// SRC/DST header), the session's VLAN, id and direction annotations, and
// leaves on output 0; packets of unknown sessions leave unchanged on output
// 1. Packets that still have a link-layer header pass on output 0 untouched
// unless FORCE is set; with FORCE an existing header, VLAN-tagged or not, is
// replaced by the 14-byte one. STRIP removes that many bytes from the front
// afterwards. A DIRECTION other than WAN_IN/WAN_OUT tries both keys.
//
// Ports "1/2", push. Read handlers: map_size, mapped, not_found.
#pragma once

#include <host/etheraddress.hh>
#include <host/ipflowid.hh>
#include <host/spinlock.hh>

#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "common/wbase.hh"
#include "sessions/sessionnotifier.hh"

class L2Mapper : public WBase, public SessionListener {
  public:
    struct L2Info {
        uint8_t wan_mac[6];
        uint8_t lan_mac[6];
        uint16_t vlan;
        uint32_t session_id;
    };
    enum { DIR_WAN_IN = 0, DIR_WAN_OUT = 1, DIR_ANY = 2 };

    L2Mapper() { _listener_mask = MASK_TCP | MASK_UDP | MASK_OTHER; }

    const char* class_name() const override { return "L2Mapper"; }
    const char* port_count() const override { return "1/2"; }
    const char* processing() const override { return PUSH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void take_state(Element* old, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    void session_notify(unsigned int session_id, unsigned char mask, SessionEvent event, const IPFlowID* flow,
                        const WSessionInfo* info) override;

    size_t map_size() const;
    bool lookup(const IPFlowID& key, L2Info* out) const;

  private:
    std::unordered_map<IPFlowID, L2Info> _map;  // guarded by _lock
    mutable Spinlock _lock;
    SessionNotifier* _notifier = nullptr;
    int _dir = DIR_WAN_IN;
    bool _force = false;
    uint32_t _strip = 0;
    bool _static = false;
    uint8_t _static_header[14] = {};
    std::atomic<uint64_t> _mapped{0}, _not_found{0};
    std::atomic<int64_t> _last_warn{-1};
};
