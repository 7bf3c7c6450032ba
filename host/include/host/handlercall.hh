// HandlerCall: calls handlers by "element.handler" text (or "handler" for
// router handlers), from elements and from the driver.  With a context
// element, and in the Args parsers below, element names are looked up as
// Router::find(name, context) does: inside a compound element, a sibling's
// short name is enough.
#ifndef QUILO_HOST_HANDLERCALL_HH
#define QUILO_HOST_HANDLERCALL_HH

#include <string>

#include <host/args.hh>
#include <host/element.hh>
#include <host/timestamp.hh>

// Timestamps read as times: "1.5" (seconds), "250ms", ...
template <> struct DefaultArg<Timestamp> : public SecondsArg {};

class HandlerCall {
 public:
    enum Flags { readable = Handler::h_read, writable = Handler::h_write };

    HandlerCall() = default;
    // "element.handler" with an optional value after whitespace (for writes).
    explicit HandlerCall(const std::string& hdesc) : _hdesc(hdesc) {}

    // Resolves the handler against context's router and checks that it can
    // be read/written.  Returns 0 or an error (reported).
    int initialize(int flags, const Element* context, ErrorHandler* errh = nullptr);
    int initialize_read(const Element* context, ErrorHandler* errh = nullptr) { return initialize(readable, context, errh); }
    int initialize_write(const Element* context, ErrorHandler* errh = nullptr) { return initialize(writable, context, errh); }
    bool initialized() const { return _h != nullptr; }

    std::string call_read(ErrorHandler* errh = nullptr) const;
    int call_write(ErrorHandler* errh = nullptr) const;
    int call_write(const std::string& value, ErrorHandler* errh = nullptr) const;

    const std::string& hdesc() const { return _hdesc; }
    Element* element() const { return _e; }
    const Handler* handler() const { return _h; }
    const std::string& value() const { return _value; }
    void set_value(const std::string& v) { _value = v; }

    // One-shot calls.  hdesc is "element.handler" (write forms: the value
    // may follow after whitespace).  Errors ("no element named ...", "no
    // handler ...", the handler's own) go to errh.
    static std::string call_read(const std::string& hdesc, const Element* context, ErrorHandler* errh = nullptr);
    static std::string call_read(Element* e, const std::string& hname, ErrorHandler* errh = nullptr);
    static int call_write(const std::string& hdesc, const Element* context, ErrorHandler* errh = nullptr);
    static int call_write(const std::string& hdesc, const std::string& value, const Element* context,
                          ErrorHandler* errh = nullptr);
    static int call_write(Element* e, const std::string& hname, const std::string& value,
                          ErrorHandler* errh = nullptr);
    // Router-level forms (context: the router).
    static std::string call_read(Router* r, const std::string& hdesc, ErrorHandler* errh = nullptr);
    static int call_write(Router* r, const std::string& hdesc, const std::string& value,
                          ErrorHandler* errh = nullptr);

 private:
    std::string _hdesc;
    std::string _value;
    Element* _e = nullptr;
    const Handler* _h = nullptr;
    Router* _router = nullptr;
};

// Args parser: a handler description ("e.h" or "e.h VALUE").  The element
// must exist when the configuration is parsed; the handler itself is checked
// by HandlerCall::initialize (in the element's initialize).
struct HandlerCallArg {
    explicit HandlerCallArg(int flags = HandlerCall::readable) : flags(flags) {}
    bool parse(const std::string& str, HandlerCall& result, Args& args) const;
    int flags;
};

// Args parser: an element name -> Element*.
struct ElementArg {
    bool parse(const std::string& str, Element*& result, Args& args) const;
};

// Args parser: an element name whose cast(type) is non-null -> that
// pointer, as T* (use a T matching `type`).
template <typename T> struct ElementCastArg {
    explicit ElementCastArg(const char* type) : type(type) {}
    bool parse(const std::string& str, T*& result, Args& args) const {
        Element* e;
        if (!ElementArg().parse(str, e, args))
            return false;
        void* p = e->cast(type);
        if (!p) {
            args.error("%s %<%s%> is not a %s", e->class_name(), str.c_str(), type);
            return false;
        }
        result = static_cast<T*>(p);
        return true;
    }
    const char* type;
};

// Non-template form (returns the cast pointer as void*).
struct ElementCastVoidArg {
    explicit ElementCastVoidArg(const char* type) : type(type) {}
    bool parse(const std::string& str, void*& result, Args& args) const;
    const char* type;
};

#endif
