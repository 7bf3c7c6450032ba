// Wire headers with Click's names: Ethernet, IPv4, TCP, UDP, ICMP.
// Multi-byte fields are in network byte order.
#ifndef QUILO_HOST_CLICKNET_HH
#define QUILO_HOST_CLICKNET_HH

#include <cstdint>
#include <netinet/in.h>

#define ETHERTYPE_IP_NET 0x0800
#define ETHERTYPE_ARP_NET 0x0806
#define ETHERTYPE_8021Q_NET 0x8100

struct click_ether {
    uint8_t ether_dhost[6];
    uint8_t ether_shost[6];
    uint16_t ether_type;
} __attribute__((packed));

struct click_ether_vlan {
    uint8_t ether_dhost[6];
    uint8_t ether_shost[6];
    uint16_t ether_vlan_proto;
    uint16_t ether_vlan_tci;
    uint16_t ether_vlan_encap_proto;
} __attribute__((packed));

struct click_ip {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    unsigned ip_hl : 4;
    unsigned ip_v : 4;
#else
    unsigned ip_v : 4;
    unsigned ip_hl : 4;
#endif
    uint8_t ip_tos;
    uint16_t ip_len;
    uint16_t ip_id;
    uint16_t ip_off;
#define IP_RF 0x8000
#define IP_DF 0x4000
#define IP_MF 0x2000
#define IP_OFFMASK 0x1FFF
    uint8_t ip_ttl;
    uint8_t ip_p;
    uint16_t ip_sum;
    struct in_addr ip_src;
    struct in_addr ip_dst;
} __attribute__((packed));

struct click_udp {
    uint16_t uh_sport;
    uint16_t uh_dport;
    uint16_t uh_ulen;
    uint16_t uh_sum;
} __attribute__((packed));

struct click_tcp {
    uint16_t th_sport;
    uint16_t th_dport;
    uint32_t th_seq;
    uint32_t th_ack;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    unsigned th_flags2 : 4;
    unsigned th_off : 4;
#else
    unsigned th_off : 4;
    unsigned th_flags2 : 4;
#endif
    uint8_t th_flags;
#define TH_FIN 0x01
#define TH_SYN 0x02
#define TH_RST 0x04
#define TH_PUSH 0x08
#define TH_ACK 0x10
#define TH_URG 0x20
#define TH_ECE 0x40
#define TH_CWR 0x80
    uint16_t th_win;
    uint16_t th_sum;
    uint16_t th_urp;
} __attribute__((packed));

struct click_icmp {
    uint8_t icmp_type;
    uint8_t icmp_code;
    uint16_t icmp_cksum;
    uint32_t padding;
} __attribute__((packed));

static_assert(sizeof(click_ether) == 14);
static_assert(sizeof(click_ip) == 20);
static_assert(sizeof(click_udp) == 8);
static_assert(sizeof(click_tcp) == 20);

#endif
