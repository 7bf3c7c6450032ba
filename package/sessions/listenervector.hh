// An ordered list of listener pointers shared by the vector-based notifiers.
// The host owns every element; the list never frees a listener. Registration
// happens while the router is configured or initialised, on one thread.
#pragma once

#include <cstddef>
#include <vector>

template <typename Listener>
class ListenerVector {
  public:
    // Appends `l` unless it is already registered.
    void add_listener(Listener* l) {
        for (Listener* x : _listeners)
            if (x == l)
                return;
        _listeners.push_back(l);
    }

    // Removes `l` if registered: the last listener takes its place, so the
    // order of the others is not kept.
    void remove_listener(Listener* l) {
        for (size_t i = 0; i < _listeners.size(); ++i)
            if (_listeners[i] == l) {
                _listeners[i] = _listeners.back();
                _listeners.pop_back();
                return;
            }
    }

    const std::vector<Listener*>& listeners() const { return _listeners; }

  protected:
    // Calls f(listener) in order; the length is read again after every call.
    template <typename F>
    void for_each_listener(F&& f) const {
        for (size_t i = 0; i < _listeners.size(); ++i)
            f(_listeners[i]);
    }

    std::vector<Listener*> _listeners;
};
