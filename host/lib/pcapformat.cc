// Classic pcap file and record headers, and the IPv4 header's place in a record.
#include <host/pcapformat.hh>

#include <cstdio>
#include <initializer_list>

namespace pcapformat {
namespace {

uint32_t rd32(const uint8_t* p, bool swapped) {
    uint32_t le = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    uint32_t be = uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
    // Files are in the writer's byte order; "swapped" means not ours.
    constexpr bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    return (little != swapped) ? le : be;
}

uint16_t rd16(const uint8_t* p, bool swapped) {
    constexpr bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    return (little != swapped) ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[1] | p[0] << 8);
}

uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

constexpr uint32_t kMagicUsec = 0xa1b2c3d4;
constexpr uint32_t kMagicNsec = 0xa1b23c4d;
constexpr uint16_t kEtherIPv4 = 0x0800;

}  // namespace

FileHeaderStatus parse_file_header(const uint8_t* data, size_t len, FileHeader* h) {
    if (!data || len < kFileHeaderLen)
        return kFileTooShort;
    bool found = false;
    for (bool swapped : {false, true}) {
        uint32_t magic = rd32(data, swapped);
        if (magic == kMagicUsec || magic == kMagicNsec) {
            h->swapped = swapped;
            h->nano = magic == kMagicNsec;
            found = true;
            break;
        }
    }
    if (!found)
        return kFileBadMagic;
    h->major = rd16(data + 4, h->swapped);
    h->minor = rd16(data + 6, h->swapped);
    h->snaplen = rd32(data + 16, h->swapped);
    h->linktype = int(rd32(data + 20, h->swapped) & 0xFFFF);
    if (h->major != 2)
        return kFileBadVersion;
    return kFileOk;
}

bool parse_record_header(const uint8_t* data, const FileHeader& fh, RecordHeader* r) {
    uint32_t sec = rd32(data, fh.swapped);
    uint32_t sub = rd32(data + 4, fh.swapped);
    uint32_t caplen = rd32(data + 8, fh.swapped);
    uint32_t wirelen = rd32(data + 12, fh.swapped);
    if (sub >= (fh.nano ? 1000000000u : 1000000u))
        return false;
    if (caplen > fh.record_limit())
        return false;
    r->ts_ns = int64_t(sec) * 1000000000 + int64_t(sub) * (fh.nano ? 1 : 1000);
    r->caplen = caplen;
    r->wirelen = wirelen < caplen ? caplen : wirelen;
    return true;
}

bool knows_ip(int linktype) {
    switch (linktype) {
    case kLinkNull:
    case kLinkEthernet:
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawFile:
    case kLinkLoop:
    case kLinkLinuxSll:
    case kLinkIPv4:
    case kLinkLinuxSll2:
        return true;
    default:
        return false;
    }
}

namespace {

// Where the IPv4 header would start after the link-layer header, or -1 when
// the link layer says the record holds something else.
long ip_after_link(int linktype, const uint8_t* d, uint32_t caplen) {
    switch (linktype) {
    case kLinkEthernet:
        // Up to two VLAN tags (802.1Q 0x8100, 802.1ad 0x88a8, old QinQ 0x9100).
        for (uint32_t off = 12, tags = 0; off + 2 <= caplen && tags <= 2; off += 4, ++tags) {
            uint16_t type = be16(d + off);
            if (type == kEtherIPv4)
                return off + 2;
            if (type != 0x8100 && type != 0x88a8 && type != 0x9100)
                return -1;
        }
        return -1;
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawFile:
    case kLinkIPv4:
        return caplen >= 1 && (d[0] >> 4) == 4 ? 0 : -1;
    case kLinkNull:
    case kLinkLoop: {
        if (caplen < 4)
            return -1;
        // AF_INET is 2 everywhere; NULL files use the writer's byte order,
        // LOOP files network order.
        uint32_t be = uint32_t(d[3]) | uint32_t(d[2]) << 8 | uint32_t(d[1]) << 16 | uint32_t(d[0]) << 24;
        uint32_t le = uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
        return be == 2 || (linktype == kLinkNull && le == 2) ? 4 : -1;
    }
    case kLinkLinuxSll:
        return caplen >= 16 && be16(d + 14) == kEtherIPv4 ? 16 : -1;
    case kLinkLinuxSll2:
        return caplen >= 20 && be16(d) == kEtherIPv4 ? 20 : -1;
    default:
        return -1;
    }
}

}  // namespace

int ipv4_offset(int linktype, const uint8_t* d, uint32_t caplen) {
    long off = ip_after_link(linktype, d, caplen);
    return off >= 0 && uint32_t(off) < caplen ? int(off) : -1;
}

const char* encap_name(int linktype, char* buf, size_t buflen) {
    switch (linktype) {
    case kLinkEthernet:
        return "ETHER";
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawFile:
    case kLinkIPv4:
        return "IP";
    case kLinkLinuxSll:
        return "SLL";
    case kLinkLinuxSll2:
        return "SLL2";
    case kLinkNull:
        return "NULL";
    case kLinkLoop:
        return "LOOP";
    default:
        snprintf(buf, buflen, "LINKTYPE_%d", linktype);
        return buf;
    }
}

}  // namespace pcapformat
