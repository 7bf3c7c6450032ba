#include <host/notifier.hh>
#include <host/router.hh>
#include <host/task.hh>

#include <algorithm>
#include <set>

std::atomic<uint32_t> NotifierSignal::static_value{1};

const char Notifier::EMPTY_NOTIFIER[] = "Notifier.EMPTY";
const char Notifier::FULL_NOTIFIER[] = "Notifier.FULL";

NotifierSignal& NotifierSignal::operator+=(const NotifierSignal& o) {
    if (idle())
        *this = o;
    else if (o.idle() || *this == o)
        ;
    else if (busy() || o.busy())
        *this = busy_signal();
    else if (_value == o._value && _value != &static_value)
        _mask |= o._mask;
    else
        *this = overderived_signal();
    return *this;
}

Notifier::~Notifier() = default;

int Notifier::initialize(const char* name, Router* router) {
    if (!_signal.initialized() || _signal.busy())
        return router->new_notifier_signal(name, _signal);
    return 0;
}

int Notifier::add_listener(Task*) { return 0; }
void Notifier::remove_listener(Task*) {}

int Notifier::add_dependent_signal(NotifierSignal* signal) {
    if (signal && signal != &_signal && std::find(_dependents.begin(), _dependents.end(), signal) == _dependents.end())
        _dependents.push_back(signal);
    return 0;
}

void Notifier::remove_dependent_signal(NotifierSignal* signal) {
    auto it = std::find(_dependents.begin(), _dependents.end(), signal);
    if (it != _dependents.end())
        _dependents.erase(it);
}

void Notifier::activate_dependents() {
    for (NotifierSignal* s : _dependents)
        s->set_active(true);
}

int ActiveNotifier::add_listener(Task* task) {
    if (task && std::find(_listeners.begin(), _listeners.end(), task) == _listeners.end())
        _listeners.push_back(task);
    return 0;
}

void ActiveNotifier::remove_listener(Task* task) {
    auto it = std::find(_listeners.begin(), _listeners.end(), task);
    if (it != _listeners.end())
        _listeners.erase(it);
}

void ActiveNotifier::wake_listeners() {
    for (Task* t : _listeners)
        t->reschedule();
}

namespace {

// Walks from port `port` of e (an input when upstream) towards the notifiers.
void search(Element* e, int port, bool upstream, const char* name, Task* task, NotifierSignal* dependent,
            NotifierSignal& sig, std::set<std::pair<Element*, int>>& seen) {
    Router* r = e->router();
    if (!r)
        return;
    for (auto& c : r->connections()) {
        Element* other;
        int oport;
        if (upstream) {
            if (c.to != e || c.to_port != port)
                continue;
            other = c.from;
            oport = c.from_port;
        } else {
            if (c.from != e || c.from_port != port)
                continue;
            other = c.to;
            oport = c.to_port;
        }
        if (!seen.insert({other, oport * 2 + (upstream ? 1 : 0)}).second)
            continue;
        Notifier* n = static_cast<Notifier*>(other->port_cast(upstream, oport, name));
        if (n) {
            sig += n->signal();
            if (task)
                n->add_listener(task);
            if (dependent)
                n->add_dependent_signal(dependent);
            if (n->search_op() == Notifier::SEARCH_STOP)
                continue;
        }
        // Continue through the ports linked to oport by the flow code that
        // have the same direction (pull for upstream, push for downstream).
        bool any = false;
        int nother = other->nports(!upstream);
        for (int q = 0; q < nother; ++q) {
            if (!other->port_flow(upstream, oport, q))
                continue;
            bool ok = upstream ? other->input_is_pull(q) : other->output_is_push(q);
            if (!ok)
                continue;
            any = true;
            search(other, q, upstream, name, task, dependent, sig, seen);
        }
        if (!n && !any)
            sig += NotifierSignal::busy_signal();
    }
}

}  // namespace

NotifierSignal Notifier::upstream_empty_signal(Element* e, int port, Task* task, Notifier* dependent) {
    NotifierSignal sig = NotifierSignal::idle_signal();
    std::set<std::pair<Element*, int>> seen;
    search(e, port, true, EMPTY_NOTIFIER, task, dependent ? &dependent->_signal : nullptr, sig, seen);
    return sig;
}

NotifierSignal Notifier::downstream_full_signal(Element* e, int port, Task* task, Notifier* dependent) {
    NotifierSignal sig = NotifierSignal::idle_signal();
    std::set<std::pair<Element*, int>> seen;
    search(e, port, false, FULL_NOTIFIER, task, dependent ? &dependent->_signal : nullptr, sig, seen);
    return sig;
}
