// ARPResponder(ADDR[/MASK] ... MAC, ...): answers ARP requests for the
// addresses it is configured with (each argument names one or more
// addresses or prefixes and the MAC to answer with). Requests it does not
// answer go to output 1 if it exists, else they are dropped; other frames
// likewise. Gratuitous requests (sender address = target address) are not
// answered.
// Ports: 1 input, 1 or 2 outputs; push.
// Handlers: table (read: "ADDR/LEN MAC" per line), add (write
// "ADDR/LEN MAC": adds or replaces the entry for that prefix), remove
// (write "ADDR/LEN"; removing an absent entry is not an error), replies
// and drops (read).
#pragma once
#include <host/element.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>

#include <atomic>
#include <mutex>

class ARPResponder : public Element {
 public:
    const char* class_name() const override { return "ARPResponder"; }
    const char* port_count() const override { return PORTS_1_1X2; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override;

    struct Entry {
        IPAddress addr, mask;
        EtherAddress eth;
    };
    // Parses "ADDR[/MASK] [ADDR...] MAC" into entries.
    static bool parse_entry(const std::string& s, std::vector<Entry>& out, ErrorHandler* errh);

 private:
    bool lookup(IPAddress ip, EtherAddress* eth);
    std::mutex _lock;
    std::vector<Entry> _entries;   // most specific first
    std::atomic<uint64_t> _replies{0}, _drops{0};
};
