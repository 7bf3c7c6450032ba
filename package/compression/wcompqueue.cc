#include "compression/wcompqueue.hh"

#include <host/errorhandler.hh>
#include <host/packet.hh>

WCompQueue::WCompQueue(int capacity) : _ring(capacity > 0 ? uint32_t(capacity) : 1) {}

WCompQueue::~WCompQueue() {
    Packet* p;
    while (_ring.pop(p))
        p->kill();
}

bool WCompQueue::enqueue(Packet* p) {
    if (!_ring.push(p)) {
        if (_drops.fetch_add(1, std::memory_order_relaxed) == 0)
            click_chatter("Error : WCompQueue overflow");
        return false;
    }
    int n = int(_ring.size());
    int hw = _highwater.load(std::memory_order_relaxed);
    while (n > hw && !_highwater.compare_exchange_weak(hw, n, std::memory_order_relaxed)) {
    }
    return true;
}

Packet* WCompQueue::dequeue() {
    Packet* p = nullptr;
    return _ring.pop(p) ? p : nullptr;
}
