// Internet checksum (RFC 1071) and the TCP/UDP pseudo-header.
#ifndef QUILO_HOST_CHECKSUM_HH
#define QUILO_HOST_CHECKSUM_HH

#include <cstddef>
#include <cstdint>

// The one's-complement of the one's-complement sum of len bytes at data,
// in network byte order as stored in a header.  A correct header (checksum
// field included) sums to 0.  len <= 0 gives 0xFFFF.
uint16_t click_in_cksum(const unsigned char* data, int len);

// The partial (not yet complemented) one's-complement sum of len bytes,
// added to `sum`; chain it over pieces of even length.
uint32_t click_in_cksum_partial(const unsigned char* data, int len, uint32_t sum = 0);
// Folds a 32-bit sum into 16 bits and complements it.
uint16_t click_in_cksum_fold(uint32_t sum);

// TCP/UDP checksum over the pseudo-header: `data_csum` is
// click_in_cksum(transport header + payload, len); saddr/daddr are network
// order (as in the IP header), proto the IP protocol, len the transport
// length in host order.  Returns the value to store in the checksum field
// (network order); a segment whose stored checksum is correct gives 0.
uint16_t click_in_cksum_pseudohdr(uint32_t data_csum, uint32_t saddr, uint32_t daddr, int proto, int len);

uint16_t click_in_cksum_pseudohdr_raw(uint32_t data_csum, uint32_t saddr, uint32_t daddr, int proto, int len);
// The same with addresses and protocol read from an IPv4 header (the caller
// guarantees 20 readable bytes at iph).
uint16_t click_in_cksum_pseudohdr(uint32_t data_csum, const void* iph, int len);

// Convenience: the full TCP or UDP checksum of the segment at `l4` (len bytes,
// checksum field included as stored).  For an outgoing segment, zero the
// field first and store the result; for a received one, 0 means correct.
// UDP callers store 0xFFFF instead of a computed 0.
uint16_t click_tcpudp_cksum(const unsigned char* l4, int len, uint32_t saddr, uint32_t daddr, int proto);

#endif
