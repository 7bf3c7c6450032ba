// WFromDump: replays a capture file (classic pcap, as tcpdump -w writes it)
// into the router, for tests and for studying recorded traffic.
//
//   WFromDump(FILENAME [, KEYWORDS])
//
// FILENAME     the capture file; "-" reads standard input
// STOP         stop the router when the file is done (default false)
// END_CALL     a write handler ("element.handler [value]") called when the
//              file is done, before STOP takes effect
// TIMING       release packets with the spacing of their timestamps
//              (default false: as fast as the configuration takes them)
// ACTIVE       start reading at once (default true; the `active` handler)
// SAMPLE       probability, 0 to 1, of keeping each packet (default 1)
// FORCE_IP     emit only IPv4 packets, each starting at its IP header (the
//              link-layer header stays in the headroom, marked as the MAC
//              header); other records are skipped and counted (default false)
// START        skip packets stamped before this absolute time
// START_AFTER  skip packets stamped less than this long after the file's first
// END          stop at the first packet stamped at or after this absolute time
// END_AFTER    ... this long after the file's first packet
// INTERVAL     ... this long after the start (START or START_AFTER, else the
//              file's first packet); at most one of END, END_AFTER, INTERVAL
//              and at most one of START, START_AFTER
// FILEPOS      byte offset in the file of the first record to read (default:
//              right after the file header)
//
// Packets carry their record's timestamp. Without FORCE_IP each packet holds
// the whole record; the MAC header is marked for Ethernet and cooked Linux
// captures, the network header where the record holds IPv4 (Ethernet with up
// to two VLAN tags, raw IP, Linux cooked, BSD loopback).
//
// The file is checked as it is read: a file shorter than its header fails
// with "not a tcpdump file (too short)", an unknown magic number with "not a
// tcpdump file (bad magic number)", a version other than 2 with "unknown major
// version N", and FORCE_IP on a link type without IPv4 with "unknown linktype
// N; can't force IP packets"; the router does not start. A record whose
// header is cut short by the end of the file, or whose captured length
// exceeds the file's snap length (or has an impossible timestamp), ends the
// file with "bad packet header; giving up"; one whose data is cut short ends
// it with "truncated packet; giving up". Packets read before stay delivered,
// nothing past the bad record is used, and the end actions run as at the end
// of the file. Run-time messages go to the log at Error level and to the
// `error` handler.
//
// Ports 0/1, push. Handlers: count (packets emitted), ignored (records skipped
// by FORCE_IP), active (read/write), filename, filesize, filepos (offset of
// the next record), encap (link type: ETHER, IP, SLL, SLL2, NULL, LOOP or
// LINKTYPE_N), error (the message that ended the file, or empty).
#pragma once

#include <host/element.hh>
#include <host/handlercall.hh>
#include <host/pcapformat.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class WFromDump : public Element {
  public:
    WFromDump() : _task(this), _timer(&_task) {}
    ~WFromDump() override;

    const char* class_name() const override { return "WFromDump"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;
    void add_handlers() override;
    bool run_task(Task* t) override;

  private:
    static constexpr int burst = 32;
    enum Next { NEXT_PACKET, NEXT_SKIP, NEXT_END };

    // Reads one record. NEXT_PACKET with *out set, NEXT_SKIP for a record
    // that is not emitted, NEXT_END at the end (normal or not).
    Next read_record(Packet** out, int64_t* ts);
    void mark_headers(Packet* p, uint32_t caplen) const;
    void fail(const char* what);
    void finish();

    // Settings.
    std::string _filename;
    bool _stop = false, _timing = false, _force_ip = false;
    uint32_t _sample_threshold = 0xFFFFFFFFu;  // keep when click_random() < threshold
    double _sample = 1.0;
    Timestamp _start, _start_after, _end, _end_after, _interval;
    bool _has_start = false, _has_start_after = false, _has_end = false, _has_end_after = false,
         _has_interval = false;
    HandlerCall _end_call;
    bool _has_end_call = false;
    uint64_t _first_filepos = pcapformat::kFileHeaderLen;

    // File state (task thread).
    FILE* _f = nullptr;
    pcapformat::FileHeader _fh;
    int64_t _filesize = -1;
    bool _have_first = false;
    int64_t _start_ns = INT64_MIN, _end_ns = INT64_MAX;
    pcapformat::ReplayPacer _pacer;
    Packet* _held = nullptr;  // read but not yet due (TIMING)
    int64_t _held_ts = 0;

    std::atomic<bool> _active{true};
    std::atomic<bool> _done{false};
    std::atomic<uint64_t> _count{0};
    std::atomic<uint64_t> _ignored{0};
    std::atomic<int64_t> _filepos{0};
    mutable std::mutex _error_lock;
    std::string _error;

    Task _task;
    Timer _timer;
};
