#include "queue.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

#include <new>

void* Queue::cast(const char* name) {
    if (strcmp(name, Notifier::EMPTY_NOTIFIER) == 0)
        return static_cast<Notifier*>(&_empty_note);
    return Element::cast(name);
}

int Queue::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t cap = 1000;
    if (Args(conf, this, errh).read_p("CAPACITY", BoundedIntArg(1, 1 << 24), cap).complete() < 0)
        return -1;
    _capacity = cap;
    return _empty_note.initialize(Notifier::EMPTY_NOTIFIER, router());
}

int Queue::initialize(ErrorHandler* errh) {
    _ring.reset(new (std::nothrow) Packet*[_capacity + 1]);
    if (!_ring)
        return errh->error("out of memory");
    _empty_note.sleep();
    return 0;
}

void Queue::cleanup(CleanupStage) {
    if (_ring)
        while (Packet* p = deq())
            p->kill();
}

void Queue::take_state(Element* old, ErrorHandler*) {
    // Keep the packets of the queue being replaced, as many as fit.
    Queue* o = static_cast<Queue*>(old);
    while (Packet* p = o->deq()) {
        if (size() < _capacity)
            enq(p);
        else {
            p->kill();
            ++_drops;
        }
    }
    if (size())
        _empty_note.wake();
}

void Queue::push(int, Packet* p) {
    if (size() >= _capacity) {
        ++_drops;
        p->kill();
        return;
    }
    enq(p);
    uint32_t s = size();
    if (s > _highwater)
        _highwater = s;
    if (!_empty_note.active())
        _empty_note.wake();
}

Packet* Queue::pull(int) {
    Packet* p = deq();
    if (!p) {
        _empty_note.sleep();
        // A packet may have arrived between the check and the sleep.
        if (size())
            _empty_note.wake();
    }
    return p;
}

void Queue::add_handlers() {
    add_read_handler("length", ReadHandlerFunction([this]() { return std::to_string(size()) + "\n"; }));
    add_read_handler("highwater_length", ReadHandlerFunction([this]() { return std::to_string(_highwater) + "\n"; }));
    add_read_handler("capacity", ReadHandlerFunction([this]() { return std::to_string(_capacity) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _drops.store(0);
                          _highwater = size();
                          return 0;
                      }),
                      Handler::h_button);
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          while (Packet* p = deq())
                              p->kill();
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(Queue);
