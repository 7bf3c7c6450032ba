// WNull (class WNullElement): a timing test element. It passes every packet
// on and spends 500 microseconds per packet, before or after the hand-off, so
// that tests can see what slow per-packet work costs on either side of a push.
//
//   WNull([DELAY_BEFORE_PUSH bool] [, DEBUG bool])
//
// DELAY_BEFORE_PUSH  sleep, then push (default false: push, then sleep).
// DEBUG              print "PRE : real time tasks needed before packet hand
//                    off" before and "POST : slow tasks that are not essential
//                    real time before hand off" after each packet (default false).
//
// Ports 1/1, push. Handlers (read): count.
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class WNullElement : public Element {
  public:
    static constexpr int delay_usec = 500;

    const char* class_name() const override { return "WNullElement"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

  private:
    bool _delay_before_push = false;
    bool _debug = false;
    std::atomic<uint64_t> _count{0};
};
