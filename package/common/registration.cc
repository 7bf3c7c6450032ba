// Package entry points: announce "quilo" and register the element classes
// that this build contains, in fixed-id order.
#include "common/registration.hh"

#include <host/element.hh>
#include <host/package.hh>

namespace quilo {
namespace {

// Zero-initialised before any static constructor runs, so attach_factory may be
// called from any translation unit's initialisers.
ElementFactory factories[element_count];

// Types registered by the running init_module, so cleanup removes exactly those.
RegisteredType registered[element_count];
size_t nregistered;

Element* host_factory(uintptr_t id) { return create_element(id); }

}  // namespace

bool attach_factory(int id, ElementFactory f) {
    if (id < 0 || id >= element_count)
        return false;
    factories[id] = f;
    return true;
}

ElementFactory factory(int id) {
    if (id < 0 || id >= element_count)
        return nullptr;
    return factories[id];
}

Element* create_element(uintptr_t id) {
    if (id >= uintptr_t(element_count) || !factories[id])
        return nullptr;
    return factories[id]();
}

size_t registered_types(RegisteredType* out, size_t max) {
    size_t n = nregistered < max ? nregistered : max;
    for (size_t i = 0; i < n; ++i)
        out[i] = registered[i];
    return nregistered;
}

}  // namespace quilo

extern "C" int init_module() {
    using namespace quilo;
    click_provide("quilo");
    nregistered = 0;
    for (const ElementRow& r : element_table) {
        if (!factories[r.id])
            continue;
        int host_id = click_add_element_type(r.name, host_factory, uintptr_t(r.id));
        if (host_id >= 0)
            registered[nregistered++] = {r.id, host_id};
    }
    return 0;
}

extern "C" void cleanup_module() {
    using namespace quilo;
    for (size_t i = 0; i < nregistered; ++i)
        click_remove_element_type(registered[i].host_id);
    nregistered = 0;
    click_unprovide("quilo");
}
