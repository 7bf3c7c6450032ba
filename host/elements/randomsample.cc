#include "randomsample.hh"
#include "activehandler.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/glue.hh>
#include <host/package.hh>

void RandomSample::set_prob(double pass) {
    _pass = pass;
    _threshold = pass >= 1 ? 0xFFFFFFFFu : uint32_t(pass * 4294967296.0);
}

int RandomSample::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    double p = -1, sample = -1, drop = -1;
    bool active = true;
    if (Args(conf, this, errh)
            .read_p("P", p)
            .read("SAMPLE", sample)
            .read("DROP", drop)
            .read("ACTIVE", active)
            .complete() < 0)
        return -1;
    int given = (p >= 0) + (sample >= 0) + (drop >= 0);
    if (given > 1)
        return errh->error("give only one of P, SAMPLE and DROP");
    double pass = p >= 0 ? p : sample >= 0 ? sample : drop >= 0 ? 1 - drop : 1;
    if (!(pass >= 0 && pass <= 1))
        return errh->error("probability must be between 0 and 1");
    set_prob(pass);
    _active = active;
    return 0;
}

Packet* RandomSample::simple_action(Packet* p) {
    uint32_t t = _threshold.load(std::memory_order_relaxed);
    if (!_active.load(std::memory_order_relaxed) || t == 0xFFFFFFFFu || click_random() < t) {
        _count.fetch_add(1, std::memory_order_relaxed);
        return p;
    }
    _drops.fetch_add(1, std::memory_order_relaxed);
    checked_output_push(1, p);
    return nullptr;
}

void RandomSample::add_handlers() {
    auto prob_writer = [this](bool drop) {
        return WriteHandlerFunction([this, drop](const std::string& s, ErrorHandler* errh) {
            double v;
            if (!parse_arg(DoubleArg(), s, v, errh) || !(v >= 0 && v <= 1))
                return errh->error("expected a probability between 0 and 1");
            set_prob(drop ? 1 - v : v);
            return 0;
        });
    };
    add_read_handler("sampling_prob", ReadHandlerFunction([this]() { return std::to_string(_pass) + "\n"; }));
    add_write_handler("sampling_prob", prob_writer(false));
    add_read_handler("drop_prob", ReadHandlerFunction([this]() { return std::to_string(1 - _pass) + "\n"; }));
    add_write_handler("drop_prob", prob_writer(true));
    add_read_handler("active", ReadHandlerFunction([this]() { return std::string(_active ? "true\n" : "false\n"); }));
    add_write_handler("active", active_write_handler(_active));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_read_handler("count", ReadHandlerFunction([this]() { return std::to_string(_count.load()) + "\n"; }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _drops = 0;
                          _count = 0;
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(RandomSample);
