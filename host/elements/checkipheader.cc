#include "checkipheader.hh"

#include <arpa/inet.h>

#include <host/args.hh>
#include <host/checksum.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

namespace {
const char* const reason_names[] = {"tiny packet", "bad IP version", "bad IP header length", "bad IP length",
                                    "bad IP checksum"};
constexpr uint64_t kVerboseLimit = 5;   // messages per reason
}  // namespace

int CheckIPHeader::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t offset = 0;
    bool verbose = false, checksum = true;
    if (Args(conf, this, errh)
            .read_p("OFFSET", BoundedIntArg(0, 65535), offset)
            .read("VERBOSE", verbose)
            .read("CHECKSUM", checksum)
            .complete() < 0)
        return -1;
    _offset = offset;
    _verbose = verbose;
    _checksum = checksum;
    return 0;
}

int CheckIPHeader::check(const unsigned char* ip, uint32_t len, bool checksum, Reason* why) {
    if (len < 20) {
        *why = R_TINY;
        return -1;
    }
    if ((ip[0] >> 4) != 4) {
        *why = R_VERSION;
        return -1;
    }
    uint32_t hlen = (ip[0] & 0x0F) * 4u;
    if (hlen < 20 || hlen > len) {
        *why = R_HLEN;
        return -1;
    }
    uint32_t tot = (ip[2] << 8) | ip[3];
    if (tot < hlen || tot > len) {
        *why = R_LEN;
        return -1;
    }
    if (checksum && click_in_cksum(ip, int(hlen)) != 0) {
        *why = R_CHECKSUM;
        return -1;
    }
    return int(hlen);
}

Packet* CheckIPHeader::drop(Reason r, Packet* p) {
    uint64_t n = _reason[r].fetch_add(1, std::memory_order_relaxed);
    _drops.fetch_add(1, std::memory_order_relaxed);
    if (_verbose && n < kVerboseLimit)
        click_chatter("%s: IP header check failed: %s", declaration().c_str(), reason_names[r]);
    checked_output_push(1, p);
    return nullptr;
}

Packet* CheckIPHeader::simple_action(Packet* p) {
    Reason why = R_TINY;
    uint32_t avail = p->length() > _offset ? p->length() - _offset : 0;
    const unsigned char* ip = p->data() + _offset;
    int hlen = avail ? check(ip, avail, _checksum, &why) : -1;
    if (hlen < 0)
        return drop(why, p);
    p->set_network_header(ip, uint32_t(hlen));
    uint32_t tot = (ip[2] << 8) | ip[3];
    if (tot < avail)
        p->take(avail - tot);   // link-layer padding
    return p;
}

void CheckIPHeader::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
    add_read_handler("drop_details", ReadHandlerFunction([this]() {
                         std::string s;
                         for (int i = 0; i < R_NREASONS; ++i)
                             s += std::to_string(_reason[i].load()) + " packets due to: " + reason_names[i] + "\n";
                         return s;
                     }));
    add_write_handler("reset", WriteHandlerFunction([this](const std::string&, ErrorHandler*) {
                          _drops = 0;
                          for (auto& r : _reason)
                              r = 0;
                          return 0;
                      }),
                      Handler::h_button);
}

QUILO_HOST_ELEMENT(CheckIPHeader);
