#include "diag/wfromdump.hh"

#include <host/activehandler.hh>
#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/router.hh>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/registration.hh"
#include "common/wlogger.hh"

WFromDump::~WFromDump() {
    if (_held)
        _held->kill();
    if (_f && _f != stdin)
        std::fclose(_f);
}

int WFromDump::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string fn;
    bool stop = false, timing = false, active = true, force_ip = false;
    double sample = 1.0;
    Timestamp start, start_after, end, end_after, interval;
    bool has_start = false, has_start_after = false, has_end = false, has_end_after = false, has_interval = false,
         has_end_call = false;
    HandlerCall end_call;
    uint64_t filepos = 0;
    if (Args(conf, this, errh)
            .read_mp("FILENAME", StringArg(), fn)
            .read("STOP", stop)
            .read("TIMING", timing)
            .read("ACTIVE", active)
            .read("SAMPLE", sample)
            .read("FORCE_IP", force_ip)
            .read("START", SecondsArg(), start)
            .read_status(has_start)
            .read("START_AFTER", SecondsArg(), start_after)
            .read_status(has_start_after)
            .read("END", SecondsArg(), end)
            .read_status(has_end)
            .read("END_AFTER", SecondsArg(), end_after)
            .read_status(has_end_after)
            .read("INTERVAL", SecondsArg(), interval)
            .read_status(has_interval)
            .read("END_CALL", HandlerCallArg(HandlerCall::writable), end_call)
            .read_status(has_end_call)
            .read("FILEPOS", filepos)
            .complete() < 0)
        return -1;
    if (!(sample >= 0 && sample <= 1))
        return errh->error("SAMPLE: must be between 0 and 1");
    if (has_start && has_start_after)
        return errh->error("specify at most one of START and START_AFTER");
    if (int(has_end) + int(has_end_after) + int(has_interval) > 1)
        return errh->error("specify at most one of END, END_AFTER, and INTERVAL");
    _filename = fn;
    _stop = stop;
    _timing = timing;
    _active = active;
    _force_ip = force_ip;
    _sample = sample;
    _sample_threshold = sample >= 1 ? 0xFFFFFFFFu : uint32_t(sample * 4294967296.0);
    _start = start, _start_after = start_after, _end = end, _end_after = end_after, _interval = interval;
    _has_start = has_start, _has_start_after = has_start_after, _has_end = has_end;
    _has_end_after = has_end_after, _has_interval = has_interval;
    _end_call = end_call;
    _has_end_call = has_end_call;
    _first_filepos = std::max<uint64_t>(filepos, pcapformat::kFileHeaderLen);
    return 0;
}

int WFromDump::initialize(ErrorHandler* errh) {
    const char* fn = _filename.c_str();
    _f = _filename == "-" ? stdin : std::fopen(fn, "rb");
    if (!_f)
        return errh->error("%s: %s", fn, std::strerror(errno));
    std::setvbuf(_f, nullptr, _IOFBF, 1 << 18);
    struct stat st;
    if (fstat(fileno(_f), &st) == 0 && S_ISREG(st.st_mode))
        _filesize = st.st_size;

    uint8_t h[pcapformat::kFileHeaderLen];
    size_t n = std::fread(h, 1, sizeof h, _f);
    switch (pcapformat::parse_file_header(h, n, &_fh)) {
    case pcapformat::kFileTooShort:
        return errh->error("%s: not a tcpdump file (too short)", fn);
    case pcapformat::kFileBadMagic:
        return errh->error("%s: not a tcpdump file (bad magic number)", fn);
    case pcapformat::kFileBadVersion:
        return errh->error("%s: unknown major version %d", fn, _fh.major);
    case pcapformat::kFileOk:
        break;
    }
    if (_force_ip && !pcapformat::knows_ip(_fh.linktype))
        return errh->error("%s: unknown linktype %d; can't force IP packets", fn, _fh.linktype);
    if (_first_filepos != pcapformat::kFileHeaderLen &&
        fseeko(_f, off_t(_first_filepos), SEEK_SET) != 0)
        return errh->error("%s: FILEPOS %llu: %s", fn, (unsigned long long)_first_filepos, std::strerror(errno));
    _filepos = int64_t(_first_filepos);
    if (_has_end_call && _end_call.initialize_write(this, errh) < 0)
        return -1;
    _task.initialize(this, _active);
    _timer.initialize(this);
    return 0;
}

void WFromDump::cleanup(CleanupStage) {
    _timer.unschedule();
    if (_held)
        _held->kill();
    _held = nullptr;
    if (_f && _f != stdin)
        std::fclose(_f);
    _f = nullptr;
}

void WFromDump::fail(const char* what) {
    {
        std::lock_guard<std::mutex> g(_error_lock);
        _error = what;
    }
    WLogger::error("%s %s: %s", name().c_str(), _filename.c_str(), what);
}

void WFromDump::finish() {
    _done = true;
    if (_has_end_call)
        _end_call.call_write(ErrorHandler::default_handler());
    if (_stop)
        router()->please_stop_driver();
}

void WFromDump::mark_headers(Packet* p, uint32_t caplen) const {
    const uint8_t* d = p->data();
    int off = pcapformat::ipv4_offset(_fh.linktype, d, caplen);
    // Only IPv4 records get a network header: an ARP frame is not an IP packet.
    if (off > 0 || (_fh.linktype == pcapformat::kLinkEthernet && caplen >= 14))
        p->set_mac_header(d);
    if (off < 0)
        return;
    uint32_t rest = caplen - uint32_t(off);
    uint32_t hl = (d[off] & 0x0F) * 4u;
    // The header length as written when it fits, else what is there (at most
    // 20): the transport header never starts past the data.
    if (hl < 20 || hl > rest)
        hl = std::min<uint32_t>(20, rest);
    p->set_network_header(d + off, hl);
}

WFromDump::Next WFromDump::read_record(Packet** out, int64_t* ts) {
    uint8_t h[pcapformat::kRecordHeaderLen];
    size_t n = std::fread(h, 1, sizeof h, _f);
    if (n == 0) {
        if (std::ferror(_f))
            fail(std::strerror(errno));
        return NEXT_END;
    }
    pcapformat::RecordHeader rh;
    if (n < sizeof h || !pcapformat::parse_record_header(h, _fh, &rh)) {
        fail("bad packet header; giving up");
        return NEXT_END;
    }
    if (!_have_first) {
        _have_first = true;
        int64_t first = rh.ts_ns;
        _start_ns = _has_start ? _start.nsecval() : _has_start_after ? first + _start_after.nsecval() : INT64_MIN;
        int64_t from = _start_ns == INT64_MIN ? first : _start_ns;
        _end_ns = _has_end         ? _end.nsecval()
                  : _has_end_after ? first + _end_after.nsecval()
                  : _has_interval  ? from + _interval.nsecval()
                                   : INT64_MAX;
    }
    if (rh.ts_ns >= _end_ns)
        return NEXT_END;

    WritablePacket* p = Packet::make(Packet::default_headroom, nullptr, rh.caplen, 0);
    if (!p) {
        fail("out of memory; giving up");
        return NEXT_END;
    }
    if (std::fread(p->data(), 1, rh.caplen, _f) != rh.caplen) {
        p->kill();
        fail("truncated packet; giving up");
        return NEXT_END;
    }
    _filepos.fetch_add(int64_t(sizeof h + rh.caplen), std::memory_order_relaxed);
    if (rh.ts_ns < _start_ns || (_sample_threshold != 0xFFFFFFFFu && click_random() >= _sample_threshold)) {
        p->kill();
        return NEXT_SKIP;
    }
    p->set_timestamp_anno(Timestamp::make_nsec(rh.ts_ns));
    mark_headers(p, rh.caplen);
    if (_force_ip) {
        if (!p->has_network_header()) {
            _ignored.fetch_add(1, std::memory_order_relaxed);
            p->kill();
            return NEXT_SKIP;
        }
        p->pull(uint32_t(p->network_header_offset()));
    }
    *out = p;
    *ts = rh.ts_ns;
    return NEXT_PACKET;
}

bool WFromDump::run_task(Task*) {
    if (!_active || _done)
        return false;
    int emitted = 0;
    for (int i = 0; i < burst; ++i) {
        Packet* p = _held;
        int64_t ts = _held_ts;
        _held = nullptr;
        if (!p) {
            Next r = read_record(&p, &ts);
            if (r == NEXT_END) {
                finish();
                return emitted > 0;
            }
            if (r == NEXT_SKIP)
                continue;
        }
        if (_timing) {
            if (int64_t wait = _pacer.wait_ns(ts, Timestamp::now().nsecval())) {
                _held = p;
                _held_ts = ts;
                _timer.schedule_after(Timestamp::make_nsec(wait));
                return emitted > 0;
            }
        }
        ++emitted;
        _count.fetch_add(1, std::memory_order_relaxed);
        output(0).push(p);
    }
    _task.fast_reschedule();
    return true;
}

void WFromDump::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this] { return std::to_string(_count.load()); }));
    add_read_handler("ignored", ReadHandlerFunction([this] { return std::to_string(_ignored.load()); }));
    add_read_handler("filename", ReadHandlerFunction([this] { return _filename; }));
    add_read_handler("filesize", ReadHandlerFunction([this] {
                         return _filesize < 0 ? std::string("-") : std::to_string(_filesize);
                     }));
    add_read_handler("filepos", ReadHandlerFunction([this] { return std::to_string(_filepos.load()); }));
    add_read_handler("encap", ReadHandlerFunction([this] {
                         char buf[24];
                         return std::string(pcapformat::encap_name(_fh.linktype, buf, sizeof buf));
                     }));
    add_read_handler("error", ReadHandlerFunction([this] {
                         std::lock_guard<std::mutex> g(_error_lock);
                         return _error;
                     }));
    add_read_handler("active", ReadHandlerFunction([this] { return std::string(_active ? "true" : "false"); }));
    add_write_handler("active", active_write_handler(_active, [this] {
                          if (!_done && !_timer.scheduled())
                              _task.reschedule();
                      }));
}

QUILO_REGISTER_ELEMENT(WFromDump);
