#include "common/quiloipfragmenter.hh"

#include <host/args.hh>

#include <netinet/in.h>

#include <cstring>
#include <random>

#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"

int QuiloIPFragmenter::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    uint32_t mtu = 0, headroom = 28;
    bool honor_df = true, verbose = false;
    if (Args(conf, this, errh)
            .read_mp("MTU", mtu)
            .read_p("HONOR_DF", honor_df)
            .read_p("VERBOSE", verbose)
            .read("HEADROOM", headroom)
            .complete() < 0)
        return -1;
    if (mtu < 8)
        return errh->error("MTU must be at least 8");
    _mtu = mtu;
    _honor_df = honor_df;
    _verbose = verbose;
    _headroom = headroom;
    return 0;
}

void QuiloIPFragmenter::refuse(Packet* p, const uint8_t* ip, size_t len) {
    if (_verbose || _df_logged.fetch_add(1, std::memory_order_relaxed) < 5)
        WLogger::info("%s QuiloIPFragmenter(%d) DF %p{ip_ptr} %p{ip_ptr} len=%d", name().c_str(), int(_mtu), ip + 12,
                      ip + 16, int(len));
    _drops.fetch_add(1, std::memory_order_relaxed);
    checked_output_push(1, p);
}

void QuiloIPFragmenter::push(int, Packet* p) {
    IPv4View v;
    if (!ipv4_view(p, &v, true) || v.tot <= _mtu || v.proto() == IPPROTO_TCP) {
        output(0).push(p);
        return;
    }
    // Sizes in signed arithmetic: an MTU below the header length refuses the
    // packet instead of wrapping into a huge fragment.
    int64_t e = (int64_t(_mtu) - int64_t(v.hlen)) & ~int64_t(7);
    bool df = (v.frag_field() & IP_DF) != 0;
    if ((df && _honor_df) || e < 1) {
        refuse(p, v.ip, v.tot);
        return;
    }
    fragment(p, size_t(v.ip - p->data()), v.hlen, v.tot);
}

void QuiloIPFragmenter::fragment(Packet* p, size_t nh, size_t hlen, size_t tot) {
    WritablePacket* q = p->uniqueify();
    if (!q)
        return;
    uint8_t* ip = q->data() + nh;
    uint16_t frag = uint16_t(ip[6] << 8 | ip[7]);
    if (frag & IP_DF) {
        // DF not honoured: a fresh identification, DF cleared.
        static thread_local std::minstd_rand rng{std::random_device{}()};
        uint16_t id = uint16_t(rng());
        std::memcpy(ip + 4, &id, 2);
        frag &= uint16_t(~IP_DF);
    }
    bool had_mf = (frag & IP_MF) != 0;
    uint16_t base_off = frag & IP_OFFMASK;

    // Header of the later fragments: the fixed part and the options that are
    // copied into every fragment, padded to a multiple of 4.
    uint8_t later[60];
    std::memcpy(later, ip, 20);
    size_t later_hlen = 20;
    for (size_t i = 20; i < hlen;) {
        uint8_t type = ip[i];
        if (type == 0)
            break;
        if (type == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= hlen || ip[i + 1] < 2 || i + ip[i + 1] > hlen)
            break;
        size_t olen = ip[i + 1];
        if (type & 0x80) {
            std::memcpy(later + later_hlen, ip + i, olen);
            later_hlen += olen;
        }
        i += olen;
    }
    while (later_hlen % 4)
        later[later_hlen++] = 0;
    later[0] = uint8_t(0x40 | later_hlen / 4);

    size_t data_len = tot - hlen;
    size_t e = (size_t(_mtu) - hlen) & ~size_t(7);
    uint8_t saved[60];
    std::memcpy(saved, ip, hlen);

    // First fragment: the incoming packet's own header, shortened.
    uint16_t len16 = uint16_t(hlen + e);
    ip[2] = uint8_t(len16 >> 8);
    ip[3] = uint8_t(len16);
    uint16_t f = uint16_t((frag & ~IP_OFFMASK) | IP_MF | base_off);
    ip[6] = uint8_t(f >> 8);
    ip[7] = uint8_t(f);
    ipv4_set_checksum(ip, hlen);

    int64_t later_e = (int64_t(_mtu) - int64_t(later_hlen)) & ~int64_t(7);
    if (later_e < 8) {
        // The copied options leave no room for data in later fragments.
        std::memcpy(ip, saved, hlen);
        refuse(q, ip, tot);
        return;
    }

    // The first fragment is a clone sharing the buffer; the later ones are
    // built from the same bytes, which stay valid until q is freed.
    if (Packet* first = q->clone()) {
        first->take(uint32_t(first->length() - (nh + hlen + e)));
        _fragments.fetch_add(1, std::memory_order_relaxed);
        output(0).push(first);
    }
    for (size_t off = e; off < data_len;) {
        size_t n = std::min(data_len - off, size_t(later_e));
        WritablePacket* fp = Packet::make(Packet::default_headroom, nullptr, uint32_t(nh + later_hlen + n), 0);
        if (!fp)
            break;
        uint8_t* fip = fp->data() + nh;
        std::memcpy(fp->data(), q->data(), nh);  // link-layer bytes in front, if any
        std::memcpy(fip, later, later_hlen);
        std::memcpy(fip + later_hlen, ip + hlen + off, n);
        uint16_t flen = uint16_t(later_hlen + n);
        fip[2] = uint8_t(flen >> 8);
        fip[3] = uint8_t(flen);
        bool last = off + n >= data_len;
        uint16_t ff = uint16_t((frag & IP_RF) | ((base_off + off / 8) & IP_OFFMASK));
        if (!last || had_mf)
            ff |= IP_MF;
        fip[6] = uint8_t(ff >> 8);
        fip[7] = uint8_t(ff);
        ipv4_set_checksum(fip, later_hlen);
        fp->copy_annotations(q);
        if (q->has_mac_header())
            fp->set_mac_header(fp->data() + q->mac_header_offset());
        fp->set_network_header(fip, uint32_t(later_hlen));
        off += n;
        _fragments.fetch_add(1, std::memory_order_relaxed);
        output(0).push(fp);
    }
    q->kill();
}

void QuiloIPFragmenter::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this] { return std::to_string(_drops.load()); }));
    add_read_handler("fragments", ReadHandlerFunction([this] { return std::to_string(_fragments.load()); }));
}

QUILO_REGISTER_ELEMENT(QuiloIPFragmenter);
