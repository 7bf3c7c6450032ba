// Handlers: storage in the router, the router's and every element's
// standard handlers, HandlerCall and the element/handler Args parsers.
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <cerrno>

namespace {
ErrorHandler* or_default(ErrorHandler* errh) { return errh ? errh : ErrorHandler::default_handler(); }
}

std::string Handler::call_read(Element* e, ErrorHandler* errh) const {
    return call_read(e, std::string(), errh);
}

std::string Handler::call_read(Element* e, const std::string& param, ErrorHandler* errh) const {
    errh = or_default(errh);
    if (!readable()) {
        errh->error("%<%s%> not readable", unparse_name(e).c_str());
        return std::string();
    }
    if (_hook && (_hook_ops & OP_READ)) {
        std::string data = param;
        if (_hook(OP_READ, data, e, this, errh) < 0)
            return std::string();
        return data;
    }
    if (_read_fn)
        return _read_fn();
    if (_read)
        return _read(e, _read_user_data);
    return std::string();
}

int Handler::call_write(const std::string& value, Element* e, ErrorHandler* errh) const {
    errh = or_default(errh);
    if (!writable())
        return errh->error("%<%s%> not writable", unparse_name(e).c_str());
    if (_hook && (_hook_ops & OP_WRITE)) {
        std::string data = value;
        return _hook(OP_WRITE, data, e, this, errh);
    }
    if (_write_fn)
        return _write_fn(value, errh);
    if (_write)
        return _write(value, e, _write_user_data, errh);
    return 0;
}

std::string Handler::unparse_name(const Element* e) const {
    return e ? e->name() + "." + _name : _name;
}

// Storage.

Handler* Router::make_handler(const Element* e, const std::string& name) {
    size_t idx = e ? size_t(e->eindex() + 1) : 0;
    if (idx >= _handlers.size())
        _handlers.resize(idx + 1);
    for (auto& h : _handlers[idx])
        if (h._name == name)
            return &h;
    _handlers[idx].emplace_back();
    _handlers[idx].back()._name = name;
    return &_handlers[idx].back();
}

const Handler* Router::handler(const Element* e, const std::string& hname) {
    if (!e)
        return nullptr;
    Router* r = e->router();
    if (!r)
        return nullptr;
    size_t idx = size_t(e->eindex() + 1);
    if (idx >= r->_handlers.size())
        return nullptr;
    for (auto& h : r->_handlers[idx])
        if (h._name == hname)
            return &h;
    return nullptr;
}

std::vector<const Handler*> Router::handlers(const Element* e) const {
    std::vector<const Handler*> v;
    size_t idx = e ? size_t(e->eindex() + 1) : 0;
    if (idx < _handlers.size())
        for (auto& h : _handlers[idx])
            v.push_back(&h);
    return v;
}

const Handler* Router::find_handler(const std::string& hdesc, Element** ep, ErrorHandler* errh) const {
    return find_handler(hdesc, nullptr, ep, errh);
}

const Handler* Router::find_handler(const std::string& hdesc, const Element* context, Element** ep,
                                    ErrorHandler* errh) const {
    size_t dot = hdesc.find('.');
    Element* e = nullptr;
    std::string hname = hdesc;
    if (dot != std::string::npos) {
        std::string ename = hdesc.substr(0, dot);
        hname = hdesc.substr(dot + 1);
        e = find(ename, context);
        if (!e) {
            if (errh)
                errh->error("no element named %<%s%>", ename.c_str());
            return nullptr;
        }
    }
    if (ep)
        *ep = e;
    size_t idx = e ? size_t(e->eindex() + 1) : 0;
    if (idx < _handlers.size())
        for (auto& h : _handlers[idx])
            if (h._name == hname)
                return &h;
    if (errh)
        errh->error("no handler named %<%s%>", hdesc.c_str());
    return nullptr;
}

void Router::add_read_handler(const Element* e, const std::string& name, ReadHandlerCallback f, void* ud,
                              uint32_t flags) {
    Handler* h = make_handler(e, name);
    h->_read = f;
    h->_read_fn = nullptr;
    h->_read_user_data = ud;
    h->_hook_ops &= ~Handler::OP_READ;
    h->_flags = (h->_flags & Handler::h_write) | Handler::h_read | (flags & ~Handler::h_write);
}

void Router::add_read_handler(const Element* e, const std::string& name, ReadHandlerFunction f, uint32_t flags) {
    Handler* h = make_handler(e, name);
    h->_read = nullptr;
    h->_read_fn = std::move(f);
    h->_hook_ops &= ~Handler::OP_READ;
    h->_flags = (h->_flags & Handler::h_write) | Handler::h_read | (flags & ~Handler::h_write);
}

void Router::add_write_handler(const Element* e, const std::string& name, WriteHandlerCallback f, void* ud,
                               uint32_t flags) {
    Handler* h = make_handler(e, name);
    h->_write = f;
    h->_write_fn = nullptr;
    h->_write_user_data = ud;
    h->_hook_ops &= ~Handler::OP_WRITE;
    h->_flags = (h->_flags & (Handler::h_read | Handler::h_read_param)) | Handler::h_write |
                (flags & ~(Handler::h_read | Handler::h_read_param));
}

void Router::add_write_handler(const Element* e, const std::string& name, WriteHandlerFunction f, uint32_t flags) {
    Handler* h = make_handler(e, name);
    h->_write = nullptr;
    h->_write_fn = std::move(f);
    h->_hook_ops &= ~Handler::OP_WRITE;
    h->_flags = (h->_flags & (Handler::h_read | Handler::h_read_param)) | Handler::h_write |
                (flags & ~(Handler::h_read | Handler::h_read_param));
}

void Router::set_handler(const Element* e, const std::string& name, int flags, HandlerCallback f, void* rud,
                         void* wud) {
    Handler* h = make_handler(e, name);
    h->_hook = f;
    h->_hook_ops = uint32_t(flags) & (Handler::OP_READ | Handler::OP_WRITE);
    h->_read_user_data = rud;
    h->_write_user_data = wud;
    h->_read = nullptr;
    h->_write = nullptr;
    h->_read_fn = nullptr;
    h->_write_fn = nullptr;
    h->_flags = uint32_t(flags);
}

// Standard handlers.

namespace {

int hotconfig_write(Router* r, const std::string& text, ErrorHandler* errh) {
    Master* m = r->master();
    if (!m || m->router() != r)
        return errh->error("router is not the running router");
    if (m->running() && RouterThread::current() != m->thread(0))
        return errh->error("hotconfig must be written from thread 0");
    Router* nr = Router::create(text, "hotconfig", r->defines(), errh, m, r);
    if (!nr)
        return -EINVAL;
    if (nr->initialize(errh) < 0) {
        delete nr;
        return -EINVAL;
    }
    m->hotswap(nr, errh);
    return 0;
}

}  // namespace

void Router::add_router_handlers() {
    Router* r = this;
    add_read_handler(nullptr, "version", ReadHandlerFunction([]() { return std::string(version()) + "\n"; }));
    add_read_handler(nullptr, "list", ReadHandlerFunction([r]() {
                         std::string s = std::to_string(r->nelements()) + "\n";
                         for (Element* e : r->elements())
                             s += e->name() + "\n";
                         return s;
                     }));
    add_read_handler(nullptr, "classes", ReadHandlerFunction([]() {
                         std::string s;
                         for (auto& n : click_element_type_names())
                             s += n + "\n";
                         return s;
                     }));
    add_read_handler(nullptr, "config", ReadHandlerFunction([r]() { return r->configuration_string(); }));
    add_read_handler(nullptr, "flatconfig", ReadHandlerFunction([r]() { return r->flat_configuration(); }));
    add_read_handler(nullptr, "requirements", ReadHandlerFunction([r]() {
                         std::string s;
                         for (auto& q : r->requirements())
                             s += q + "\n";
                         return s;
                     }));
    add_write_handler(nullptr, "stop", WriteHandlerFunction([r](const std::string&, ErrorHandler*) {
                          r->please_stop_driver();
                          return 0;
                      }),
                      Handler::h_button);
    add_write_handler(nullptr, "hotconfig", WriteHandlerFunction([r](const std::string& text, ErrorHandler* errh) {
                          return hotconfig_write(r, text, errh);
                      }),
                      Handler::h_raw);
}

void Router::add_element_handlers(Element* e) {
    add_read_handler(e, "class", ReadHandlerFunction([e]() { return std::string(e->class_name()) + "\n"; }));
    add_read_handler(e, "name", ReadHandlerFunction([e]() { return e->name() + "\n"; }));
    add_read_handler(e, "config", ReadHandlerFunction([e]() { return e->configuration() + "\n"; }));
    if (e->can_live_reconfigure())
        add_write_handler(e, "config", WriteHandlerFunction([e](const std::string& text, ErrorHandler* errh) {
                              return e->reconfigure(cp_argvec(text), errh);
                          }));
    Router* r = this;
    add_read_handler(e, "ports", ReadHandlerFunction([r, e]() { return r->element_ports_string(e); }));
    add_read_handler(e, "handlers", ReadHandlerFunction([r, e]() {
                         std::string s;
                         for (const Handler* h : r->handlers(e))
                             s += h->name() + "\t" + (h->readable() ? "r" : "") + (h->writable() ? "w" : "") + "\n";
                         return s;
                     }));
}

// HandlerCall.

namespace {

void split_hdesc(const std::string& text, std::string& hdesc, std::string& value) {
    size_t b = 0;
    while (b < text.size() && cp_is_space(text[b]))
        ++b;
    size_t e = b;
    while (e < text.size() && !cp_is_space(text[e]))
        ++e;
    hdesc = text.substr(b, e - b);
    while (e < text.size() && cp_is_space(text[e]))
        ++e;
    value = text.substr(e);
}

}  // namespace

int HandlerCall::initialize(int flags, const Element* context, ErrorHandler* errh) {
    errh = or_default(errh);
    Router* r = context ? context->router() : nullptr;
    if (!r)
        return errh->error("no router for handler %<%s%>", _hdesc.c_str());
    std::string hd, value;
    split_hdesc(_hdesc, hd, value);
    if (!value.empty() && _value.empty())
        _value = value;
    Element* e = nullptr;
    const Handler* h = r->find_handler(hd, context, &e, errh);
    if (!h)
        return -ENOENT;
    if ((flags & readable) && !h->readable())
        return errh->error("%<%s%> not readable", hd.c_str());
    if ((flags & writable) && !h->writable())
        return errh->error("%<%s%> not writable", hd.c_str());
    _router = r;
    _e = e;
    _h = h;
    return 0;
}

std::string HandlerCall::call_read(ErrorHandler* errh) const {
    if (!_h) {
        or_default(errh)->error("handler %<%s%> not initialized", _hdesc.c_str());
        return std::string();
    }
    return _h->call_read(_e, _value, errh);
}

int HandlerCall::call_write(ErrorHandler* errh) const { return call_write(_value, errh); }

int HandlerCall::call_write(const std::string& value, ErrorHandler* errh) const {
    if (!_h)
        return or_default(errh)->error("handler %<%s%> not initialized", _hdesc.c_str());
    return _h->call_write(value, _e, errh);
}

namespace {

std::string read_from(Router* r, const Element* context, const std::string& hdesc, ErrorHandler* errh) {
    errh = or_default(errh);
    std::string hd, param;
    split_hdesc(hdesc, hd, param);
    Element* e = nullptr;
    const Handler* h = r ? r->find_handler(hd, context, &e, errh) : nullptr;
    if (!h)
        return std::string();
    return h->call_read(e, param, errh);
}

int write_from(Router* r, const Element* context, const std::string& hdesc, const std::string& value,
               ErrorHandler* errh) {
    errh = or_default(errh);
    Element* e = nullptr;
    const Handler* h = r ? r->find_handler(hdesc, context, &e, errh) : nullptr;
    if (!h)
        return -ENOENT;
    return h->call_write(value, e, errh);
}

}  // namespace

std::string HandlerCall::call_read(Router* r, const std::string& hdesc, ErrorHandler* errh) {
    return read_from(r, nullptr, hdesc, errh);
}

int HandlerCall::call_write(Router* r, const std::string& hdesc, const std::string& value, ErrorHandler* errh) {
    return write_from(r, nullptr, hdesc, value, errh);
}

std::string HandlerCall::call_read(const std::string& hdesc, const Element* context, ErrorHandler* errh) {
    return read_from(context ? context->router() : nullptr, context, hdesc, errh);
}

std::string HandlerCall::call_read(Element* e, const std::string& hname, ErrorHandler* errh) {
    errh = or_default(errh);
    const Handler* h = Router::handler(e, hname);
    if (!h) {
        errh->error("no handler named %<%s.%s%>", e ? e->name().c_str() : "", hname.c_str());
        return std::string();
    }
    return h->call_read(e, errh);
}

int HandlerCall::call_write(const std::string& hdesc, const Element* context, ErrorHandler* errh) {
    std::string hd, value;
    split_hdesc(hdesc, hd, value);
    return write_from(context ? context->router() : nullptr, context, hd, value, errh);
}

int HandlerCall::call_write(const std::string& hdesc, const std::string& value, const Element* context,
                            ErrorHandler* errh) {
    return write_from(context ? context->router() : nullptr, context, hdesc, value, errh);
}

int HandlerCall::call_write(Element* e, const std::string& hname, const std::string& value, ErrorHandler* errh) {
    errh = or_default(errh);
    const Handler* h = Router::handler(e, hname);
    if (!h)
        return errh->error("no handler named %<%s.%s%>", e ? e->name().c_str() : "", hname.c_str());
    return h->call_write(value, e, errh);
}

// Args parsers.

bool ElementArg::parse(const std::string& str, Element*& result, Args& args) const {
    const Element* ctx = static_cast<const Element*>(args.context());
    Router* r = ctx ? ctx->router() : nullptr;
    std::string name = cp_unquote(str);
    if (!r) {
        args.error("no router to find %<%s%>", name.c_str());
        return false;
    }
    Element* e = r->find(name, ctx);
    if (!e) {
        args.error("%<%s%> does not name an element", name.c_str());
        return false;
    }
    result = e;
    return true;
}

bool ElementCastVoidArg::parse(const std::string& str, void*& result, Args& args) const {
    Element* e;
    if (!ElementArg().parse(str, e, args))
        return false;
    void* p = e->cast(type);
    if (!p) {
        args.error("%s %<%s%> is not a %s", e->class_name(), e->name().c_str(), type);
        return false;
    }
    result = p;
    return true;
}

bool HandlerCallArg::parse(const std::string& str, HandlerCall& result, Args& args) const {
    std::string text = cp_unquote(str);
    std::string hd, value;
    split_hdesc(text, hd, value);
    if (hd.empty()) {
        args.error("expected handler name");
        return false;
    }
    const Element* ctx = static_cast<const Element*>(args.context());
    Router* r = ctx ? ctx->router() : nullptr;
    size_t dot = hd.find('.');
    if (r && dot != std::string::npos && !r->find(hd.substr(0, dot), ctx)) {
        args.error("no element named %<%s%>", hd.substr(0, dot).c_str());
        return false;
    }
    if ((flags & HandlerCall::readable) && (flags & HandlerCall::writable)) {
        // either is fine
    }
    result = HandlerCall(hd);
    result.set_value(value);
    return true;
}
