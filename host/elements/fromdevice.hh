// FromDevice(DEVNAME, PROMISC, BURST, SNIFFER, HEADROOM): reads Ethernet
// frames from a Linux network interface through an AF_PACKET socket (a
// memory-mapped receive ring read in batches; recvmmsg where the kernel
// offers no ring) and pushes them out, with their timestamps and the MAC
// header marked. A VLAN tag that the kernel delivered apart from
// the frame is put back into it; TCP/UDP checksums left unfinished by
// checksum offload are completed; frames larger than the packet buffer
// (segmentation offload) are counted in "oversize" and dropped rather than
// truncated. Frames this host sends out of the interface are not seen.
// Keywords: DEVNAME (mandatory), PROMISC (bool, default false), BURST
// (frames per read, default 32), SNIFFER (bool, default true), HEADROOM
// (bytes, default 64), SNAPLEN (largest frame accepted, default MTU + 22).
//
// SNIFFER true: a passive tap; the host's own stack keeps receiving every
// frame as well (it answers ARP and pings for its addresses, routes,
// bridges). SNIFFER false: the frames belong to the router alone. A packet
// socket cannot take frames away from the kernel by itself, so FromDevice
// installs an nftables netdev table "quilo_fromdevice_<ifindex>" whose
// ingress chain drops every frame the device receives; packet sockets see
// frames before that hook, so the router still gets them while the host
// stack (and a kernel bridge the device belongs to) does not. The table is
// removed when the router stops; one left behind by a killed router is
// taken over by the next FromDevice on that device, or removed with
// "nft delete table netdev quilo_fromdevice_<ifindex>". Needs the nft
// program and a kernel with nf_tables netdev support; without them
// SNIFFER false is a configuration error. Frames the host sends out of the
// device are not affected.
// Ports: no inputs, 1 output; push.
// Handlers: count, oversize, csum_fixed, vlan_restored, kernel_drops,
// drops, sniffer (read), reset_counts (write).
#pragma once
#include <host/element.hh>

#include <atomic>
#include <memory>

#include "../lib/packetsocket.hh"

class FromDevice : public Element {
 public:
    const char* class_name() const override { return "FromDevice"; }
    const char* port_count() const override { return PORTS_0_1; }
    const char* processing() const override { return PUSH; }
    int configure_phase() const override { return CONFIGURE_PHASE_PRIVILEGED; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void cleanup(CleanupStage) override;
    void add_handlers() override;
    void selected(int fd, int mask) override;

 private:
    bool refill();
    std::string _devname;
    bool _promisc = false;
    bool _sniffer = true;
    int _burst = 32;
    uint32_t _headroom = 64;
    uint32_t _snaplen = 0;
    pktsock::PacketSocket _sock;
    pktsock::IngressDrop _steal;   // SNIFFER false: the host stack's copy is dropped
    std::vector<pktsock::RxFrame> _frames;
    std::atomic<uint64_t> _count{0}, _drops{0};
};
