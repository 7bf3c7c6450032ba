// The element a new one replaces in a hot reconfiguration, for take_state.
#pragma once

#include <host/element.hh>
#include <host/errorhandler.hh>

// `old` as class T, found with cast(`cls`). When it is not one, gives the
// host warning "<old> is not a <cls> element" and returns null; returns null
// too when `old` is `self` (nothing to take).
template <class T>
T* predecessor_as(T* self, Element* old, const char* cls, ErrorHandler* errh) {
    T* o = old ? static_cast<T*>(old->cast(cls)) : nullptr;
    if (!o) {
        errh->warning("%s is not a %s element", old ? old->name().c_str() : "(null)", cls);
        return nullptr;
    }
    return o == self ? nullptr : o;
}
