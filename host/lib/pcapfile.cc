// Capture file reader and writer over libpcap.
#include "pcapfile.hh"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>

namespace pcapfile {

int linktype_from_name(const std::string& name) {
    if (name == "ETHER" || name == "ETHERNET") return kLinkEthernet;
    if (name == "IP" || name == "RAW") return kLinkRaw;
    if (name == "IPV4") return kLinkIPv4;
    return -1;
}

bool Reader::open(const std::string& filename, std::string* err) {
    close();
    char ebuf[PCAP_ERRBUF_SIZE];
    ebuf[0] = 0;
    p_ = pcap_open_offline_with_tstamp_precision(filename.c_str(), PCAP_TSTAMP_PRECISION_NANO, ebuf);
    if (!p_) {
        if (err) *err = filename + ": " + (ebuf[0] ? ebuf : "cannot open capture file");
        return false;
    }
    nano_ = pcap_get_tstamp_precision(p_) == PCAP_TSTAMP_PRECISION_NANO;
    linktype_ = pcap_datalink(p_);
    if (linktype_ != kLinkEthernet && linktype_ != kLinkRaw && linktype_ != kLinkIPv4) {
        if (err) *err = filename + ": unsupported link type " + std::to_string(linktype_) + " (" +
                        (pcap_datalink_val_to_name(linktype_) ? pcap_datalink_val_to_name(linktype_) : "?") +
                        "); Ethernet and raw IP are supported";
        close();
        return false;
    }
    filename_ = filename;
    records_ = 0;
    return true;
}

void Reader::close() {
    if (p_) pcap_close(p_);
    p_ = nullptr;
}

int Reader::next(const uint8_t*& data, uint32_t& caplen, uint32_t& wirelen, int64_t& ts_ns, std::string* err) {
    if (!p_) return 0;
    pcap_pkthdr* h;
    const u_char* d;
    int r = pcap_next_ex(p_, &h, &d);
    if (r == 1) {
        data = d;
        caplen = h->caplen;
        wirelen = h->len < h->caplen ? h->caplen : h->len;
        ts_ns = static_cast<int64_t>(h->ts.tv_sec) * 1000000000 + static_cast<int64_t>(h->ts.tv_usec) * (nano_ ? 1 : 1000);
        ++records_;
        return 1;
    }
    if (r == PCAP_ERROR_BREAK || r == 0) return 0;
    if (err) *err = filename_ + ": " + pcap_geterr(p_);
    return -1;
}

bool Writer::open(const std::string& filename, int linktype, uint32_t snaplen, std::string* err) {
    close();
    if (snaplen == 0 || snaplen > 262144) snaplen = 262144;
    p_ = pcap_open_dead_with_tstamp_precision(linktype, static_cast<int>(snaplen), PCAP_TSTAMP_PRECISION_MICRO);
    if (!p_) {
        if (err) *err = filename + ": cannot create capture handle";
        return false;
    }
    d_ = pcap_dump_open(p_, filename.c_str());
    if (!d_) {
        if (err) *err = filename + ": " + pcap_geterr(p_);
        pcap_close(p_);
        p_ = nullptr;
        return false;
    }
    snaplen_ = snaplen;
    records_ = 0;
    return true;
}

void Writer::write(const uint8_t* data, uint32_t caplen, uint32_t wirelen, int64_t ts_ns) {
    if (!d_) return;
    pcap_pkthdr h;
    std::memset(&h, 0, sizeof h);
    int64_t sec = ts_ns / 1000000000, ns = ts_ns % 1000000000;
    if (ns < 0) { ns += 1000000000; --sec; }
    h.ts.tv_sec = sec;
    h.ts.tv_usec = ns / 1000;
    h.caplen = caplen < snaplen_ ? caplen : snaplen_;
    h.len = wirelen < caplen ? caplen : wirelen;
    pcap_dump(reinterpret_cast<u_char*>(d_), &h, data);
    ++records_;
}

bool Writer::flush() { return d_ ? pcap_dump_flush(d_) == 0 : true; }

void Writer::close() {
    if (d_) pcap_dump_close(d_);
    d_ = nullptr;
    if (p_) pcap_close(p_);
    p_ = nullptr;
}

}  // namespace pcapfile
