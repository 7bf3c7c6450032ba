// Peer-information wire records (RTT probe and host-name exchange) and the
// one place where such packets are parsed and built.
//
// A peer-info packet: IPv4 header, [UDP header with the UDP shim], shim with
// protocol 202, wpeer_proto_header, then wrtt_header (protocol 1) or
// whost_info_header and its fields (protocol 2). Network byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shim.hh"

struct __attribute__((packed)) wpeer_proto_header {
    uint16_t checksum;  // Internet checksum over the whole IP payload
    uint8_t protocol;   // WPEER_PROTO_RTT or WPEER_PROTO_HOST_INFO
    uint8_t reserved;
};
static_assert(sizeof(wpeer_proto_header) == 4, "wpeer_proto_header must be 4 bytes");

struct __attribute__((packed)) wrtt_header {
    uint32_t timestamp;  // the requester's jiffies at sending, returned unchanged
    uint8_t type;        // WRTT_REQUEST or WRTT_RESPONSE
    uint8_t reserved[3];
};
static_assert(sizeof(wrtt_header) == 8, "wrtt_header must be 8 bytes");

struct __attribute__((packed)) whost_info_header {
    uint8_t flags;    // WHOST_INFO_REQUEST: the sender asks for the receiver's host name
    uint8_t nfields;  // fields that follow: type, length n, n bytes of value
};
static_assert(sizeof(whost_info_header) == 2, "whost_info_header must be 2 bytes");

constexpr uint8_t WPEER_PROTO_RTT = 1;
constexpr uint8_t WPEER_PROTO_HOST_INFO = 2;
constexpr uint8_t WRTT_REQUEST = 1;
constexpr uint8_t WRTT_RESPONSE = 2;
constexpr uint8_t WHOST_INFO_REQUEST = 0x01;
constexpr uint8_t WHOST_INFO_FIELD_HOSTNAME = 1;
constexpr size_t WHOST_NAME_MAX = 255;

namespace peerinfo {

enum class Parse { not_peerinfo, malformed, ok };

struct View {
    size_t ip_hlen = 0;
    size_t ip_len = 0;     // IP total length, never beyond the bytes given
    size_t shim_off = 0;
    size_t hdr_off = 0;    // wpeer_proto_header
    size_t body_off = 0;   // what follows it
    size_t body_len = 0;
    uint8_t protocol = 0;
    uint8_t shim_control = 0;
    uint32_t src_net = 0;
    uint32_t dst_net = 0;
    // Bytes of IP payload in front of the body: [UDP header +] shim + proto header.
    size_t encap_len() const { return body_off - ip_hlen; }
};

// Recognises a peer-info packet (tunnel packet with shim protocol 202) in
// [ip, ip + len) and checks that the IP header and total length fit the bytes
// given and that the payload holds the shim and the wpeer_proto_header.
Parse parse(const uint8_t* ip, size_t len, const ShimConfig& c, View* v);

// The wpeer_proto_header checksum verifies (sum over the IP payload is zero).
bool checksum_ok(const uint8_t* ip, const View& v);
// Recomputes the wpeer_proto_header checksum over [ip_hlen, ip_len).
void set_checksum(uint8_t* ip, size_t ip_hlen, size_t ip_len, size_t hdr_off);

struct Rtt {
    uint32_t timestamp;
    uint8_t type;
};
// Reads the wrtt_header; false when the body is too short for it.
bool parse_rtt(const uint8_t* ip, const View& v, Rtt* out);

enum class HostInfo { ok, short_packet, bad_field, bad_type };
struct HostInfoResult {
    uint8_t flags = 0;
    bool has_name = false;
    char name[WHOST_NAME_MAX + 1] = {};
    size_t name_len = 0;
    // For the log line of a bad field.
    uint8_t bad_type = 0;
    size_t bad_len = 0;
};
// Reads the whost_info_header and its fields. Every field must lie inside the
// packet; type 1 is the host name, any other type rejects the packet.
HostInfo parse_host_info(const uint8_t* ip, const View& v, HostInfoResult* out);

struct Addr {
    uint32_t src_net = 0;
    uint32_t dst_net = 0;
    uint16_t ip_id = 0;
};

// RTT packet: 44 bytes with the UDP shim, 36 without; TTL 64; path link in the
// two high bits of the shim control. Returns the length, 0 when `cap` is short.
size_t rtt_len(const ShimConfig& c);
size_t build_rtt(uint8_t* buf, size_t cap, const ShimConfig& c, const Addr& a, uint8_t path_link,
                 uint8_t type, uint32_t timestamp);

// Host-info packet with one host-name field (cut to 255 bytes): 40 + n bytes
// with the UDP shim, 32 + n without; TTL 250.
size_t host_info_len(const ShimConfig& c, size_t name_len);
size_t build_host_info(uint8_t* buf, size_t cap, const ShimConfig& c, const Addr& a, bool request,
                       const char* name, size_t name_len);

// Turns a verified RTT request in place into its response: swaps the IP
// addresses (IP checksum fixed), sets the type, recomputes the checksum.
void make_rtt_response(uint8_t* ip, const View& v);

// Scaled moving average of RTT samples and the count of unanswered probes.
// Both saturate at 65534; 65535 means no sample yet.
class RttAverage {
  public:
    uint16_t average() const { return average_; }
    uint16_t missed() const { return missed_; }
    bool valid() const { return valid_; }
    bool outstanding() const { return outstanding_; }

    // A probe interval ends and a new request goes out.
    void on_request() {
        if (outstanding_) {
            if (missed_ < 65534)
                ++missed_;
        } else {
            missed_ = 0;
        }
        outstanding_ = true;
    }
    // A response: sample = now - timestamp, as a signed 32-bit value. Negative
    // samples are refused (false).
    bool on_response(int32_t sample) {
        outstanding_ = false;
        if (sample < 0)
            return false;
        int64_t prev = valid_ ? average_ : sample;
        valid_ = true;
        int64_t avg = (2 * int64_t(sample) + prev) / 3;
        average_ = uint16_t(avg > 65534 ? 65534 : avg);
        return true;
    }

  private:
    uint16_t average_ = 65535;
    uint16_t missed_ = 0;
    bool valid_ = false;
    bool outstanding_ = false;
};

}  // namespace peerinfo
