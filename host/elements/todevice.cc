#include "todevice.hh"

#include <cerrno>

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int ToDevice::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string dev;
    int burst = 32, queue = 0;
    if (Args(conf, this, errh)
            .read_mp("DEVNAME", WordArg(), dev)
            .read_p("BURST", BoundedIntArg(1, 1024), burst)
            .read("QUEUE", BoundedIntArg(0, 65536), queue)
            .complete() < 0)
        return -1;
    _devname = dev;
    _burst = burst;
    _queue = queue > 0 ? queue : default_queue;
    return 0;
}

int ToDevice::initialize(ErrorHandler* errh) {
    pktsock::PacketSocket::Options o;
    o.receive = false;
    o.sndbuf_frames = _queue;
    std::string err;
    if (!_sock.open(_devname, o, &err))
        return errh->error("%s", err.c_str());
    _pending.reserve(_burst);
    _ptrs.resize(_burst);
    _lens.resize(_burst);
    _task.initialize(this, true);
    _retry.initialize(this);
    _signal = Notifier::upstream_empty_signal(this, 0, &_task);
    return 0;
}

ToDevice::Flush ToDevice::flush() {
    while (_pending_pos < _pending.size()) {
        int n = int(_pending.size() - _pending_pos);
        for (int i = 0; i < n; ++i) {
            Packet* p = _pending[_pending_pos + i];
            _ptrs[i] = p->data();
            _lens[i] = p->length();
        }
        int err = 0;
        int sent = _sock.send(_ptrs.data(), _lens.data(), n, &err);
        for (int i = 0; i < sent; ++i)
            _pending[_pending_pos + i]->kill();
        _pending_pos += sent;
        _count.fetch_add(sent, std::memory_order_relaxed);
        if (sent < n) {
            if (err == EAGAIN || err == EINTR)
                return full;
            if (err == ENOBUFS)
                return refused;
            // This frame cannot be sent: drop it and go on.
            _pending[_pending_pos++]->kill();
            _drops.fetch_add(1, std::memory_order_relaxed);
        }
    }
    _pending.clear();
    _pending_pos = 0;
    return done;
}

// Keeps what is pending and sleeps until the socket can take more: until it
// is writable (send buffer full), or for a moment (the device queue refused
// a frame; the socket itself stays writable, so waiting for that would spin).
void ToDevice::wait_for(Flush why) {
    _blocked.fetch_add(1, std::memory_order_relaxed);
    _waiting = true;
    if (why == full)
        add_select(_sock.fd(), SELECT_WRITE);
    else
        _retry.schedule_after_msec(1);
}

bool ToDevice::run_task(Task*) {
    if (_waiting)
        return false;
    Flush f = flush();
    if (f != done) {
        wait_for(f);
        return false;
    }
    while (int(_pending.size()) < _burst) {
        Packet* p = input(0).pull();
        if (!p)
            break;
        _pending.push_back(p);
    }
    bool worked = !_pending.empty();
    f = flush();
    if (f != done) {
        wait_for(f);
        return worked;
    }
    if (worked || _signal.active())
        _task.fast_reschedule();
    return worked;
}

void ToDevice::selected(int, int) {
    if (!_waiting)
        return;
    _waiting = false;
    remove_select(_sock.fd(), SELECT_WRITE);
    _task.reschedule();
}

void ToDevice::run_timer(Timer*) {
    if (!_waiting)
        return;
    _waiting = false;
    _task.reschedule();
}

void ToDevice::cleanup(CleanupStage) {
    _retry.unschedule();
    if (_waiting && _sock.fd() >= 0)
        remove_select(_sock.fd(), SELECT_WRITE);
    _waiting = false;
    for (size_t i = _pending_pos; i < _pending.size(); ++i)
        _pending[i]->kill();
    _pending.clear();
    _pending_pos = 0;
    _sock.close();
}

void ToDevice::add_handlers() {
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_read_handler("queue", ReadHandlerFunction([this]() { return std::to_string(_queue) + "\n"; }));
    add_read_handler("sndbuf", ReadHandlerFunction([this]() { return std::to_string(_sock.sndbuf()) + "\n"; }));
    add_read_handler("blocked", ReadHandlerFunction([this]() { return std::to_string(_blocked.load()) + "\n"; }));
    add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _count = 0;
                          _drops = 0;
                          _blocked = 0;
                          return 0;
                      }),
                      Handler::h_button);
    add_task_handlers(&_task);
}

QUILO_HOST_ELEMENT(ToDevice);
