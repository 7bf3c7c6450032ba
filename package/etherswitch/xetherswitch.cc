#include "etherswitch/xetherswitch.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>

#include <mutex>

#include "common/registration.hh"

namespace {

bool parse_port(const std::string& s, int nports, int& port) {
    return IntArg().parse(s, port) && port >= 0 && port < nports;
}

}  // namespace

bool XEtherSwitch::remove_port_forwarding(const std::string& text) {
    int n = noutputs();
    std::lock_guard<std::mutex> g(_edit);
    std::vector<Word> edited = rules();
    std::vector<std::string> clauses = cp_argvec(text);
    if (clauses.empty())
        return false;
    for (const std::string& clause : clauses) {
        std::vector<std::string> w = cp_spacevec(clause);
        int in;
        if (w.size() < 4 || w.size() % 2 || w[0] != "SOURCE" || !parse_port(w[1], n, in))
            return false;
        for (size_t k = 2; k < w.size(); k += 2) {
            int out;
            if (w[k] != "OUTPORT" || !parse_port(w[k + 1], n, out))
                return false;
            set_bit(&edited[size_t(in) * size_t(nwords())], out, false);
        }
    }
    set_rules(std::move(edited));
    return true;
}

void XEtherSwitch::reset_port_forwarding() {
    std::lock_guard<std::mutex> g(_edit);
    set_rules(default_rules());
}

std::string XEtherSwitch::port_forwarding() {
    std::vector<Word> r = rules();
    int n = noutputs();
    std::string s;
    for (int in = 0; in < n; ++in) {
        const Word* rule = &r[size_t(in) * size_t(nwords())];
        s += std::to_string(in) + " ->";
        bool any = false;
        for (int out = 0; out < n; ++out)
            if (bit(rule, out)) {
                s += " " + std::to_string(out);
                any = true;
            }
        s += any ? "\n" : " none\n";
    }
    return s;
}

void XEtherSwitch::add_handlers() {
    LearningSwitch::add_handlers();
    add_write_handler("remove_port_forwarding",
                      WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          return remove_port_forwarding(s) ? 0 : errh->error("invalid port forwarding");
                      }));
    add_write_handler("reset_port_forwarding", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          reset_port_forwarding();
                          return 0;
                      }));
    add_read_handler("port_forwarding", ReadHandlerFunction([this]() { return port_forwarding(); }));
}

QUILO_REGISTER_ELEMENT(XEtherSwitch);
