// ControlSocket(TYPE, PORT or PATH): serves the control socket protocol
// (ControlSocketServer, <host/controlsocket.hh>) from an element. TYPE "TCP"
// listens on PORT (loopback) or ADDRESS:PORT and is read-only unless the
// driver runs with --allow-tcp-writes (writes answer "530 Permission
// denied"); TYPE "UNIX" listens on PATH, a socket of mode 0600 that takes
// writes.
// Served on thread 0. On a hot swap to a configuration with the same
// ControlSocket, the new element takes over the listening socket.
// Keywords: TYPE (TCP or UNIX, mandatory), PORT (port, ADDRESS:PORT or path,
// mandatory).
// Ports: none.
// Handlers: port (read; the TCP port listened on, 0 for UNIX).
#pragma once
#include <host/controlsocket.hh>
#include <host/element.hh>

#include <memory>
#include <string>

class ControlSocket : public Element {
 public:
    const char* class_name() const override { return "ControlSocket"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void take_state(Element* old, ErrorHandler*) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;

 private:
    std::string _type, _where;
    std::unique_ptr<ControlSocketServer> _server;
};
