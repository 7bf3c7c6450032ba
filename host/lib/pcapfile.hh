// Capture files through libpcap: a record reader and a record writer.
//
// Files are classic pcap files (what tcpdump -w writes). The reader reports
// timestamps in nanoseconds whatever the file's precision; the writer writes
// microsecond files, which every tool reads.
#pragma once

#include <cstdint>
#include <string>

#include <host/pcapformat.hh>

struct pcap;
struct pcap_dumper;

namespace pcapfile {

// libpcap link types (DLT values) this layer understands.
enum : int {
    kLinkEthernet = pcapformat::kLinkEthernet,
    kLinkRaw = pcapformat::kLinkRaw,
    kLinkIPv4 = pcapformat::kLinkIPv4
};

// Returns the link type for an encapsulation name ("ETHER", "IP", "RAW",
// "IPV4"), or -1.
int linktype_from_name(const std::string& name);

class Reader {
  public:
    Reader() = default;
    ~Reader() { close(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens FILENAME ("-" is standard input). On failure fills *err with a
    // message naming the file.
    bool open(const std::string& filename, std::string* err);
    void close();
    bool is_open() const { return p_ != nullptr; }
    int linktype() const { return linktype_; }
    // True for the link types whose records start with an IPv4 header.
    bool raw_ip() const { return linktype_ == kLinkRaw || linktype_ == kLinkIPv4; }

    // Next record: 1 with data (valid until the next call), 0 at the end of
    // the file, -1 on a read error (a truncated file; *err says so).
    int next(const uint8_t*& data, uint32_t& caplen, uint32_t& wirelen, int64_t& ts_ns, std::string* err);
    uint64_t records() const { return records_; }

  private:
    pcap* p_ = nullptr;
    int linktype_ = -1;
    bool nano_ = false;
    uint64_t records_ = 0;
    std::string filename_;
};

class Writer {
  public:
    Writer() = default;
    ~Writer() { close(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool open(const std::string& filename, int linktype, uint32_t snaplen, std::string* err);
    void close();
    bool is_open() const { return d_ != nullptr; }
    // Writes one record; caplen is cut to the snap length.
    void write(const uint8_t* data, uint32_t caplen, uint32_t wirelen, int64_t ts_ns);
    bool flush();
    uint64_t records() const { return records_; }
    uint32_t snaplen() const { return snaplen_; }

  private:
    pcap* p_ = nullptr;
    pcap_dumper* d_ = nullptr;
    uint32_t snaplen_ = 0;
    uint64_t records_ = 0;
};

}  // namespace pcapfile
