// The classic pcap capture file format (what tcpdump -w writes), read without
// libpcap: the 24-byte file header, the 16-byte record header, and where the
// IPv4 header of a record starts for the link types the host knows; and the
// pacing of a replay that keeps the capture's timing.
//
// libpcap accepts records that it should refuse (it cuts a record longer than
// the snap length down to size and reads on); readers that must stop at the
// first bad record check each header with parse_record_header() instead.
// Nothing here reads outside the bytes it is given.
#ifndef QUILO_HOST_PCAPFORMAT_HH
#define QUILO_HOST_PCAPFORMAT_HH

#include <cstddef>
#include <cstdint>

namespace pcapformat {

constexpr size_t kFileHeaderLen = 24;
constexpr size_t kRecordHeaderLen = 16;
// Largest record any capture tool writes; larger lengths are corruption.
constexpr uint32_t kMaxSnaplen = 262144;

// Link types as stored in files (LINKTYPE_*), plus the values some systems
// write for raw IP (DLT_RAW 12 or 14). libpcap reports DLT values, which agree
// with these for every type below except raw IP (DLT_RAW 12 for LINKTYPE_RAW 101).
enum : int {
    kLinkNull = 0,        // 4-byte address family in the writer's byte order
    kLinkEthernet = 1,
    kLinkRaw = 12,        // DLT_RAW
    kLinkRawAlt = 14,     // DLT_RAW on some BSDs
    kLinkRawFile = 101,   // LINKTYPE_RAW
    kLinkLoop = 108,      // 4-byte address family, network byte order
    kLinkLinuxSll = 113,  // Linux cooked capture (tcpdump -i any)
    kLinkIPv4 = 228,
    kLinkLinuxSll2 = 276,
};

struct FileHeader {
    bool swapped = false;  // written with the other byte order
    bool nano = false;     // nanosecond timestamps (magic 0xa1b23c4d)
    int major = 0, minor = 0;
    uint32_t snaplen = 0;  // as written (0 in some files)
    int linktype = -1;     // low 16 bits of the link type field

    // The longest record this file may hold: its snap length, or kMaxSnaplen
    // when the header gives none or more.
    uint32_t record_limit() const { return snaplen == 0 || snaplen > kMaxSnaplen ? kMaxSnaplen : snaplen; }
};

enum FileHeaderStatus { kFileOk = 0, kFileTooShort, kFileBadMagic, kFileBadVersion };

// Parses the file header from the first `len` bytes of a file. Fills *h
// whenever the magic number is known (so a caller can report the version).
FileHeaderStatus parse_file_header(const uint8_t* data, size_t len, FileHeader* h);

struct RecordHeader {
    int64_t ts_ns = 0;
    uint32_t caplen = 0;   // bytes of the record that follow in the file
    uint32_t wirelen = 0;  // length of the packet on the wire (>= caplen)
};

// Parses the 16 bytes at `data`. False when the header cannot be right: a
// captured length beyond the file's snap length, or a sub-second field of a
// second or more.
bool parse_record_header(const uint8_t* data, const FileHeader& fh, RecordHeader* r);

// Whether ipv4_offset() understands records of this link type.
bool knows_ip(int linktype);

// Offset of the IPv4 header in a record of `caplen` bytes, or -1 when the
// record does not carry IPv4 (or the link type is unknown). The IP header
// itself may be short: callers check how many bytes follow the offset. For
// Ethernet, 802.1Q and 802.1ad tags are skipped.
int ipv4_offset(int linktype, const uint8_t* data, uint32_t caplen);

// Name of the encapsulation, for handlers: "ETHER", "IP", "SLL", "SLL2",
// "NULL", "LOOP", or "LINKTYPE_<n>" for others (`buf` holds at least 24 bytes).
const char* encap_name(int linktype, char* buf, size_t buflen);

// Releases replayed records with the spacing of their timestamps: the first
// record is due at once, each later one as long after it as its timestamp
// says, on the wall clock.
class ReplayPacer {
  public:
    // Nanoseconds until the record stamped `ts_ns` is due (0: now).
    int64_t wait_ns(int64_t ts_ns, int64_t now_ns) {
        if (!have_base_) {
            have_base_ = true;
            file_base_ = ts_ns;
            wall_base_ = now_ns;
        }
        int64_t due = wall_base_ + (ts_ns - file_base_);
        return due > now_ns ? due - now_ns : 0;
    }

  private:
    bool have_base_ = false;
    int64_t file_base_ = 0, wall_base_ = 0;
};

}  // namespace pcapformat

#endif
