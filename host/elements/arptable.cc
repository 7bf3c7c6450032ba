#include "arptable.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>

int ARPTable::parse_limits(std::vector<std::string>& conf, Element* e, ErrorHandler* errh, ArpCache::Limits& l) {
    uint32_t cap = l.capacity, ecap = l.entry_capacity, epcap = l.entry_packet_capacity;
    Timestamp timeout = Timestamp::make_nsec(l.timeout_ns);
    if (Args(e, errh)
            .bind(conf)
            .read("CAPACITY", cap)
            .read("ENTRY_CAPACITY", ecap)
            .read("ENTRY_PACKET_CAPACITY", BoundedIntArg(1, 1 << 20), epcap)
            .read("TIMEOUT", SecondsArg(), timeout)
            .consume() < 0)
        return -1;
    l.capacity = cap;
    l.entry_capacity = ecap;
    l.entry_packet_capacity = epcap;
    l.timeout_ns = timeout.nsecval();
    return 0;
}

int ARPTable::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    ArpCache::Limits l;
    if (parse_limits(conf, this, errh, l) < 0 || Args(conf, this, errh).complete() < 0)
        return -1;
    _cache.set_limits(l);
    return 0;
}

int ARPTable::write_insert(ArpCache& c, const std::string& s, ErrorHandler* errh) {
    std::vector<std::string> words = cp_argvec(s);
    if (words.size() == 1) {
        // "ADDR MAC" arrives as one argument: split at whitespace.
        std::string w = cp_uncomment(words[0]);
        size_t sp = w.find_first_of(" \t");
        if (sp != std::string::npos) {
            size_t rest = w.find_first_not_of(" \t", sp);
            words = {w.substr(0, sp), rest == std::string::npos ? std::string() : w.substr(rest)};
        }
    }
    IPAddress ip;
    EtherAddress eth;
    if (words.size() != 2 || !IPAddress::parse(words[0], ip) || !EtherAddress::parse(words[1], eth))
        return errh->error("insert: expected 'ADDR MAC', got '%s'", s.c_str());
    c.release(c.insert(ip, eth));
    return 0;
}

int ARPTable::write_delete(ArpCache& c, const std::string& s, ErrorHandler* errh) {
    std::string w = cp_unquote(cp_uncomment(s));
    while (!w.empty() && isspace((unsigned char) w.back()))
        w.pop_back();
    size_t a = w.find_first_not_of(" \t");
    w = a == std::string::npos ? std::string() : w.substr(a);
    IPAddress ip;
    if (!IPAddress::parse(w, ip))
        return errh->error("delete: expected IP address, got '%s'", s.c_str());
    if (!c.remove(ip))
        return errh->error("delete: %s not in table", w.c_str());
    return 0;
}

void ARPTable::add_cache_handlers(Element* e, ArpCache* c) {
    e->add_read_handler("table", ReadHandlerFunction([c]() { return c->unparse(); }));
    e->add_write_handler("insert", WriteHandlerFunction([c](const std::string& s, ErrorHandler* errh) {
                             return write_insert(*c, s, errh);
                         }));
    e->add_write_handler("delete", WriteHandlerFunction([c](const std::string& s, ErrorHandler* errh) {
                             return write_delete(*c, s, errh);
                         }));
    e->add_write_handler("clear", WriteHandlerFunction([c](const std::string&, ErrorHandler*) {
                             c->clear();
                             return 0;
                         }),
                         Handler::h_button);
}

void ARPTable::add_handlers() {
    add_cache_handlers(this, &_cache);
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_cache.drops()) + "\n"; }));
    add_read_handler("length", ReadHandlerFunction([this]() { return std::to_string(_cache.size()) + "\n"; }));
}

QUILO_HOST_ELEMENT(ARPTable);
