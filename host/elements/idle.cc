#include "idle.hh"

#include <host/package.hh>

Idle::Idle() : _note(NotifierSignal::idle_signal()) {}

void* Idle::cast(const char* name) {
    if (strcmp(name, Notifier::EMPTY_NOTIFIER) == 0)
        return static_cast<Notifier*>(&_note);
    return Element::cast(name);
}

void Idle::push(int, Packet* p) {
    p->kill();
}

Packet* Idle::pull(int) {
    return nullptr;
}

QUILO_HOST_ELEMENT(Idle);
