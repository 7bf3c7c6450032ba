#include "arpresponder.hh"

#include <algorithm>

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

namespace {

std::vector<std::string> split_words(const std::string& s) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isspace((unsigned char) s[i]))
            ++i;
        size_t j = i;
        while (j < s.size() && !isspace((unsigned char) s[j]))
            ++j;
        if (j > i)
            w.push_back(s.substr(i, j - i));
        i = j;
    }
    return w;
}

bool parse_prefix(const std::string& w, IPAddress& addr, IPAddress& mask) {
    size_t slash = w.find('/');
    if (slash == std::string::npos) {
        mask = IPAddress::make_broadcast();
        return IPAddress::parse(w, addr);
    }
    if (!IPAddress::parse(w.substr(0, slash), addr))
        return false;
    std::string m = w.substr(slash + 1);
    if (!m.empty() && m.size() <= 2 && std::all_of(m.begin(), m.end(), ::isdigit)) {
        int len = std::stoi(m);
        if (len > 32)
            return false;
        mask = IPAddress::make_prefix(len);
        return true;
    }
    return IPAddress::parse(m, mask) && mask.mask_to_prefix_len() >= 0;
}

void sort_entries(std::vector<ARPResponder::Entry>& v) {
    std::stable_sort(v.begin(), v.end(), [](const ARPResponder::Entry& a, const ARPResponder::Entry& b) {
        return a.mask.mask_to_prefix_len() > b.mask.mask_to_prefix_len();
    });
}

}  // namespace

bool ARPResponder::parse_entry(const std::string& s, std::vector<Entry>& out, ErrorHandler* errh) {
    std::vector<std::string> w = split_words(cp_uncomment(s));
    EtherAddress eth;
    if (w.size() < 2 || !EtherAddress::parse(w.back(), eth)) {
        errh->error("expected 'ADDR[/MASK]... MAC', got '%s'", s.c_str());
        return false;
    }
    for (size_t i = 0; i + 1 < w.size(); ++i) {
        Entry e;
        if (!parse_prefix(w[i], e.addr, e.mask)) {
            errh->error("bad address or prefix '%s'", w[i].c_str());
            return false;
        }
        e.addr &= e.mask;
        e.eth = eth;
        out.push_back(e);
    }
    return true;
}

int ARPResponder::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::vector<Entry> v;
    int bad = 0;
    for (const std::string& a : conf)
        if (!parse_entry(a, v, errh))
            ++bad;
    if (bad)
        return -EINVAL;
    sort_entries(v);
    std::lock_guard<std::mutex> g(_lock);
    _entries = std::move(v);
    return 0;
}

bool ARPResponder::lookup(IPAddress ip, EtherAddress* eth) {
    std::lock_guard<std::mutex> g(_lock);
    for (const Entry& e : _entries)
        if (ip.matches_prefix(e.addr, e.mask)) {
            *eth = e.eth;
            return true;
        }
    return false;
}

void ARPResponder::push(int, Packet* p) {
    const unsigned char* d = p->data();
    EtherAddress eth;
    if (p->length() < 42 || d[12] != 0x08 || d[13] != 0x06 || d[14] != 0 || d[15] != 1 || d[16] != 0x08 ||
        d[17] != 0 || d[18] != 6 || d[19] != 4 || d[20] != 0 || d[21] != 1 || memcmp(d + 28, d + 38, 4) == 0 ||
        !lookup(IPAddress(d + 38), &eth)) {
        _drops.fetch_add(1, std::memory_order_relaxed);
        checked_output_push(1, p);
        return;
    }
    WritablePacket* q = p->uniqueify();
    if (!q)
        return;
    unsigned char* w = q->data();
    unsigned char sha[6], spa[4], tpa[4];
    memcpy(sha, w + 22, 6);
    memcpy(spa, w + 28, 4);
    memcpy(tpa, w + 38, 4);
    memcpy(w, sha, 6);              // Ethernet destination: the asker
    memcpy(w + 6, eth.data(), 6);
    w[21] = 2;                      // reply
    memcpy(w + 22, eth.data(), 6);
    memcpy(w + 28, tpa, 4);
    memcpy(w + 32, sha, 6);
    memcpy(w + 38, spa, 4);
    q->set_ether_header(reinterpret_cast<click_ether*>(w));
    _replies.fetch_add(1, std::memory_order_relaxed);
    output(0).push(q);
}

void ARPResponder::add_handlers() {
    add_read_handler("table", ReadHandlerFunction([this]() {
                         std::lock_guard<std::mutex> g(_lock);
                         std::string s;
                         for (const Entry& e : _entries)
                             s += e.addr.unparse_with_mask(e.mask) + " " + e.eth.unparse() + "\n";
                         return s;
                     }));
    add_write_handler("add", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          std::vector<Entry> v;
                          if (!parse_entry(cp_unquote(s), v, errh))
                              return -EINVAL;
                          std::lock_guard<std::mutex> g(_lock);
                          for (const Entry& n : v) {
                              auto it = std::find_if(_entries.begin(), _entries.end(), [&](const Entry& e) {
                                  return e.addr == n.addr && e.mask == n.mask;
                              });
                              if (it != _entries.end())
                                  it->eth = n.eth;
                              else
                                  _entries.push_back(n);
                          }
                          sort_entries(_entries);
                          return 0;
                      }));
    add_write_handler("remove", WriteHandlerFunction([this](const std::string& s, ErrorHandler* errh) {
                          std::vector<std::string> w = split_words(cp_uncomment(cp_unquote(s)));
                          IPAddress addr, mask;
                          if (w.size() != 1 || !parse_prefix(w[0], addr, mask))
                              return errh->error("remove: expected 'ADDR[/MASK]', got '%s'", s.c_str());
                          addr &= mask;
                          std::lock_guard<std::mutex> g(_lock);
                          _entries.erase(std::remove_if(_entries.begin(), _entries.end(),
                                                        [&](const Entry& e) {
                                                            return e.addr == addr && e.mask == mask;
                                                        }),
                                         _entries.end());
                          return 0;
                      }));
    add_read_handler("replies", ReadHandlerFunction([this]() { return std::to_string(_replies.load()) + "\n"; }));
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(ARPResponder);
