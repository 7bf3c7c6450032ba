#include "etherswitch/learningswitch.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/etheraddress.hh>

#include <cerrno>

namespace {

constexpr int64_t nsec_per_sec = 1000000000;
constexpr size_t ether_header_len = 14;

// Whole seconds, saturating at max: a plain number of any size, or a time
// with a unit ("90s", "2min").
bool parse_seconds(const std::string& text, uint32_t max, uint32_t& result) {
    std::string s = cp_uncomment(text);
    bool neg, overflow;
    uint64_t v;
    if (IntArg::parse_raw(s, 10, false, neg, v, overflow)) {
        result = overflow || v > max ? max : uint32_t(v);
        return true;
    }
    int64_t ns;
    if (!SecondsArg().parse_nsec(s, ns))
        return false;
    int64_t sec = (ns + nsec_per_sec / 2) / nsec_per_sec;
    result = sec > int64_t(max) ? max : uint32_t(sec);
    return true;
}

struct TimeoutArg {
    bool parse(const std::string& s, uint32_t& result, Args& args) const {
        if (parse_seconds(s, LearningSwitch::max_timeout, result))
            return true;
        args.error("expected seconds");
        return false;
    }
};

}  // namespace

int LearningSwitch::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t timeout = 300;
    if (Args(conf, this, errh).read("TIMEOUT", TimeoutArg(), timeout).complete() < 0) {
        if (const char* msg = timeout_error())
            errh->error("%s", msg);
        return -EINVAL;
    }
    if (noutputs() > max_ports)
        return errh->error("too many ports (at most %d)", max_ports);
    _nwords = (noutputs() + word_bits - 1) / word_bits;
    set_timeout(timeout);
    set_rules(initial_rules());
    return 0;
}

void LearningSwitch::set_bit(Word* rule, int j, bool on) {
    Word m = Word(1) << (j % word_bits);
    if (on)
        rule[j / word_bits] |= m;
    else
        rule[j / word_bits] &= ~m;
}

std::vector<LearningSwitch::Word> LearningSwitch::default_rules() const {
    int n = noutputs();
    std::vector<Word> r(size_t(n) * size_t(_nwords), 0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            set_bit(&r[size_t(i) * size_t(_nwords)], j, j != i);
    return r;
}

std::vector<LearningSwitch::Word> LearningSwitch::rules() {
    SpinlockGuard g(_lock);
    return _rules;
}

void LearningSwitch::set_rules(std::vector<Word> rules) {
    SpinlockGuard g(_lock);
    _rules.swap(rules);
}

void LearningSwitch::push(int in, Packet* p) {
    if (p->length() < ether_header_len) {
        _short.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    const uint8_t* dst = p->data();
    const uint8_t* src = p->data() + 6;
    int64_t timeout_ns = int64_t(timeout()) * nsec_per_sec;
    Word rule[max_words];
    int out = -1;
    {
        SpinlockGuard g(_lock);
        const Word* r = &_rules[size_t(in) * size_t(_nwords)];
        for (int w = 0; w < _nwords; ++w)
            rule[w] = r[w];
        if (timeout_ns) {
            int64_t now = p->timestamp_anno().nsecval();
            if (!now)
                now = Timestamp::now().nsecval();
            _table.learn(src, in, now, timeout_ns);
            if (!(dst[0] & 1))
                if (EtherTable::Entry* e = _table.find(dst)) {
                    if (now < e->stamp + timeout_ns)
                        out = e->port;
                    else
                        _table.erase(e);
                }
        }
    }
    if (out < 0)
        flood(p, rule);
    else if (out < noutputs() && bit(rule, out))
        output(out).push(p);
    else {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
    }
}

void LearningSwitch::flood(Packet* p, const Word* rule) {
    int n = noutputs();
    bool down = flood_descending();
    int last = -1;
    for (int k = 0; k < n; ++k) {
        int j = down ? k : n - 1 - k;  // the last output visited
        if (bit(rule, j)) {
            last = j;
            break;
        }
    }
    if (last < 0) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        p->kill();
        return;
    }
    for (int k = 0; k < n; ++k) {
        int j = down ? n - 1 - k : k;
        if (j == last)
            break;
        if (bit(rule, j))
            if (Packet* c = p->clone())
                output(j).push(c);
    }
    output(last).push(p);
}

std::string LearningSwitch::table_text() {
    std::string s;
    SpinlockGuard g(_lock);
    _table.for_each([&s](const EtherTable::Entry& e) {
        s += EtherAddress(e.mac).unparse();
        s += ' ';
        s += std::to_string(e.port);
        s += '\n';
    });
    return s;
}

size_t LearningSwitch::table_size() {
    SpinlockGuard g(_lock);
    return _table.size();
}

void LearningSwitch::add_handlers() {
    add_read_handler("table", ReadHandlerFunction([this]() { return table_text(); }));
    add_read_handler("timeout", ReadHandlerFunction([this]() { return std::to_string(timeout()) + "\n"; }));
    add_write_handler("timeout", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          uint32_t t;
                          if (!parse_seconds(s, max_timeout, t))
                              return errh->error("expected timeout (integer)");
                          set_timeout(t);
                          return 0;
                      }));
    add_read_handler("short_frames", ReadHandlerFunction([this]() { return std::to_string(short_frames()) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(drops()) + "\n"; }));
}
