// Socket(TYPE, ADDR, PORT, ...): joins routers (or a router and a program)
// through datagram sockets, without privileges. Every packet pushed or
// pulled into input 0 is sent as one datagram; every datagram received is
// pushed out of output 0 (its data starts at the packet data; use
// MarkMACHeader or CheckIPHeader to mark headers).
//   Socket(UDP, ADDR, PORT [, LOCAL_ADDR, LOCAL_PORT, CLIENT]): with
//   LOCAL_PORT the socket binds LOCAL_ADDR:LOCAL_PORT and sends to
//   ADDR:PORT; otherwise, with CLIENT false (the default), it binds
//   ADDR:PORT and answers the sender of the last datagram received; with
//   CLIENT true it sends to ADDR:PORT from an ephemeral port.
//   Socket(UNIX_DGRAM, PATH [, LOCAL_PATH, CLIENT]): the same with socket
//   files; a bound path is removed again at cleanup.
// Keywords: SNAPLEN (largest datagram accepted, default 65535; longer ones
// are counted and dropped), HEADROOM (default 64), BURST (datagrams per
// read or task run, default 32).
// Ports: 0 or 1 input (push or pull), 0 or 1 output (push).
// Handlers: sent, received, drops, truncated (read).
#pragma once
#include <host/element.hh>
#include <host/notifier.hh>
#include <host/task.hh>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>

class Socket : public Element {
 public:
    Socket() : _task(this) {}
    const char* class_name() const override { return "Socket"; }
    const char* port_count() const override { return "0-1/0-1"; }
    const char* processing() const override { return "a/h"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;
    void push(int, Packet* p) override;
    bool run_task(Task*) override;
    void selected(int fd, int mask) override;

 private:
    // 1: sent; 0: the socket is full (p kept by the caller); -1: dropped.
    int send_packet(Packet* p);
    bool _unix = false;
    bool _client = false;
    std::string _path, _local_path;
    sockaddr_storage _remote{};
    socklen_t _remote_len = 0;
    sockaddr_storage _local{};
    socklen_t _local_len = 0;
    bool _have_remote = false;
    bool _answer_sender = false;   // server: reply to the last sender
    bool _bound_path = false;
    uint32_t _snaplen = 65535;
    uint32_t _headroom = 64;
    int _burst = 32;
    int _fd = -1;
    Task _task;
    NotifierSignal _signal;
    Packet* _pending = nullptr;
    bool _waiting = false;
    std::atomic<uint64_t> _sent{0}, _received{0}, _drops{0}, _truncated{0};
};
