// MSSAdjust's walk over TCP options, with and without ADDMISSING (the flags
// pick). A segment whose checksums were right before must still verify
// after the option was lowered or added, and its header must still fit.
#include "fuzz.hh"

namespace {

bool l4_sum_ok(const std::string& ip) {
    std::string copy = ip;
    fuzz::fix_sums(copy);
    return copy == ip;
}

// Receives what MSSAdjust sends on and checks it.
class SumCheck : public Element {
  public:
    const char* class_name() const override { return "FuzzSumCheck"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        IPv4View v;
        if (expect_valid) {
            if (!ipv4_view(p, &v) || !l4_sum_ok(std::string(reinterpret_cast<const char*>(v.ip), v.tot))) {
                std::fprintf(stderr, "%s broke a valid segment\n", name().c_str());
                std::abort();
            }
        }
        p->kill();
    }
    static inline bool expect_valid = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r([] {
        fuzz::load_classes();
        click_add_element_type<SumCheck>("FuzzSumCheck");
        return std::string(
            "WConf(MAX_PEERS 1, MSS 1200, LOG_LEVEL 4);"
            "Idle -> plain :: MSSAdjust -> FuzzSumCheck;"
            "Idle -> add :: MSSAdjust(ADDMISSING true) -> FuzzSumCheck;");
    }());
    static Element* const elements[2] = {r.find("plain"), r.find("add")};

    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums)
            fuzz::fix_sums(p.ip);
        size_t hlen, tot;
        // Only whole, unpadded TCP segments with right sums are held to it.
        SumCheck::expect_valid = fuzz::ipv4_lengths(p.ip, &hlen, &tot) && tot == p.ip.size() &&
                                 p.ip[9] == 6 && tot - hlen >= 20 && l4_sum_ok(p.ip);
        r.push(elements[(p.flags >> 1) & 1], 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
