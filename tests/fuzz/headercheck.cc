// IPv4, TCP and UDP header checks, chained as an appliance chains them:
// CheckIPHeader on the frame, then WCheckTCPHeader and WCheckUDPHeader.
// What passes all three must be what they promise: an IPv4 packet whose
// lengths fit, and for TCP and UDP a header that fits and a checksum that
// verifies (a UDP checksum may be zero).
#include "fuzz.hh"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "header checks passed %s\n", what);
    std::abort();
}

// Receives what passed every check.
class Passed : public Element {
  public:
    const char* class_name() const override { return "FuzzPassed"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        IPv4View v;
        if (!ipv4_view(p, &v))
            fail("a packet that is not IPv4");
        bool first = v.first_fragment() && !(v.frag_field() & 0x2000);
        if (first && (v.proto() == 6 || v.proto() == 17)) {
            size_t min = v.proto() == 6 ? 20 : 8;
            if (v.payload_len() < min)
                fail("a short transport header");
            std::string copy(reinterpret_cast<const char*>(v.ip), v.tot);
            const uint8_t* l4 = v.payload();
            uint16_t sum = uint16_t(l4[min == 20 ? 16 : 6] << 8 | l4[min == 20 ? 17 : 7]);
            if (!(v.proto() == 17 && sum == 0)) {
                fuzz::fix_sums(copy);
                const uint8_t* c = reinterpret_cast<const uint8_t*>(copy.data()) + v.hlen + (min == 20 ? 16 : 6);
                if (uint16_t(c[0] << 8 | c[1]) != sum)
                    fail("a wrong transport checksum");
            }
        }
        p->kill();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r([] {
        fuzz::load_classes();
        click_add_element_type<Passed>("FuzzPassed");
        return std::string(
            "WConf(MAX_PEERS 1, LOG_LEVEL 4); s :: FuzzSink;"
            "Idle -> cip :: CheckIPHeader(14) -> tcp :: WCheckTCPHeader(DETAILS true)"
            "  -> udp :: WCheckUDPHeader(DETAILS true) -> FuzzPassed;"
            "cip[1] -> s; tcp[1] -> s; udp[1] -> s;");
    }());
    static Element* cip = r.find("cip");
    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums)
            fuzz::fix_sums(p.ip);
        r.push(cip, 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
