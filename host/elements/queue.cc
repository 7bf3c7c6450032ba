// Queue (push in, pull out, with an empty notifier) and Unqueue (pulls and
// pushes on, sleeping while upstream is empty).
#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/notifier.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/task.hh>

#include <atomic>
#include <memory>

// A ring of packet pointers, safe for one pushing and one pulling thread at
// a time.
class Queue : public Element {
 public:
    const char* class_name() const override { return "Queue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PUSH_TO_PULL; }
    void* cast(const char* name) override {
        if (strcmp(name, Notifier::EMPTY_NOTIFIER) == 0)
            return static_cast<Notifier*>(&_empty_note);
        return Element::cast(name);
    }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        uint32_t cap = 1000;
        if (Args(conf, this, errh).read_p("CAPACITY", BoundedIntArg(1, 1 << 24), cap).complete() < 0)
            return -1;
        _capacity = cap;
        return _empty_note.initialize(Notifier::EMPTY_NOTIFIER, router());
    }

    int initialize(ErrorHandler* errh) override {
        _ring.reset(new (std::nothrow) Packet*[_capacity + 1]);
        if (!_ring)
            return errh->error("out of memory");
        _empty_note.sleep();
        return 0;
    }

    void cleanup(CleanupStage) override {
        if (_ring)
            while (Packet* p = deq())
                p->kill();
    }

    void take_state(Element* old, ErrorHandler*) override {
        // Keep the packets of the queue being replaced, as many as fit.
        Queue* o = static_cast<Queue*>(old);
        while (Packet* p = o->deq()) {
            if (size() < _capacity)
                enq(p);
            else {
                p->kill();
                ++_drops;
            }
        }
        if (size())
            _empty_note.wake();
    }

    uint32_t size() const {
        uint32_t h = _head.load(std::memory_order_acquire), t = _tail.load(std::memory_order_acquire);
        return t >= h ? t - h : t + _capacity + 1 - h;
    }

    void push(int, Packet* p) override {
        if (size() >= _capacity) {
            ++_drops;
            p->kill();
            return;
        }
        enq(p);
        uint32_t s = size();
        if (s > _highwater)
            _highwater = s;
        if (!_empty_note.active())
            _empty_note.wake();
    }

    Packet* pull(int) override {
        Packet* p = deq();
        if (!p) {
            _empty_note.sleep();
            // A packet may have arrived between the check and the sleep.
            if (size())
                _empty_note.wake();
        }
        return p;
    }

    void add_handlers() override {
        add_read_handler("length", ReadHandlerFunction([this]() { return std::to_string(size()) + "\n"; }));
        add_read_handler("highwater_length",
                         ReadHandlerFunction([this]() { return std::to_string(_highwater) + "\n"; }));
        add_read_handler("capacity", ReadHandlerFunction([this]() { return std::to_string(_capacity) + "\n"; }));
        add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
        add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                              _drops.store(0);
                              _highwater = size();
                              return 0;
                          }),
                          Handler::h_button);
        add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                              while (Packet* p = deq())
                                  p->kill();
                              return 0;
                          }),
                          Handler::h_button);
    }

 private:
    void enq(Packet* p) {
        uint32_t t = _tail.load(std::memory_order_relaxed);
        _ring[t] = p;
        _tail.store(t == _capacity ? 0 : t + 1, std::memory_order_release);
    }
    Packet* deq() {
        uint32_t h = _head.load(std::memory_order_relaxed);
        if (h == _tail.load(std::memory_order_acquire))
            return nullptr;
        Packet* p = _ring[h];
        _head.store(h == _capacity ? 0 : h + 1, std::memory_order_release);
        return p;
    }

    ActiveNotifier _empty_note;
    std::unique_ptr<Packet*[]> _ring;
    uint32_t _capacity = 1000;
    std::atomic<uint32_t> _head{0};
    std::atomic<uint32_t> _tail{0};
    uint32_t _highwater = 0;
    std::atomic<uint64_t> _drops{0};
};

class Unqueue : public Element {
 public:
    Unqueue() : _task(this) {}
    const char* class_name() const override { return "Unqueue"; }
    const char* port_count() const override { return PORTS_1_1; }
    const char* processing() const override { return PULL_TO_PUSH; }

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        int burst = 1;
        bool active = true;
        int64_t limit = -1;
        if (Args(conf, this, errh)
                .read_p("BURST", BoundedIntArg(1, 1 << 20), burst)
                .read("ACTIVE", active)
                .read("LIMIT", limit)
                .complete() < 0)
            return -1;
        _burst = burst;
        _active = active;
        _limit = limit;
        return 0;
    }

    int initialize(ErrorHandler*) override {
        _task.initialize(this, _active);
        _signal = Notifier::upstream_empty_signal(this, 0, &_task);
        return 0;
    }

    bool run_task(Task*) override {
        if (!_active)
            return false;
        int n = 0;
        while (n < _burst) {
            if (_limit >= 0 && int64_t(_count.load(std::memory_order_relaxed)) >= _limit)
                return n > 0;
            Packet* p = input(0).pull();
            if (!p)
                break;
            _count.fetch_add(1, std::memory_order_relaxed);
            output(0).push(p);
            ++n;
        }
        if (n > 0 || _signal.active())
            _task.fast_reschedule();
        return n > 0;
    }

    void add_handlers() override {
        add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
        add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                              _count.store(0);
                              return 0;
                          }),
                          Handler::h_button);
        add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
        add_write_handler("active", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                              bool a;
                              if (!data_handler_parse(s, a, errh))
                                  return -EINVAL;
                              _active = a;
                              if (a)
                                  _task.reschedule();
                              return 0;
                          }));
        add_task_handlers(&_task);
    }

 private:
    Task _task;
    NotifierSignal _signal;
    int _burst = 1;
    bool _active = true;
    int64_t _limit = -1;
    std::atomic<uint64_t> _count{0};
};

QUILO_HOST_ELEMENT(Queue);
QUILO_HOST_ELEMENT(Unqueue);
