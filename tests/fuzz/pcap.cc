// Capture files through the host's reader: the file and record headers as
// pcapformat parses them (where every record's IPv4 header starts), and the
// same bytes as a file read record by record through pcapfile::Reader, the
// libpcap-backed reader of FromDump and ToDump's tests.
#include <host/pcapformat.hh>

#include "fuzz.hh"
#include "pcapfile.hh"

namespace {

// Walks the records as a reader that stops at the first bad one does.
void walk(const uint8_t* data, size_t size) {
    pcapformat::FileHeader fh;
    if (pcapformat::parse_file_header(data, size, &fh) != pcapformat::kFileOk)
        return;
    char name[32];
    pcapformat::encap_name(fh.linktype, name, sizeof(name));
    size_t off = pcapformat::kFileHeaderLen;
    while (size - off >= pcapformat::kRecordHeaderLen) {
        pcapformat::RecordHeader r;
        if (!pcapformat::parse_record_header(data + off, fh, &r))
            return;
        off += pcapformat::kRecordHeaderLen;
        if (r.caplen > size - off)
            return;
        // Copied so that ASan sees the record's true end.
        std::vector<uint8_t> rec(data + off, data + off + r.caplen);
        int ip = pcapformat::ipv4_offset(fh.linktype, rec.data(), r.caplen);
        if (ip > int(r.caplen)) {
            std::fprintf(stderr, "IPv4 offset %d past a %u-byte record\n", ip, r.caplen);
            std::abort();
        }
        off += r.caplen;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::TempFile file("pcap");
    walk(data, size);

    file.write(std::string(reinterpret_cast<const char*>(data), size));
    pcapfile::Reader rd;
    std::string err;
    if (!rd.open(file.path(), &err))
        return 0;
    const uint8_t* rec;
    uint32_t caplen, wirelen;
    int64_t ts;
    for (int i = 0; i < 10000 && rd.next(rec, caplen, wirelen, ts, &err) > 0; ++i)
        pcapformat::ipv4_offset(rd.linktype(), rec, caplen);
    return 0;
}
