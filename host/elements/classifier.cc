#include "classifier.hh"

#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int Classifier::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (conf.empty())
        return errh->error("no patterns");
    std::vector<classifier::Pattern> pats(conf.size());
    int bad = 0;
    for (size_t i = 0; i < conf.size(); ++i) {
        std::string text = cp_unquote(conf[i]);
        classifier::ParseError pe;
        if (!classifier::parse_pattern(text, pats[i], &pe)) {
            errh->error("%s", classifier::describe_error(int(i) + 1, text, pe).c_str());
            ++bad;
        }
    }
    if (bad)
        return -EINVAL;
    if (noutputs() > int(conf.size()))
        return errh->error("more outputs connected than patterns (%d patterns)", int(conf.size()));
    _patterns = std::move(pats);
    return 0;
}

void Classifier::push(int, Packet* p) {
    const unsigned char* d = p->data();
    uint32_t len = p->length();
    for (size_t i = 0; i < _patterns.size(); ++i)
        if (_patterns[i].match(d, len)) {
            checked_output_push(int(i), p);
            return;
        }
    _drops.fetch_add(1, std::memory_order_relaxed);
    p->kill();
}

void Classifier::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(Classifier);
