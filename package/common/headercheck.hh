// Shared machinery of WCheckTCPHeader and WCheckUDPHeader: keywords, drop
// counting per reason, logging and the optional second output.
//   VERBOSE  bool, default false: log every drop (else only the first)
//   DETAILS  bool, default false: count drops per reason ("drop_details")
// Ports 1/1-2, agnostic with a push second output: bad packets leave on
// output 1 when it exists, else they are freed.
// Handlers: drops, and with DETAILS drop_details (one line per reason: the
// count, a tab, the reason text).
#pragma once

#include <host/element.hh>

#include <atomic>
#include <cstdint>

class HeaderCheck : public Element {
  public:
    const char* port_count() const override { return PORTS_1_1X2; }
    const char* processing() const override { return "a/ah"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;

  protected:
    static constexpr int nreasons = 3;
    // reason_texts()[0..2]: "not ...", "bad packet length", "bad ... checksum".
    virtual const char* const* reason_texts() const = 0;
    // The log line prefix, e.g. "TCP header check failed".
    virtual void log_drop(const char* reason) = 0;
    // Counts, logs and disposes of a bad packet. Returns null.
    Packet* drop(Packet* p, int reason);

    bool _verbose = false;
    bool _details = false;

  private:
    std::atomic<uint32_t> _drops{0};
    std::atomic<uint32_t> _reason_drops[nreasons] = {};
};
