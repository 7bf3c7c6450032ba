// WNetflowSwitch: feeds flow accounting from the interface-direction bits
// (DIRECTION_ANNO, set by WSetDirection) and the received length
// (RX_LEN_ANNO, set by WSetRXLen).
//
// Every packet leaves on a transmit-side output; a packet that was received
// on a known side also yields a copy, cut or padded back to the length it
// had when received, on a receive-side output:
//   output 0  copies of packets received on the local side (LANRX)
//   output 1  packets transmitted on the wide-area side (WANTX)
//   output 2  copies of packets received on the wide-area side (WANRX)
//   output 3  packets transmitted on the local side (LANTX)
// A packet with WANTX goes to 1 (its copy to 0 if LANRX, else to 2 if
// WANRX); otherwise a packet with LANTX goes to 3 (its copy to 2 if WANRX,
// else to 0 if LANRX); a packet with neither transmit bit is dropped with a
// warning (at most one line a second). Bytes added to a copy are zero.
//
// Ports "1/4", push; no keywords. Read handlers: copies, no_tx (dropped).
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class WNetflowSwitch : public Element {
  public:
    const char* class_name() const override { return "WNetflowSwitch"; }
    const char* port_count() const override { return "1/4"; }
    const char* processing() const override { return PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    void copy_to(int out, Packet* p);

    std::atomic<uint64_t> _copies{0}, _no_tx{0};
    std::atomic<int64_t> _last_warn{-1};
};
