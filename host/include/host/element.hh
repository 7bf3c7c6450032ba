// Element: the unit of a router configuration.  Subclasses declare their
// class name, port counts and processing, parse their configuration, and
// move packets with push/pull.
#ifndef QUILO_HOST_ELEMENT_HH
#define QUILO_HOST_ELEMENT_HH

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <host/glue.hh>
#include <host/packet.hh>

class Router;
class Master;
class Element;
class ErrorHandler;
class Task;
class Timer;
class Handler;

// Handler callbacks (Click's shapes).  user_data is whatever was passed when
// the handler was added.
typedef std::string (*ReadHandlerCallback)(Element* e, void* user_data);
typedef int (*WriteHandlerCallback)(const std::string& data, Element* e, void* user_data, ErrorHandler* errh);
// One callback for both directions: op is Handler::OP_READ or OP_WRITE; for
// a read, data holds the parameter (if any) on entry and the result on exit.
typedef int (*HandlerCallback)(int op, std::string& data, Element* e, const Handler* h, ErrorHandler* errh);
// Closure forms.
typedef std::function<std::string()> ReadHandlerFunction;
typedef std::function<int(const std::string& data, ErrorHandler* errh)> WriteHandlerFunction;

class Handler {
 public:
    enum Flags {
        h_read = 0x0001,
        h_write = 0x0002,
        h_read_param = 0x0004,    // a read may carry a parameter ("READ e.h PARAM")
        h_raw = 0x0008,           // write data passed exactly (no whitespace trimming)
        h_calm = 0x0010,
        h_expensive = 0x0020,
        h_button = 0x0040,
        h_checkbox = 0x0080,
        h_uncommon = 0x0100,
        h_deprecated = 0x0200,
        h_nonexclusive = 0x0400,
    };
    enum { OP_READ = h_read, OP_WRITE = h_write };

    const std::string& name() const { return _name; }
    uint32_t flags() const { return _flags; }
    bool readable() const { return _flags & h_read; }
    bool writable() const { return _flags & h_write; }
    bool read_param() const { return _flags & h_read_param; }
    bool raw() const { return _flags & h_raw; }
    bool visible() const { return true; }
    void* read_user_data() const { return _read_user_data; }
    void* write_user_data() const { return _write_user_data; }

    // Calls the read side; errors (e.g. not readable) go to errh and give "".
    std::string call_read(Element* e, ErrorHandler* errh = nullptr) const;
    std::string call_read(Element* e, const std::string& param, ErrorHandler* errh = nullptr) const;
    // Calls the write side; returns the handler's result (<0 on error).
    int call_write(const std::string& value, Element* e, ErrorHandler* errh = nullptr) const;
    // "element.handler" (or just "handler" for router handlers).
    std::string unparse_name(const Element* e) const;

 private:
    std::string _name;
    uint32_t _flags = 0;
    ReadHandlerCallback _read = nullptr;
    WriteHandlerCallback _write = nullptr;
    HandlerCallback _hook = nullptr;      // set_handler form (both directions)
    uint32_t _hook_ops = 0;
    void* _read_user_data = nullptr;
    void* _write_user_data = nullptr;
    ReadHandlerFunction _read_fn;
    WriteHandlerFunction _write_fn;
    friend class Router;
    friend class Element;
};

class Element {
 public:
    enum ConfigurePhase {
        CONFIGURE_PHASE_FIRST = 0,
        CONFIGURE_PHASE_INFO = 20,
        CONFIGURE_PHASE_PRIVILEGED = 90,
        CONFIGURE_PHASE_DEFAULT = 100,
        CONFIGURE_PHASE_LAST = 2000
    };
    // The stage an element reached before cleanup() was called.
    enum CleanupStage {
        CLEANUP_NO_ROUTER,
        CLEANUP_BEFORE_CONFIGURE = CLEANUP_NO_ROUTER,
        CLEANUP_CONFIGURE_FAILED,
        CLEANUP_CONFIGURED,
        CLEANUP_INITIALIZE_FAILED,
        CLEANUP_INITIALIZED,
        CLEANUP_ROUTER_INITIALIZED,
        CLEANUP_MANUAL
    };
    // Selection masks for add_select.
    enum { SELECT_READ = 1, SELECT_WRITE = 2 };

    // Port counts and processing codes.
    static const char PORTS_0_0[];   // "0/0"
    static const char PORTS_0_1[];   // "0/1"
    static const char PORTS_1_0[];   // "1/0"
    static const char PORTS_1_1[];   // "1/1"
    static const char PORTS_1_1X2[]; // "1/1-2"
    static const char AGNOSTIC[];    // "a"
    static const char PUSH[];        // "h"
    static const char PULL[];        // "l"
    static const char PUSH_TO_PULL[];// "h/l"
    static const char PULL_TO_PUSH[];// "l/h"
    static const char PROCESSING_A_AH[]; // "a/ah"
    static const char COMPLETE_FLOW[];   // "x/x"

    Element();
    virtual ~Element();
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;

    // Declarations.
    virtual const char* class_name() const = 0;
    // "in/out": each side "n", "n-m", "n-" (n or more), "-" (any), "-m"; the
    // output side may be "=" (as many as inputs).  Default "0/0".
    virtual const char* port_count() const;
    // "h" push, "l" pull, "a" agnostic; per port "ins/outs", the last
    // character repeating ("h/l", "a/ah").  Default agnostic.
    virtual const char* processing() const;
    // Which inputs flow to which outputs: equal letters are linked; "#"
    // links input i with output i only.  Default "x/x".
    virtual const char* flow_code() const;
    // Free-form flags ("A", "S0", ...); default "".
    virtual const char* flags() const;
    // Value of a one-letter flag ("A" -> 1, "S3" -> 3), or -1 when absent.
    int flag_value(int flag) const;

    // Interface lookup: the default answers the element's own class name.
    virtual void* cast(const char* name);
    // Per-port lookup (notifiers); the default calls cast(name).
    virtual void* port_cast(bool isoutput, int port, const char* name);

    // Life cycle.
    virtual int configure_phase() const;
    virtual int configure(std::vector<std::string>& conf, ErrorHandler* errh);
    virtual void add_handlers();
    virtual int initialize(ErrorHandler* errh);
    // Hot swap: called on a new element whose name and class match an
    // element of the router being replaced; the old router no longer runs.
    virtual void take_state(Element* old_element, ErrorHandler* errh);
    // The element of the old router that take_state() would receive.
    Element* hotswap_element() const;
    virtual void cleanup(CleanupStage stage);

    // Live reconfiguration.  The default live_reconfigure() calls configure()
    // when can_live_reconfigure() is true.  configure() must leave the
    // element unchanged when it fails.
    virtual bool can_live_reconfigure() const;
    virtual int live_reconfigure(std::vector<std::string>& conf, ErrorHandler* errh);

    // Packet work.
    virtual void push(int port, Packet* p);
    virtual Packet* pull(int port);
    virtual Packet* simple_action(Packet* p);
    virtual bool run_task(Task* task);
    virtual void run_timer(Timer* timer);
    virtual void selected(int fd, int mask);
    virtual void selected(int fd);

    // Identity.
    const std::string& name() const { return _name; }
    Router* router() const { return _router; }
    Master* master() const;
    int eindex() const { return _eindex; }
    int eindex(Router* r) const { return r == _router ? _eindex : -1; }
    const std::string& landmark() const { return _landmark; }
    // "name :: Class".
    std::string declaration() const;
    // The configuration text as written (arguments joined by ", ").
    std::string configuration() const;
    const std::vector<std::string>& configuration_args() const { return _conf; }
    // Thread whose tasks, timers and selects this element uses (default 0).
    int home_thread_id() const { return _home_thread; }
    void set_home_thread_id(int t) { _home_thread = t; }

    // Ports.
    class Port {
     public:
        Port() = default;
        Port(Element* owner, Element* e, int port) : _owner(owner), _e(e), _port(port) {}
        // The element and port at the other end (for push outputs and pull
        // inputs; null for the other kinds).
        Element* element() const { return _e; }
        int port() const { return _port; }
        bool active() const { return _e != nullptr; }
        Element* owner() const { return _owner; }
        void push(Packet* p) const { _e->push(_port, p); }
        Packet* pull() const { return _e->pull(_port); }

     private:
        Element* _owner = nullptr;
        Element* _e = nullptr;
        int _port = -1;
    };

    int ninputs() const { return int(_inputs.size()); }
    int noutputs() const { return int(_outputs.size()); }
    int nports(bool isoutput) const { return isoutput ? noutputs() : ninputs(); }
    const Port& input(int i) const { return _inputs[i]; }
    const Port& output(int i) const { return _outputs[i]; }
    const Port& port(bool isoutput, int i) const { return isoutput ? _outputs[i] : _inputs[i]; }
    bool input_is_push(int i) const { return _input_push[i]; }
    bool input_is_pull(int i) const { return !_input_push[i]; }
    bool output_is_push(int i) const { return _output_push[i]; }
    bool output_is_pull(int i) const { return !_output_push[i]; }
    bool port_is_push(bool isoutput, int i) const { return isoutput ? output_is_push(i) : input_is_push(i); }
    // Pushes to output i if it exists, else kills the packet.
    void checked_output_push(int i, Packet* p) const {
        if (unsigned(i) < unsigned(_outputs.size()))
            _outputs[i].push(p);
        else
            p->kill();
    }
    // Whether input i flows to output o according to flow_code().
    bool port_flow(bool isoutput, int p, int q) const;

    // Handlers (call from add_handlers, or later).
    void add_read_handler(const std::string& name, ReadHandlerCallback f, void* user_data, uint32_t flags = 0);
    void add_read_handler(const std::string& name, ReadHandlerCallback f, int user_data = 0, uint32_t flags = 0);
    void add_read_handler(const std::string& name, ReadHandlerFunction f, uint32_t flags = 0);
    void add_write_handler(const std::string& name, WriteHandlerCallback f, void* user_data, uint32_t flags = 0);
    void add_write_handler(const std::string& name, WriteHandlerCallback f, int user_data = 0, uint32_t flags = 0);
    void add_write_handler(const std::string& name, WriteHandlerFunction f, uint32_t flags = 0);
    void set_handler(const std::string& name, int flags, HandlerCallback f, void* read_user_data = nullptr,
                     void* write_user_data = nullptr);
    void set_handler(const std::string& name, int flags, HandlerCallback f, int read_user_data,
                     int write_user_data = 0);
    // Read (Handler::h_read) and/or write (Handler::h_write) handlers for a
    // variable: bool, all integer types, double, std::string, IPAddress,
    // EtherAddress, Timestamp.  Writes parse with the Args parser of the
    // type and leave the variable unchanged on error.
    template <typename T> void add_data_handlers(const std::string& name, int flags, T* data);
    // A task's "scheduled" and "home_thread" read handlers, and "tickets"
    // (read and write, 1 to Task::MAX_TICKETS).
    void add_task_handlers(Task* task, const std::string& prefix = std::string());

    // Keyword reconfiguration: a write handler that replaces one keyword
    // argument (user_data: const char* keyword) or one positional argument
    // (user_data: (void*)(intptr_t) index) and reconfigures the element in
    // place; on error nothing changes.  The read forms return the current
    // value of that argument.
    static int reconfigure_keyword_handler(const std::string& value, Element* e, void* keyword, ErrorHandler* errh);
    static int reconfigure_positional_handler(const std::string& value, Element* e, void* index, ErrorHandler* errh);
    static std::string read_keyword_handler(Element* e, void* keyword);
    static std::string read_positional_handler(Element* e, void* index);
    // Convenience: "handler" read + write through the keyword.  When the
    // keyword may also be given positionally, pass its position: an
    // argument written positionally is then read and replaced in place.
    void add_reconfigure_handlers(const std::string& handler, const char* keyword, int position = -1);
    // Replaces the whole configuration (used by the "config" write handler).
    int reconfigure(const std::vector<std::string>& conf, ErrorHandler* errh);

    // File-descriptor readiness on the element's home thread.
    int add_select(int fd, int mask);
    int remove_select(int fd, int mask);

 private:
    std::string _name;
    std::string _landmark;
    Router* _router = nullptr;
    int _eindex = -1;
    int _home_thread = 0;
    std::vector<std::string> _conf;
    std::vector<Port> _inputs;
    std::vector<Port> _outputs;
    std::vector<char> _input_push;
    std::vector<char> _output_push;
    friend class Router;
};

// Writes "name :: Class" for %p{element}.
std::string element_declaration(const Element* e);

class EtherAddress;
// Text forms used by add_data_handlers (defined for bool, the integer types,
// double, std::string (raw), IPAddress, EtherAddress and Timestamp).
#define QUILO_DATA_HANDLER_TYPE(T)                                                  \
    std::string data_handler_unparse(const T& v);                                  \
    bool data_handler_parse(const std::string& s, T& v, ErrorHandler* errh);
QUILO_DATA_HANDLER_TYPE(bool)
QUILO_DATA_HANDLER_TYPE(char)
QUILO_DATA_HANDLER_TYPE(signed char)
QUILO_DATA_HANDLER_TYPE(unsigned char)
QUILO_DATA_HANDLER_TYPE(short)
QUILO_DATA_HANDLER_TYPE(unsigned short)
QUILO_DATA_HANDLER_TYPE(int)
QUILO_DATA_HANDLER_TYPE(unsigned)
QUILO_DATA_HANDLER_TYPE(long)
QUILO_DATA_HANDLER_TYPE(unsigned long)
QUILO_DATA_HANDLER_TYPE(long long)
QUILO_DATA_HANDLER_TYPE(unsigned long long)
QUILO_DATA_HANDLER_TYPE(double)
QUILO_DATA_HANDLER_TYPE(std::string)
QUILO_DATA_HANDLER_TYPE(IPAddress)
QUILO_DATA_HANDLER_TYPE(EtherAddress)
QUILO_DATA_HANDLER_TYPE(Timestamp)
#undef QUILO_DATA_HANDLER_TYPE

template <typename T> void Element::add_data_handlers(const std::string& name, int flags, T* data) {
    if (flags & Handler::h_read)
        add_read_handler(name, ReadHandlerFunction([data]() { return data_handler_unparse(*data); }),
                         uint32_t(flags & ~(Handler::h_read | Handler::h_write)));
    if (flags & Handler::h_write)
        add_write_handler(name, WriteHandlerFunction([data](const std::string& s, ErrorHandler* errh) {
                              T v{};
                              if (!data_handler_parse(s, v, errh))
                                  return -EINVAL;
                              *data = v;
                              return 0;
                          }),
                          uint32_t(flags & ~(Handler::h_read | Handler::h_write)));
}

#endif
