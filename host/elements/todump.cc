#include "todump.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int ToDump::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string fn, encap = "ETHER";
    uint32_t snaplen = 65535;
    int burst = 32;
    if (Args(conf, this, errh)
            .read_mp("FILENAME", StringArg(), fn)
            .read_p("SNAPLEN", BoundedIntArg(1, 262144), snaplen)
            .read_p("ENCAP", WordArg(), encap)
            .read("BURST", BoundedIntArg(1, 1 << 16), burst)
            .complete() < 0)
        return -1;
    int lt = pcapfile::linktype_from_name(encap);
    if (lt < 0)
        return errh->error("ENCAP: expected ETHER or IP, got %<%s%>", encap.c_str());
    _filename = fn;
    _snaplen = snaplen;
    _linktype = lt;
    _burst = burst;
    return 0;
}

int ToDump::initialize(ErrorHandler* errh) {
    std::string err;
    if (!_writer.open(_filename, _linktype, _snaplen, &err))
        return errh->error("%s", err.c_str());
    if (input_is_pull(0) && noutputs() == 0) {
        _task.initialize(this, true);
        _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    }
    _flush_timer.initialize(this);
    _flush_timer.schedule_after_sec(1);
    return 0;
}

void ToDump::write(Packet* p) {
    Timestamp ts = p->timestamp_anno();
    if (!ts)
        ts = Timestamp::now();
    _writer.write(p->data(), p->length(), p->length(), ts.nsecval());
    _count.fetch_add(1, std::memory_order_relaxed);
}

void ToDump::push(int, Packet* p) {
    write(p);
    if (noutputs())
        output(0).push(p);
    else
        p->kill();
}

Packet* ToDump::pull(int) {
    Packet* p = input(0).pull();
    if (p)
        write(p);
    return p;
}

bool ToDump::run_task(Task*) {
    int n = 0;
    while (n < _burst) {
        Packet* p = input(0).pull();
        if (!p)
            break;
        write(p);
        p->kill();
        ++n;
    }
    if (n > 0 || _signal.active())
        _task.fast_reschedule();
    return n > 0;
}

void ToDump::run_timer(Timer*) {
    _writer.flush();
    _flush_timer.reschedule_after_sec(1);
}

void ToDump::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("filename", ReadHandlerFunction([this]() { return _filename + "\n"; }));
    add_write_handler("flush", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _writer.flush();
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(ToDump);
