// WIPPrint: writes one text line per IPv4 packet, to watch traffic at any
// point of a configuration. Packets pass unchanged; packets without a network
// header pass without a line.
//
//   WIPPrint([LABEL] [, KEYWORDS])
//
// LABEL      text printed first, followed by ": " (default none)
// CONTENTS   NONE, HEX or ASCII (any case), or a boolean (true means HEX):
//            dump the packet from its first data byte (default NONE)
// PAYLOAD    NO/FALSE, YES/TRUE/HEX or ASCII (any case): dump only the
//            transport payload (default NO); at most one of CONTENTS and
//            PAYLOAD may be given
// MAXLENGTH  most bytes dumped, negative for all (default 1500); NBYTES is
//            the same setting under another name
// ID, TTL, TOS, LENGTH   print the IP identification, TTL, TOS and total
//            length (default false)
// TIMESTAMP  print the packet timestamp (default true)
// PAINT      print the paint annotation (default false)
// AGGREGATE  print the aggregate annotation (default false)
// SWAP       accepted for older configurations; changes nothing
// ACTIVE     print at all (default true; the `active` handler)
// INTERVAL   when positive, print at most one packet per INTERVAL (the first
//            one that arrives after each interval starts; default 0)
// OUTFILE    write the lines to this file ("-": standard output), created
//            anew when the router starts; otherwise each line is a message
//            on the message channel (standard error)
// CHANNEL    message channel; this host has one, "default"
//
// The line:
//   [LABEL: ][TIMESTAMP: ][#AGG][paint P | .P][: ]
//   [id ID ][ttl TTL ][tos TOS ][length LEN ]PROTOCOL PART[ (frag ID:LEN@OFF[+])]
// followed by the dump. TIMESTAMP is seconds.nanoseconds. A packet with fewer
// than 20 bytes from its network header on prints "truncated-ip" after the
// prefix parts. A is the number of transport bytes both present and inside the
// IP total length. Protocol parts:
//   TCP   SRC.SPORT > DST.DPORT: FLAGS SEQ:END(SLEN,PLEN,IPLEN)[ ack ACK][ win WIN]
//         FLAGS are S, F, R and P in that order, or "." for none of them;
//         SLEN is the payload length plus one for SYN and one for FIN, END is
//         SEQ + SLEN, PLEN the packet length, IPLEN the IP total length.
//         With A of 14 or 15 the window is replaced by " truncated-tcp"; with
//         A below 14, or a data offset outside 20 bytes .. the IP payload,
//         "truncated-tcp" follows "DST.DPORT: "; with A below 4,
//         "SRC > DST: truncated-tcp". A later fragment: "SRC > DST: tcp".
//   UDP   SRC.SPORT > DST.DPORT: udp ULEN (the UDP length field), the same
//         truncated forms with "truncated-udp" (A below 8), and "SRC > DST: udp"
//         for a later fragment.
//   ICMP  SRC > DST: icmp echo id ID seq SEQ | icmp echo-reply id ID seq SEQ |
//         icmp unreachable CODE[ (mtu MTU)] | icmp type TYPE code CODE;
//         "icmp" for a later fragment and "truncated-icmp" when the message
//         is cut short. An unreachable CODE is a name (net, host, protocol,
//         port, needfrag, ...) or a number.
//   other SRC > DST: ip-proto-N
// An IP header length below 20 bytes prints "SRC > DST: bad-hlen N".
// Dumps begin on a new line: hex as two lower-case digits per byte, a blank
// every 4 bytes and a new line every 24; ASCII with "." for unprintable bytes,
// a blank every 8 and a new line every 48; each line indented by two blanks.
// PAYLOAD starts after the TCP header (by its data offset), after UDP's 8
// bytes, or at the transport header for other protocols and later fragments,
// and ends with the IP packet.
//
// Ports 1/1, agnostic. Handlers: active (read/write, boolean).
#pragma once

#include <host/element.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

class WIPPrint : public Element {
  public:
    enum Dump { DUMP_NONE = 0, DUMP_HEX, DUMP_ASCII };

    WIPPrint() : _timer(this) {}
    ~WIPPrint() override;

    const char* class_name() const override { return "WIPPrint"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return AGNOSTIC; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    Packet* simple_action(Packet* p) override;
    void run_timer(Timer* t) override;

    // The line for `p` (without newline) as this element would print it.
    void unparse(const Packet* p, std::string& out) const;

  private:
    struct Settings {
        std::string label;
        Dump dump = DUMP_NONE;
        bool payload_only = false;
        int64_t maxlength = 1500;
        bool print_id = false, print_timestamp = true, print_paint = false, print_tos = false;
        bool print_ttl = false, print_length = false, print_aggregate = false;
        int64_t interval_ns = 0;
        std::string outfile;
    };

    void unparse_transport(const uint8_t* ip, size_t avail, const Packet* p, std::string& out) const;
    void dump(const uint8_t* from, const uint8_t* to, std::string& out) const;
    void write_line(std::string& line);

    Settings _s;
    std::atomic<bool> _active{true};
    // With INTERVAL: set by the timer at the start of each interval, taken by
    // the first packet printed in it.
    std::atomic<bool> _interval_open{true};
    FILE* _out = nullptr;
    Timer _timer;
};
