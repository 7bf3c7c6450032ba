// Small host elements: Idle, Discard, Null, Paint, Tee, Counter, Print.
#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/notifier.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/task.hh>

#include <atomic>
#include <cstdio>

// Idle: never produces packets (its pull outputs answer null and tell
// downstream pull tasks to sleep) and discards whatever is pushed to it.
class Idle : public Element {
 public:
    Idle() : _note(NotifierSignal::idle_signal()) {}
    const char* class_name() const override { return "Idle"; }
    const char* port_count() const override { return "-/-"; }
    const char* processing() const override { return AGNOSTIC; }
    const char* flow_code() const override { return "x/y"; }
    void* cast(const char* name) override {
        if (strcmp(name, Notifier::EMPTY_NOTIFIER) == 0)
            return static_cast<Notifier*>(&_note);
        return Element::cast(name);
    }
    void push(int, Packet* p) override { p->kill(); }
    Packet* pull(int) override { return nullptr; }

 private:
    Notifier _note;
};

// Discard: drops every packet; pulls with a task when its input is pull.
class Discard : public Element {
 public:
    Discard() : _task(this) {}
    const char* class_name() const override { return "Discard"; }
    const char* port_count() const override { return PORTS_1_0; }
    const char* processing() const override { return AGNOSTIC; }
    const char* flags() const override { return "S0"; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        bool active = true;
        int burst = 1;
        if (Args(conf, this, errh).read("ACTIVE", active).read("BURST", BoundedIntArg(1, 1 << 20), burst).complete() < 0)
            return -1;
        _active = active;
        _burst = burst;
        return 0;
    }
    int initialize(ErrorHandler*) override {
        if (input_is_pull(0)) {
            _task.initialize(this, _active);
            _signal = Notifier::upstream_empty_signal(this, 0, &_task);
        }
        return 0;
    }
    void push(int, Packet* p) override {
        _count.fetch_add(1, std::memory_order_relaxed);
        p->kill();
    }
    bool run_task(Task*) override {
        int n = 0;
        while (n < _burst) {
            Packet* p = input(0).pull();
            if (!p)
                break;
            _count.fetch_add(1, std::memory_order_relaxed);
            p->kill();
            ++n;
        }
        if (_active && (n > 0 || _signal.active()))
            _task.fast_reschedule();
        return n > 0;
    }
    void add_handlers() override {
        add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
        add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
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
                              if (a && input_is_pull(0))
                                  _task.reschedule();
                              return 0;
                          }));
        if (input_is_pull(0))
            add_task_handlers(&_task);
    }

 private:
    Task _task;
    NotifierSignal _signal;
    std::atomic<uint64_t> _count{0};
    bool _active = true;
    int _burst = 1;
};

class Null : public Element {
 public:
    const char* class_name() const override { return "Null"; }
    const char* port_count() const override { return PORTS_1_1; }
    Packet* simple_action(Packet* p) override { return p; }
};

// Paint(COLOR [, ANNO]): sets the paint annotation (offset 16 by default).
class Paint : public Element {
 public:
    const char* class_name() const override { return "Paint"; }
    const char* port_count() const override { return PORTS_1_1; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        uint8_t color = 0;
        int anno = PAINT_ANNO_OFFSET;
        if (Args(conf, this, errh).read_mp("COLOR", color).read_p("ANNO", AnnoArg(1), anno).complete() < 0)
            return -1;
        _color = color;
        _anno = anno;
        return 0;
    }
    Packet* simple_action(Packet* p) override {
        p->set_anno_u8(_anno, _color);
        return p;
    }
    void add_handlers() override { add_reconfigure_handlers("color", "COLOR", 0); }

 private:
    uint8_t _color = 0;
    int _anno = PAINT_ANNO_OFFSET;
};

// Tee([N]): copies each packet to every output (clones; the last output
// gets the original).
class Tee : public Element {
 public:
    const char* class_name() const override { return "Tee"; }
    const char* port_count() const override { return "1/1-"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        int n = noutputs();
        if (Args(conf, this, errh).read_p("N", n).complete() < 0)
            return -1;
        if (n != noutputs())
            return errh->error("%d outputs implies %d arms", noutputs(), noutputs());
        return 0;
    }
    void push(int, Packet* p) override {
        int n = noutputs();
        for (int i = 0; i < n - 1; ++i)
            if (Packet* q = p->clone())
                output(i).push(q);
        output(n - 1).push(p);
    }
};

// Counter: counts packets and bytes.
class Counter : public Element {
 public:
    const char* class_name() const override { return "Counter"; }
    const char* port_count() const override { return PORTS_1_1; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        return Args(conf, this, errh).complete();
    }
    Packet* simple_action(Packet* p) override {
        if (unlikely(_count.fetch_add(1, std::memory_order_relaxed) == 0))
            _first.store(Timestamp::now_steady().nsecval(), std::memory_order_relaxed);
        _byte_count.fetch_add(p->length(), std::memory_order_relaxed);
        return p;
    }
    void add_handlers() override {
        add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
        add_read_handler("byte_count",
                         ReadHandlerFunction([this]() { return std::to_string(_byte_count.load()) + "\n"; }));
        add_read_handler("rate", ReadHandlerFunction([this]() {
                             uint64_t c = _count.load();
                             if (c == 0)
                                 return std::string("0\n");
                             double dt = double(Timestamp::now_steady().nsecval() - _first.load()) / 1e9;
                             char buf[64];
                             snprintf(buf, sizeof(buf), "%.0f\n", dt > 0 ? double(c) / dt : 0.0);
                             return std::string(buf);
                         }));
        add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                              _count.store(0);
                              _byte_count.store(0);
                              return 0;
                          }),
                          Handler::h_button);
        add_write_handler("reset_counts", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                              _count.store(0);
                              _byte_count.store(0);
                              return 0;
                          }),
                          Handler::h_button);
    }

 private:
    std::atomic<uint64_t> _count{0};
    std::atomic<uint64_t> _byte_count{0};
    std::atomic<int64_t> _first{0};
};

// Print([LABEL, MAXLENGTH, CONTENTS, TIMESTAMP, ACTIVE]): one line per packet
// on standard error: "label: len | hex bytes".
class Print : public Element {
 public:
    const char* class_name() const override { return "Print"; }
    const char* port_count() const override { return PORTS_1_1; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override {
        std::string label, contents = "HEX";
        int maxlen = 24;
        bool ts = false, active = true;
        if (Args(conf, this, errh)
                .read_p("LABEL", label)
                .read_p("MAXLENGTH", maxlen)
                .read("LENGTH", maxlen)
                .read("CONTENTS", WordArg(), contents)
                .read("TIMESTAMP", ts)
                .read("ACTIVE", active)
                .complete() < 0)
            return -1;
        if (contents != "HEX" && contents != "ASCII" && contents != "NONE" && contents != "true" && contents != "false")
            return errh->error("CONTENTS: expected HEX, ASCII or NONE");
        _label = label;
        _maxlen = maxlen;
        _contents = contents == "false" ? "NONE" : contents == "true" ? "HEX" : contents;
        _timestamp = ts;
        _active = active;
        return 0;
    }
    Packet* simple_action(Packet* p) override {
        if (!_active)
            return p;
        std::string s = _label.empty() ? std::string() : _label + ": ";
        if (_timestamp)
            s += p->timestamp_anno().unparse() + ": ";
        char buf[16];
        snprintf(buf, sizeof(buf), "%4u", p->length());
        s += buf;
        if (_contents != "NONE") {
            s += " | ";
            uint32_t n = _maxlen < 0 ? p->length() : std::min<uint32_t>(p->length(), uint32_t(_maxlen));
            for (uint32_t i = 0; i < n; ++i) {
                unsigned char c = p->data()[i];
                if (_contents == "ASCII")
                    s += (c >= 32 && c < 127) ? char(c) : '.';
                else {
                    if (i && i % 4 == 0)
                        s += ' ';
                    snprintf(buf, sizeof(buf), "%02x", c);
                    s += buf;
                }
            }
        }
        click_chatter("%s", s.c_str());
        return p;
    }
    void add_handlers() override { add_data_handlers("active", Handler::h_read | Handler::h_write, &_active); }

 private:
    std::string _label;
    int _maxlen = 24;
    std::string _contents = "HEX";
    bool _timestamp = false;
    bool _active = true;
};

QUILO_HOST_ELEMENT(Idle);
QUILO_HOST_ELEMENT(Discard);
QUILO_HOST_ELEMENT(Null);
QUILO_HOST_ELEMENT(Paint);
QUILO_HOST_ELEMENT(Tee);
QUILO_HOST_ELEMENT(Counter);
QUILO_HOST_ELEMENT(Print);
