// The fragmenters: QuiloIPFragmenter (MTU 576, and MTU 68 ignoring DF) and
// QuiloTCPFragmenter (MTU 576, and a per-packet MTU from an annotation). The
// flags pick the element; two bytes after each packet give the annotated
// MTU. When a fragmenter turns one packet into several, each must be
// well-formed IPv4 no longer than the MTU.
#include "fuzz.hh"

namespace {

constexpr int kMtuAnno = 40;

// Receives a fragmenter's output 0 and checks what it split.
class MtuCheck : public Element {
  public:
    const char* class_name() const override { return "FuzzMtuCheck"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler*) override {
        _mtu = conf.empty() ? 0 : std::stoul(conf[0]);
        return 0;
    }
    void push(int, Packet* p) override {
        IPv4View v;
        size_t mtu = _mtu ? _mtu : p->anno_u16(kMtuAnno);
        ++received;
        if (!ipv4_view(p, &v) || (mtu && v.tot > mtu))
            ++bad;
        p->kill();
    }
    // Packets received since the counts were last cleared, and how many of
    // them were not IPv4 within the MTU.
    static inline int received = 0, bad = 0;

  private:
    size_t _mtu = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::LiveRouter r([] {
        fuzz::load_classes();
        click_add_element_type<MtuCheck>("FuzzMtuCheck");
        return std::string(
            "WConf(MAX_PEERS 1, LOG_LEVEL 4); s :: FuzzSink;"
            "Idle -> ip576 :: QuiloIPFragmenter(576) -> FuzzMtuCheck(576); ip576[1] -> s;"
            "Idle -> ip68 :: QuiloIPFragmenter(68, HONOR_DF false) -> FuzzMtuCheck(68); ip68[1] -> s;"
            "Idle -> tcp576 :: QuiloTCPFragmenter(MTU 576) -> FuzzMtuCheck(576);"
            "Idle -> tcpanno :: QuiloTCPFragmenter(MTU_ANNO 40) -> FuzzMtuCheck(0);");
    }());
    static Element* const elements[4] = {r.find("ip576"), r.find("ip68"), r.find("tcp576"), r.find("tcpanno")};
    static const size_t mtus[4] = {576, 68, 576, 0};

    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums)
            fuzz::fix_sums(p.ip);
        int which = (p.flags >> 1) & 3;
        uint16_t anno_mtu = uint16_t(in.u16() & 0x7FF);
        Packet* pk = fuzz::make_frame(p.ip);
        pk->set_anno_u16(kMtuAnno, anno_mtu);
        MtuCheck::received = MtuCheck::bad = 0;
        r.push(elements[which], 0, pk);
        if (MtuCheck::received > 1 && MtuCheck::bad) {
            std::fprintf(stderr, "%s split a packet into %d, %d of them bad (MTU %zu)\n",
                         elements[which]->name().c_str(), MtuCheck::received, MtuCheck::bad,
                         mtus[which] ? mtus[which] : size_t(anno_mtu));
            std::abort();
        }
    }
    return 0;
}
