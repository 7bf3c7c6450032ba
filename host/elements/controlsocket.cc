// ControlSocket(TYPE, PORT or PATH): the control socket as an element.
// TYPE is "TCP" (PORT, loopback, or ADDRESS:PORT) or "UNIX" (PATH).  Served
// on thread 0; on a hot swap to a configuration with the same
// ControlSocket, the new element takes over the listening socket.
#include <host/args.hh>
#include <host/confparse.hh>
#include <host/controlsocket.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

#include <memory>

class ControlSocket : public Element {
 public:
    const char* class_name() const override { return "ControlSocket"; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        std::string type, where;
        if (Args(conf, this, errh).read_mp("TYPE", WordArg(), type).read_mp("PORT", StringArg(), where).complete() < 0)
            return -1;
        if (type != "TCP" && type != "UNIX")
            return errh->error("TYPE: expected TCP or UNIX");
        _type = type;
        _where = where;
        return 0;
    }

    int initialize(ErrorHandler* errh) override {
        // Taking over from a running twin: the socket comes in take_state.
        if (ControlSocket* old = static_cast<ControlSocket*>(hotswap_element()))
            if (old->_server && old->_type == _type && old->_where == _where)
                return 0;
        _server.reset(new ControlSocketServer(master()));
        return _type == "TCP" ? _server->listen_tcp(_where, errh) : _server->listen_unix(_where, errh);
    }

    void take_state(Element* old, ErrorHandler*) override {
        ControlSocket* o = static_cast<ControlSocket*>(old);
        if (!_server && o->_type == _type && o->_where == _where)
            _server = std::move(o->_server);
    }

    void cleanup(CleanupStage) override { _server.reset(); }

    void add_handlers() override {
        add_read_handler("port", ReadHandlerFunction([this]() {
                             return std::to_string(_server ? _server->port() : 0) + "\n";
                         }));
    }

 private:
    std::string _type, _where;
    std::unique_ptr<ControlSocketServer> _server;
};

// StaticThreadSched(ELEMENT THREAD, ...): places elements (their tasks,
// timers and selections) on router threads.  Thread numbers beyond the
// running thread count wrap around.
class StaticThreadSched : public Element {
 public:
    const char* class_name() const override { return "StaticThreadSched"; }
    int configure_phase() const override { return CONFIGURE_PHASE_FIRST; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        std::vector<std::pair<Element*, int>> place;
        int before = errh->nerrors();
        for (auto& arg : conf) {
            std::string s = arg;
            std::string name = cp_shift_spacevec(s);
            std::string num = cp_shift_spacevec(s);
            int thread;
            Element* e = router()->find(name);
            if (name.empty() || num.empty() || !s.empty())
                errh->error("expected 'ELEMENT THREAD', got %<%s%>", arg.c_str());
            else if (!e)
                errh->error("%<%s%> does not name an element", name.c_str());
            else if (!parse_arg(BoundedIntArg(0, 1 << 16), num, thread, errh))
                ;
            else
                place.push_back({e, thread});
        }
        if (errh->nerrors() != before)
            return -1;
        int n = router()->nthreads();
        for (auto& p : place)
            p.first->set_home_thread_id(p.second % n);
        return 0;
    }
};

QUILO_HOST_ELEMENT(ControlSocket);
QUILO_HOST_ELEMENT(StaticThreadSched);
