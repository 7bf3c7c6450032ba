// Batched Linux AF_PACKET I/O for FromDevice and ToDevice.
//
// Receiving reads a memory-mapped TPACKET_V2 ring (PACKET_RX_RING): the
// kernel copies each frame into the ring in its receive path, without
// queueing a socket buffer or waking anyone who is already busy, and the
// reader takes every ready frame without a system call. V2 rather than V3:
// a V3 ring only signals when a whole block is full or its timer (jiffy
// granularity, 4 ms at HZ=250) expires, which would add milliseconds of
// latency at low rates; a V2 ring signals per frame and batches by itself
// under load. Where the ring cannot be set up, recvmmsg with PACKET_AUXDATA
// serves instead. Either way a VLAN tag that the kernel delivered out of
// band is written back into the frame, frames whose checksum the kernel
// left unfinished (checksum offload) get a complete TCP/UDP checksum, and
// frames that do not fit the caller's buffer (segmentation offload hands
// over frames far above the MTU) are counted and skipped rather than
// truncated. Frames this host sends out of the interface are not delivered
// back. Sending uses sendmmsg; a full socket buffer is reported so that the
// caller keeps its packets (back-pressure).
#pragma once

#include <sys/socket.h>   // mmsghdr: the vectors below need the whole type

#include <cstdint>
#include <string>
#include <vector>

namespace pktsock {

// Receive buffers must leave this much room in front of the frame so that an
// out-of-band VLAN tag can be written back.
constexpr uint32_t kVlanRoom = 4;

struct RxFrame {
    // Set by the caller: the buffer and its capacity.
    uint8_t* buf = nullptr;
    uint32_t cap = 0;
    void* cookie = nullptr;   // the caller's handle on the buffer; moves with it
    // Set by recv(): the frame occupies buf[off, off + len).
    uint32_t off = 0;
    uint32_t len = 0;
    int64_t ts_ns = 0;      // wall clock
    uint8_t pkttype = 0;    // PACKET_HOST, PACKET_BROADCAST, ...
};

struct RxStats {
    uint64_t frames = 0;
    uint64_t oversize = 0;        // did not fit the buffer: counted and skipped
    uint64_t csum_fixed = 0;      // unfinished checksums completed
    uint64_t csum_unfixable = 0;  // unfinished checksums on frames we cannot complete
    uint64_t vlan_restored = 0;   // out-of-band VLAN tags written back
    uint64_t errors = 0;
};

class PacketSocket {
  public:
    struct Options {
        bool promisc = false;
        bool receive = true;      // false: a send-only socket that never queues received frames
        // Receive buffer or ring bytes. Generous: a V2 ring spends a whole
        // slot on each frame, and it has to cover the time the reading
        // thread is not scheduled (16 MB: about 10,000 frames, 40 ms at
        // 250,000 frames per second).
        int rcvbuf = 16 << 20;
        int sndbuf = 1 << 20;
        // > 0: size the send buffer to hold about this many frames of the
        // device's MTU in flight (overrides sndbuf). The kernel charges each
        // frame with its buffer overhead, so small frames fit more.
        int sndbuf_frames = 0;
        bool fix_checksums = true;
        // Receive through a memory-mapped ring of about rcvbuf bytes (false:
        // recvmmsg). max_frame is the largest frame the ring keeps whole
        // (0: MTU + 22); larger ones are counted as oversize.
        bool rx_ring = true;
        uint32_t max_frame = 0;
    };

    PacketSocket() = default;
    ~PacketSocket() { close(); }
    PacketSocket(const PacketSocket&) = delete;
    PacketSocket& operator=(const PacketSocket&) = delete;

    bool open(const std::string& dev, const Options& opt, std::string* err);
    void close();
    int fd() const { return fd_; }
    int ifindex() const { return ifindex_; }
    int mtu() const { return mtu_; }
    bool has_rx_ring() const { return ring_ != nullptr; }
    // The send buffer the kernel granted, in bytes.
    int sndbuf() const;
    const std::string& devname() const { return dev_; }

    // Receives up to n frames without blocking. Returns the number of frames
    // filled in (0 when none is waiting): frames[0..result) hold them. Skipped
    // oversize frames are counted, not returned; buffers (with their cookies)
    // may change places within frames[0..n).
    int recv(RxFrame* frames, int n);

    // Sends frames[0..n) without blocking. Returns how many were accepted;
    // when fewer than n, *err holds the errno of the first refused frame:
    // EAGAIN: the send buffer is full, retry when the socket is writable;
    // ENOBUFS: the device queue (qdisc) dropped that frame, retry it a
    // little later; other values: that frame cannot be sent.
    int send(const uint8_t* const* data, const uint32_t* len, int n, int* err);

    const RxStats& rx_stats() const { return rx_; }
    // Frames the kernel dropped because the receive buffer was full (since the last call).
    uint64_t kernel_drops();

  private:
    bool setup_ring(uint32_t max_frame, uint32_t bytes);
    int recv_ring(RxFrame* frames, int n);
    int recv_mmsg(RxFrame* frames, int n);
    // Copies a received frame into f (tag written back, checksum completed).
    void deliver(RxFrame& f, const uint8_t* data, uint32_t len, bool vlan, uint16_t tpid, uint16_t tci, bool csum_not_ready,
                 int64_t ts);
    // The tail both receive paths share: checksum completed when the kernel
    // left it unfinished, a timestamp when the kernel gave none, length set.
    void finish_frame(RxFrame& f, uint8_t* d, uint32_t len, bool csum_not_ready, int64_t ts);

    uint8_t* ring_ = nullptr;
    size_t ring_size_ = 0;
    uint32_t block_size_ = 0, frame_size_ = 0, frames_per_block_ = 0, frame_nr_ = 0, head_ = 0;
    int fd_ = -1;
    int ifindex_ = 0;
    int mtu_ = 1500;
    bool fix_ = true;
    std::string dev_;
    RxStats rx_;
    uint64_t kdrops_ = 0;
    std::vector<mmsghdr> msgs_;
    std::vector<char> ctrl_;
    std::vector<char> iovs_;
    std::vector<char> addrs_;
};

// Takes a device's received frames away from the host's own stack while
// packet sockets keep receiving them. Packet sockets see a frame before the
// ingress hooks run, so an nftables netdev table whose ingress chain drops
// everything leaves the frames to the sockets alone: the kernel neither
// answers, routes nor bridges them. The table is named after the interface
// index ("quilo_fromdevice_<ifindex>") in the caller's network namespace and
// is removed again by remove() or the destructor; a process that dies
// without cleaning up leaves it behind, and the next install() on the same
// device takes it over. Installs of the same device within one process
// share the table, which goes when the last of them is removed: a router
// that replaces another (hot swap) installs before the old one cleans up.
// Needs the nft program and nf_tables netdev support.
class IngressDrop {
  public:
    IngressDrop() = default;
    ~IngressDrop() { remove(); }
    IngressDrop(const IngressDrop&) = delete;
    IngressDrop& operator=(const IngressDrop&) = delete;

    bool install(const std::string& dev, std::string* err);
    void remove();
    bool installed() const { return !table_.empty(); }
    const std::string& table() const { return table_; }

  private:
    std::string table_;
};

// Runs `nft -f -` with `script` on its standard input. Returns true on exit
// status 0; otherwise *err holds what nft said.
bool run_nft(const std::string& script, std::string* err);

// Completes the TCP or UDP checksum of an Ethernet frame carrying IPv4
// (optionally 802.1Q tagged). Returns false when the frame is not such a
// packet or is too short for what its headers claim.
bool complete_l4_checksum(uint8_t* frame, uint32_t len);

}  // namespace pktsock
