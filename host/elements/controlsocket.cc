#include "controlsocket.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

int ControlSocket::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string type, where;
    if (Args(conf, this, errh).read_mp("TYPE", WordArg(), type).read_mp("PORT", StringArg(), where).complete() < 0)
        return -1;
    if (type != "TCP" && type != "UNIX")
        return errh->error("TYPE: expected TCP or UNIX");
    _type = type;
    _where = where;
    return 0;
}

int ControlSocket::initialize(ErrorHandler* errh) {
    // Taking over from a running twin: the socket comes in take_state.
    if (ControlSocket* old = static_cast<ControlSocket*>(hotswap_element()))
        if (old->_server && old->_type == _type && old->_where == _where)
            return 0;
    _server.reset(new ControlSocketServer(master()));
    return _type == "TCP" ? _server->listen_tcp(_where, errh) : _server->listen_unix(_where, errh);
}

void ControlSocket::take_state(Element* old, ErrorHandler*) {
    ControlSocket* o = static_cast<ControlSocket*>(old);
    if (!_server && o->_type == _type && o->_where == _where)
        _server = std::move(o->_server);
}

void ControlSocket::cleanup(CleanupStage) {
    _server.reset();
}

void ControlSocket::add_handlers() {
    add_read_handler("port", ReadHandlerFunction([this]() {
                         return std::to_string(_server ? _server->port() : 0) + "\n";
                     }));
}

QUILO_HOST_ELEMENT(ControlSocket);
