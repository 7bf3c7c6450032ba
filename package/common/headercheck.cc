#include "common/headercheck.hh"

#include <host/args.hh>

int HeaderCheck::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    bool verbose = false, details = false;
    if (Args(conf, this, errh).read("VERBOSE", verbose).read("DETAILS", details).complete() < 0)
        return -1;
    _verbose = verbose;
    _details = details;
    return 0;
}

Packet* HeaderCheck::drop(Packet* p, int reason) {
    if (_drops.fetch_add(1, std::memory_order_relaxed) == 0 || _verbose)
        log_drop(reason_texts()[reason]);
    if (_details)
        _reason_drops[reason].fetch_add(1, std::memory_order_relaxed);
    checked_output_push(1, p);
    return nullptr;
}

void HeaderCheck::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
    if (_details)
        add_read_handler("drop_details", ReadHandlerFunction([this] {
            std::string s;
            for (int i = 0; i < nreasons; ++i)
                s += std::to_string(_reason_drops[i].load()) + "\t" + reason_texts()[i] + "\n";
            return s;
        }));
}
