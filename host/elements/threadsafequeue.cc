#include "threadsafequeue.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

void* ThreadSafeQueue::cast(const char* name) {
    if (strcmp(name, Notifier::EMPTY_NOTIFIER) == 0)
        return static_cast<Notifier*>(&_empty_note);
    return Element::cast(name);
}

int ThreadSafeQueue::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t cap = 1000;
    if (Args(conf, this, errh).read_p("CAPACITY", BoundedIntArg(1, 1 << 24), cap).complete() < 0)
        return -1;
    _capacity = cap;
    return _empty_note.initialize(Notifier::EMPTY_NOTIFIER, router());
}

int ThreadSafeQueue::initialize(ErrorHandler* errh) {
    _ring.reset(new (std::nothrow) Packet*[_capacity]);
    if (!_ring)
        return errh->error("out of memory");
    _empty_note.sleep();
    return 0;
}

Packet* ThreadSafeQueue::deq_locked() {
    uint32_t n = _size.load(std::memory_order_relaxed);
    if (n == 0)
        return nullptr;
    Packet* p = _ring[_head];
    _head = _head + 1 == _capacity ? 0 : _head + 1;
    _size.store(n - 1, std::memory_order_relaxed);
    return p;
}

void ThreadSafeQueue::push(int, Packet* p) {
    _lock.acquire();
    uint32_t n = _size.load(std::memory_order_relaxed);
    if (n >= _capacity) {
        _lock.release();
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    uint32_t t = _head + n;
    if (t >= _capacity)
        t -= _capacity;
    _ring[t] = p;
    _size.store(n + 1, std::memory_order_relaxed);
    _lock.release();
    if (n + 1 > _highwater.load(std::memory_order_relaxed))
        _highwater.store(n + 1, std::memory_order_relaxed);
    if (!_empty_note.active())
        _empty_note.wake();
}

Packet* ThreadSafeQueue::pull(int) {
    _lock.acquire();
    Packet* p = deq_locked();
    if (!p) {
        // Sleep under the lock so that a concurrent push sees the change.
        _empty_note.sleep();
    }
    _lock.release();
    if (!p && _size.load(std::memory_order_relaxed))
        _empty_note.wake();
    return p;
}

void ThreadSafeQueue::cleanup(CleanupStage) {
    if (!_ring)
        return;
    _lock.acquire();
    while (Packet* p = deq_locked())
        p->kill();
    _lock.release();
}

void ThreadSafeQueue::take_state(Element* old, ErrorHandler*) {
    ThreadSafeQueue* o = static_cast<ThreadSafeQueue*>(old->cast("ThreadSafeQueue"));
    if (!o || !o->_ring)
        return;
    for (;;) {
        o->_lock.acquire();
        Packet* p = o->deq_locked();
        o->_lock.release();
        if (!p)
            break;
        push(0, p);
    }
}

void ThreadSafeQueue::add_handlers() {
    add_read_handler("length", ReadHandlerFunction([this]() { return std::to_string(size()) + "\n"; }));
    add_read_handler("highwater_length", ReadHandlerFunction([this]() { return std::to_string(_highwater.load()) + "\n"; }));
    add_read_handler("capacity", ReadHandlerFunction([this]() { return std::to_string(_capacity) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _drops = 0;
                          _highwater = size();
                          return 0;
                      }),
                      Handler::h_button);
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          cleanup(CLEANUP_MANUAL);
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(ThreadSafeQueue);
