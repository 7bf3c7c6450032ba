// Another element that a configuration names by a keyword (RSP rsp1, WRTT
// pi1), looked up and checked in one place, with the same messages for
// every element that takes one.
#pragma once

#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>

#include <string>

// The element `name` (resolved from `self`'s compound, as the host does) as
// class T, found with cast(`cls`). Reports "<name> does not name an element"
// or "<name> is not a <what> element" to errh and returns null otherwise.
template <class T>
T* find_partner(Element* self, const std::string& name, const char* cls, const char* what, ErrorHandler* errh) {
    Element* e = self->router()->find(name, self);
    if (!e) {
        errh->error("%<%s%> does not name an element", name.c_str());
        return nullptr;
    }
    T* t = static_cast<T*>(e->cast(cls));
    if (!t)
        errh->error("%<%s%> is not a %s element", name.c_str(), what);
    return t;
}
