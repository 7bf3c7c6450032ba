// Router: the elements and connections of one configuration, their
// handlers, and their life cycle.
//
//   Router* r = Router::create(text, "file.click", defines, errh, master);
//   if (!r || r->initialize(errh) < 0) ...   // errors already reported
//   master->run(r);
//
// create() loads required packages, builds every element through the class
// registry, checks port counts and push/pull processing, and reports every
// error with its landmark ("file.click:12: ...").  initialize() configures
// every element in ascending configure_phase (configuration order within a
// phase), then adds every element's handlers, then initializes every element
// in configuration order.
#ifndef QUILO_HOST_ROUTER_HH
#define QUILO_HOST_ROUTER_HH

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <host/element.hh>
#include <host/notifier.hh>

struct RouterConfig;
class Master;

class Router {
 public:
    enum State { ROUTER_NEW, ROUTER_PRECONFIGURE, ROUTER_PREINITIALIZE, ROUTER_LIVE, ROUTER_DEAD };

    // Builds a router from configuration text.  Returns null after
    // reporting every error to errh.  `master` null: Master::current().
    // `hotswap_of`: the running router this one is to replace (elements can
    // ask for it in configure through hotswap_router()).
    static Router* create(const std::string& text, const std::string& filename,
                          const std::map<std::string, std::string>& defines, ErrorHandler* errh,
                          Master* master = nullptr, Router* hotswap_of = nullptr);
    // Builds from an already parsed configuration.
    static Router* create(const RouterConfig& conf, const std::string& text, ErrorHandler* errh,
                          Master* master = nullptr, Router* hotswap_of = nullptr);
    ~Router();
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // configure / add_handlers / initialize.  Returns 0 or -EINVAL (every
    // error reported; elements already set up are cleaned up with the stage
    // they reached).
    int initialize(ErrorHandler* errh);
    State state() const { return _state; }
    bool initialized() const { return _state >= ROUTER_LIVE; }
    // True while the router's tasks, timers and selections are on the threads.
    bool running() const { return _running.load(std::memory_order_acquire); }

    Master* master() const { return _master; }
    int nthreads() const;
    // During configure/initialize of a router built to replace a running
    // one: that router; otherwise null.
    Router* hotswap_router() const { return _hotswap_router; }

    // Elements in configuration order.
    int nelements() const { return int(_elements.size()); }
    Element* element(int i) const { return (i >= 0 && i < nelements()) ? _elements[i] : nullptr; }
    const std::vector<Element*>& elements() const { return _elements; }
    // Element by name; null (and an error to errh, if given) when absent.
    Element* find(const std::string& name, ErrorHandler* errh = nullptr) const;
    // The same, seen from `context`: an element inside a compound element
    // finds its siblings by their short names ("rsp" from "peer2/comp" is
    // "peer2/rsp"), then the names of the enclosing compounds, then the top
    // level.
    Element* find(const std::string& name, const Element* context, ErrorHandler* errh = nullptr) const;

    // Connections: (from element, from port) -> (to element, to port).
    struct Connection {
        Element* from;
        int from_port;
        Element* to;
        int to_port;
        std::string landmark;
    };
    const std::vector<Connection>& connections() const { return _connections; }

    // Texts.
    const std::string& configuration_string() const { return _config_text; }
    std::string flat_configuration() const;
    std::string element_ports_string(const Element* e) const;
    static const char* version();

    // Stops the master running this router (any thread).
    void please_stop_driver();

    // Handlers.  e == nullptr means a router (global) handler.
    static const Handler* handler(const Element* e, const std::string& hname);
    // Finds "element.handler" or "handler"; returns the element through e.
    // With a context, the element name is looked up as find() does.
    const Handler* find_handler(const std::string& hdesc, Element** e, ErrorHandler* errh = nullptr) const;
    const Handler* find_handler(const std::string& hdesc, const Element* context, Element** e,
                                ErrorHandler* errh = nullptr) const;
    std::vector<const Handler*> handlers(const Element* e) const;
    void add_read_handler(const Element* e, const std::string& name, ReadHandlerCallback f, void* user_data,
                          uint32_t flags = 0);
    void add_write_handler(const Element* e, const std::string& name, WriteHandlerCallback f, void* user_data,
                           uint32_t flags = 0);
    void set_handler(const Element* e, const std::string& name, int flags, HandlerCallback f, void* read_ud,
                     void* write_ud);
    void add_read_handler(const Element* e, const std::string& name, ReadHandlerFunction f, uint32_t flags = 0);
    void add_write_handler(const Element* e, const std::string& name, WriteHandlerFunction f, uint32_t flags = 0);

    // Notifier signal bits.
    int new_notifier_signal(const char* name, NotifierSignal& signal);

    // Deferred registrations for tasks, timers and selections (used by Task,
    // Timer and Element; a router that is not running keeps them until
    // Master starts it).
    void register_task(Task* t);
    void unregister_task(Task* t);
    void register_timer(Timer* t);
    void unregister_timer(Timer* t);
    struct Select {
        int fd;
        int mask;
        Element* e;
    };
    int add_select(Element* e, int fd, int mask);
    int remove_select(Element* e, int fd, int mask);

    // Whether some element is inside a compound element of that name.
    bool has_compound(const std::string& name) const;

    // Task tickets asked for by ScheduleInfo: `param` times the default for
    // the tasks of element `name`, and of every element inside it when it
    // is a compound element.  Task::initialize(owner) applies them.
    void set_schedule_param(const std::string& name, double param) { _schedule_params[name] = param; }
    // Tickets for owner's tasks (the product of the params of its name and
    // of the compounds around it), or 0 when nothing was asked.
    int schedule_tickets(const Element* owner) const;

    // Requirements of the configuration ("package quilo" ...).
    const std::vector<std::string>& requirements() const { return _requirements; }
    // Command-line definitions the configuration was read with (kept for hotconfig).
    const std::map<std::string, std::string>& defines() const { return _defines; }

 private:
    Router(Master* m, const std::string& text);
    int build(const RouterConfig& conf, ErrorHandler* errh, ErrorHandler* unknown_errh);
    int check_ports(const RouterConfig& conf, ErrorHandler* errh);
    int resolve_processing(const RouterConfig& conf, ErrorHandler* errh);
    void add_router_handlers();
    void add_element_handlers(Element* e);
    void cleanup_elements();
    Handler* make_handler(const Element* e, const std::string& name);

    Master* _master;
    std::string _config_text;
    std::vector<Element*> _elements;
    std::vector<Connection> _connections;
    std::map<std::string, Element*> _by_name;
    std::vector<std::string> _requirements;
    std::map<std::string, std::string> _defines;
    std::string _filename;
    bool _cleaned = false;
    std::vector<std::deque<Handler>> _handlers;    // index eindex + 1 (0: router handlers)
    std::vector<int> _element_stage;                // CleanupStage each element reached
    State _state = ROUTER_NEW;
    std::atomic<bool> _running{false};
    Router* _hotswap_router = nullptr;
    std::vector<Task*> _tasks;
    std::vector<Timer*> _timers;
    std::vector<Select> _selects;
    std::map<std::string, double> _schedule_params;
    std::deque<std::atomic<uint32_t>> _notifier_words;
    int _notifier_bits = 0;
    friend class Master;
    friend class Element;
    friend class Task;
    friend class Timer;
};

#endif
