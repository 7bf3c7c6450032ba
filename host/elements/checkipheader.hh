// CheckIPHeader(OFFSET, VERBOSE, CHECKSUM): checks the IPv4 header that
// starts OFFSET bytes into each packet (version, header length, total
// length, checksum), marks it as the network header, and cuts link-layer
// padding beyond the IP total length. Bad packets go to output 1 if it
// exists, else they are dropped; either way they are counted.
// Keywords: OFFSET (default 0), VERBOSE (bool, default false: print the
// first bad packets of each kind), CHECKSUM (bool, default true).
// Ports: 1 input, 1 or 2 outputs, agnostic.
// Handlers: drops (read), drop_details (read: one line per reason), reset (write).
#pragma once
#include <host/element.hh>

#include <atomic>

class CheckIPHeader : public Element {
 public:
    enum Reason { R_TINY, R_VERSION, R_HLEN, R_LEN, R_CHECKSUM, R_NREASONS };

    const char* class_name() const override { return "CheckIPHeader"; }
    const char* port_count() const override { return PORTS_1_1X2; }
    const char* processing() const override { return PROCESSING_A_AH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;

    // Checks an IPv4 header of `len` bytes at `ip`; returns the header length
    // or a negative Reason.
    static int check(const unsigned char* ip, uint32_t len, bool checksum, Reason* why);

 private:
    Packet* drop(Reason r, Packet* p);
    uint32_t _offset = 0;
    bool _verbose = false;
    bool _checksum = true;
    std::atomic<uint64_t> _drops{0};
    std::atomic<uint64_t> _reason[R_NREASONS] = {};
};
