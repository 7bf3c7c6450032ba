#include "print.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

#include <algorithm>
#include <cstdio>

int Print::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
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

Packet* Print::simple_action(Packet* p) {
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

void Print::add_handlers() {
    add_data_handlers("active", Handler::h_read | Handler::h_write, &_active);
}

QUILO_HOST_ELEMENT(Print);
