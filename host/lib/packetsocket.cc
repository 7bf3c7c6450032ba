// Batched AF_PACKET sockets.
#include "packetsocket.hh"

#include <host/checksum.hh>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace pktsock {

namespace {

constexpr size_t kCtrlSpace = CMSG_SPACE(sizeof(tpacket_auxdata)) + CMSG_SPACE(sizeof(timespec)) + 64;

std::string errstr(int e) { return std::strerror(e); }

// IngressDrop tables this process installed, with their number of users.
std::mutex ingress_lock;
std::map<std::string, int> ingress_users;

}  // namespace

bool complete_l4_checksum(uint8_t* f, uint32_t len) {
    uint32_t off = 14;
    if (len < off) return false;
    uint16_t type = (f[12] << 8) | f[13];
    if (type == 0x8100 || type == 0x88A8) {
        if (len < 18) return false;
        type = (f[16] << 8) | f[17];
        off = 18;
    }
    if (type != 0x0800 || len < off + 20) return false;
    uint8_t* ip = f + off;
    uint32_t ihl = (ip[0] & 0x0F) * 4u;
    uint32_t tot = (ip[2] << 8) | ip[3];
    if ((ip[0] >> 4) != 4 || ihl < 20 || tot < ihl || off + tot > len) return false;
    if (((ip[6] << 8) | ip[7]) & 0x3FFF) return false;   // fragments carry no complete segment
    uint8_t proto = ip[9];
    uint32_t l4len = tot - ihl;
    uint8_t* l4 = ip + ihl;
    uint32_t csum_off;
    if (proto == 6 && l4len >= 20) csum_off = 16;
    else if (proto == 17 && l4len >= 8) csum_off = 6;
    else return false;
    l4[csum_off] = l4[csum_off + 1] = 0;
    uint32_t saddr, daddr;
    memcpy(&saddr, ip + 12, 4);
    memcpy(&daddr, ip + 16, 4);
    uint16_t c = click_tcpudp_cksum(l4, static_cast<int>(l4len), saddr, daddr, proto);
    if (proto == 17 && c == 0) c = 0xFFFF;
    memcpy(l4 + csum_off, &c, 2);   // network order as computed
    return true;
}

bool PacketSocket::open(const std::string& dev, const Options& opt, std::string* err) {
    close();
    if (dev.empty() || dev.size() >= IFNAMSIZ) {
        if (err) *err = "bad device name '" + dev + "'";
        return false;
    }
    unsigned idx = if_nametoindex(dev.c_str());
    if (idx == 0) {
        if (err) *err = "no such network device '" + dev + "'";
        return false;
    }
    // The socket receives nothing until bind() names the device, so no
    // frame of another interface can slip in before.
    int proto = opt.receive ? htons(ETH_P_ALL) : 0;
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        if (err) *err = "cannot open packet socket for '" + dev + "': " + errstr(errno);
        return false;
    }
    auto fail = [&](const char* what) {
        if (err) *err = std::string(what) + " on '" + dev + "': " + errstr(errno);
        close();
        return false;
    };
    int one = 1;
    if (opt.receive) {
        if (setsockopt(fd_, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one) < 0) return fail("PACKET_AUXDATA");
        if (setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) < 0) return fail("SO_TIMESTAMPNS");
        // Not fatal on old kernels: recv() also filters PACKET_OUTGOING.
        setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &opt.rcvbuf, sizeof opt.rcvbuf) < 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &opt.rcvbuf, sizeof opt.rcvbuf);
    }
    if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &opt.sndbuf, sizeof opt.sndbuf) < 0)
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &opt.sndbuf, sizeof opt.sndbuf);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::memcpy(ifr.ifr_name, dev.c_str(), dev.size());
    if (ioctl(fd_, SIOCGIFMTU, &ifr) == 0) mtu_ = ifr.ifr_mtu;
    if (opt.receive && opt.rx_ring) {
        uint32_t maxf = opt.max_frame ? opt.max_frame : uint32_t(mtu_) + 22;
        setup_ring(std::min<uint32_t>(maxf, 65536 + 22), uint32_t(std::max(opt.rcvbuf, 1 << 20)));   // else recvmmsg
    }
    sockaddr_ll sll;
    std::memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = static_cast<uint16_t>(proto);
    sll.sll_ifindex = static_cast<int>(idx);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sll), sizeof sll) < 0) return fail("bind");
    if (opt.promisc) {
        packet_mreq mr;
        std::memset(&mr, 0, sizeof mr);
        mr.mr_ifindex = static_cast<int>(idx);
        mr.mr_type = PACKET_MR_PROMISC;
        if (setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) < 0) return fail("promiscuous mode");
    }
    if (opt.sndbuf_frames > 0) {
        // What the kernel charges per frame: the data rounded up by the
        // allocator (about MTU + link header + headroom), the shared info
        // and the sk_buff itself. The kernel doubles the value it is given.
        int64_t per = int64_t(mtu_) + 18 + 768;
        int64_t want = std::min<int64_t>(per * opt.sndbuf_frames / 2, INT32_MAX / 2);
        int v = int(std::max<int64_t>(want, 1));
        if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &v, sizeof v) < 0 &&
            setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &v, sizeof v) < 0)
            return fail("send buffer size");
    }
    ifindex_ = static_cast<int>(idx);
    dev_ = dev;
    fix_ = opt.fix_checksums;
    return true;
}

bool PacketSocket::setup_ring(uint32_t max_frame, uint32_t bytes) {
    int v = TPACKET_V2;
    if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &v, sizeof v) < 0) return false;
    // A frame slot: header, address, alignment before the MAC header (the
    // kernel puts the network header on a 16-byte boundary), the frame.
    uint32_t page = uint32_t(sysconf(_SC_PAGESIZE));
    frame_size_ = TPACKET_ALIGN(TPACKET2_HDRLEN + 16 + 16 + max_frame);
    block_size_ = std::max<uint32_t>(1 << 16, frame_size_);
    block_size_ = (block_size_ + page - 1) / page * page;
    frames_per_block_ = block_size_ / frame_size_;
    uint32_t blocks = std::max<uint32_t>(bytes / block_size_, 4);
    tpacket_req req;
    req.tp_block_size = block_size_;
    req.tp_block_nr = blocks;
    req.tp_frame_size = frame_size_;
    req.tp_frame_nr = blocks * frames_per_block_;
    if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0) return false;
    size_t size = size_t(block_size_) * blocks;
    void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, 0);
    if (m == MAP_FAILED) {
        // Give the ring back so that plain receives work.
        std::memset(&req, 0, sizeof req);
        setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req);
        return false;
    }
    ring_ = static_cast<uint8_t*>(m);
    ring_size_ = size;
    frame_nr_ = req.tp_frame_nr;
    head_ = 0;
    return true;
}

void PacketSocket::close() {
    if (ring_) munmap(ring_, ring_size_);
    ring_ = nullptr;
    ring_size_ = 0;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void PacketSocket::deliver(RxFrame& f, const uint8_t* data, uint32_t len, bool vlan, uint16_t tpid, uint16_t tci,
                           bool csum_not_ready, int64_t ts) {
    // The caller checked that len + kVlanRoom fits f.cap.
    uint8_t* d;
    if (vlan && len >= 12) {
        d = f.buf;
        std::memcpy(d, data, 12);
        d[12] = tpid >> 8;
        d[13] = tpid & 0xFF;
        d[14] = tci >> 8;
        d[15] = tci & 0xFF;
        std::memcpy(d + 16, data + 12, len - 12);
        len += kVlanRoom;
        f.off = 0;
        ++rx_.vlan_restored;
    } else {
        d = f.buf + kVlanRoom;
        std::memcpy(d, data, len);
        f.off = kVlanRoom;
    }
    finish_frame(f, d, len, csum_not_ready, ts);
}

void PacketSocket::finish_frame(RxFrame& f, uint8_t* d, uint32_t len, bool csum_not_ready, int64_t ts) {
    if (csum_not_ready && fix_) {
        if (complete_l4_checksum(d, len)) ++rx_.csum_fixed;
        else ++rx_.csum_unfixable;
    }
    if (!ts) {
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        ts = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    }
    f.len = len;
    f.ts_ns = ts;
}

int PacketSocket::recv(RxFrame* frames, int n) {
    if (fd_ < 0 || n <= 0) return 0;
    return ring_ ? recv_ring(frames, n) : recv_mmsg(frames, n);
}

int PacketSocket::recv_ring(RxFrame* frames, int n) {
    int out = 0;
    // Bounded: at most one pass over the ring per call.
    for (uint32_t seen = 0; out < n && seen < frame_nr_; ++seen) {
        uint8_t* slot = ring_ + size_t(head_ / frames_per_block_) * block_size_ + size_t(head_ % frames_per_block_) * frame_size_;
        tpacket2_hdr* h = reinterpret_cast<tpacket2_hdr*>(slot);
        uint32_t status = __atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE);
        if (!(status & TP_STATUS_USER)) break;
        const sockaddr_ll* sll = reinterpret_cast<const sockaddr_ll*>(slot + TPACKET_ALIGN(sizeof(tpacket2_hdr)));
        uint32_t wire = h->tp_len, snap = h->tp_snaplen, mac = h->tp_mac;
        RxFrame& f = frames[out];
        uint32_t room = f.cap > kVlanRoom ? f.cap - kVlanRoom : 0;
        bool vlan = status & TP_STATUS_VLAN_VALID;
        if (sll->sll_pkttype == PACKET_OUTGOING) {
            // Not ours to receive.
        } else if (mac < TPACKET2_HDRLEN || size_t(mac) + snap > frame_size_) {
            ++rx_.errors;   // the slot does not hold what its header claims
        } else if (wire > snap || wire > room) {
            ++rx_.oversize;
        } else {
            uint16_t tpid = (status & TP_STATUS_VLAN_TPID_VALID) && h->tp_vlan_tpid ? h->tp_vlan_tpid : 0x8100;
            int64_t ts = int64_t(h->tp_sec) * 1000000000 + h->tp_nsec;
            deliver(f, slot + mac, wire, vlan, tpid, h->tp_vlan_tci, status & TP_STATUS_CSUMNOTREADY, ts);
            f.pkttype = sll->sll_pkttype;
            ++out;
        }
        __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        head_ = head_ + 1 == frame_nr_ ? 0 : head_ + 1;
    }
    rx_.frames += out;
    return out;
}

int PacketSocket::recv_mmsg(RxFrame* frames, int n) {
    if (msgs_.size() < static_cast<size_t>(n)) {
        msgs_.resize(n);
        ctrl_.resize(n * kCtrlSpace);
        iovs_.resize(n * sizeof(iovec));
        addrs_.resize(n * sizeof(sockaddr_ll));
    }
    iovec* iov = reinterpret_cast<iovec*>(iovs_.data());
    sockaddr_ll* addr = reinterpret_cast<sockaddr_ll*>(addrs_.data());
    for (int i = 0; i < n; ++i) {
        RxFrame& f = frames[i];
        iov[i].iov_base = f.buf + kVlanRoom;
        iov[i].iov_len = f.cap > kVlanRoom ? f.cap - kVlanRoom : 0;
        msghdr& h = msgs_[i].msg_hdr;
        std::memset(&h, 0, sizeof h);
        h.msg_name = &addr[i];
        h.msg_namelen = sizeof(sockaddr_ll);
        h.msg_iov = &iov[i];
        h.msg_iovlen = 1;
        h.msg_control = ctrl_.data() + i * kCtrlSpace;
        h.msg_controllen = kCtrlSpace;
        msgs_[i].msg_len = 0;
    }
    int got = recvmmsg(fd_, msgs_.data(), n, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got <= 0) {
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ++rx_.errors;
        return 0;
    }
    int out = 0;
    for (int i = 0; i < got; ++i) {
        msghdr& h = msgs_[i].msg_hdr;
        uint32_t wire = msgs_[i].msg_len;
        uint32_t room = static_cast<uint32_t>(iov[i].iov_len);
        if (addr[i].sll_pkttype == PACKET_OUTGOING) continue;
        tpacket_auxdata* aux = nullptr;
        int64_t ts = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
                c->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata)))
                aux = reinterpret_cast<tpacket_auxdata*>(CMSG_DATA(c));
            else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
                     c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
                timespec t;
                std::memcpy(&t, CMSG_DATA(c), sizeof t);
                ts = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
            }
        }
        bool vlan = aux && (aux->tp_status & TP_STATUS_VLAN_VALID);
        if (wire > room || (h.msg_flags & MSG_TRUNC)) {
            ++rx_.oversize;
            continue;
        }
        RxFrame& src = frames[i];
        RxFrame& f = frames[out];
        if (out != i) {
            // Keep the caller's buffers in order: swap the filled buffer forward.
            std::swap(f.buf, src.buf);
            std::swap(f.cap, src.cap);
            std::swap(f.cookie, src.cookie);
        }
        uint8_t* d = f.buf + kVlanRoom;
        uint32_t len = wire;
        uint32_t off = kVlanRoom;
        if (vlan && len >= 12) {
            uint16_t tpid = (aux->tp_status & TP_STATUS_VLAN_TPID_VALID) && aux->tp_vlan_tpid ? aux->tp_vlan_tpid : 0x8100;
            std::memmove(d - kVlanRoom, d, 12);
            d -= kVlanRoom;
            off = 0;
            d[12] = tpid >> 8;
            d[13] = tpid & 0xFF;
            d[14] = aux->tp_vlan_tci >> 8;
            d[15] = aux->tp_vlan_tci & 0xFF;
            len += kVlanRoom;
            ++rx_.vlan_restored;
        }
        f.off = off;
        finish_frame(f, d, len, aux && (aux->tp_status & TP_STATUS_CSUMNOTREADY), ts);
        f.pkttype = addr[i].sll_pkttype;
        ++out;
    }
    rx_.frames += out;
    return out;
}

int PacketSocket::send(const uint8_t* const* data, const uint32_t* len, int n, int* err) {
    if (err) *err = 0;
    if (fd_ < 0) {
        if (err) *err = EBADF;
        return 0;
    }
    if (n <= 0) return 0;
    if (msgs_.size() < static_cast<size_t>(n)) {
        msgs_.resize(n);
        ctrl_.resize(n * kCtrlSpace);
        iovs_.resize(n * sizeof(iovec));
        addrs_.resize(n * sizeof(sockaddr_ll));
    }
    iovec* iov = reinterpret_cast<iovec*>(iovs_.data());
    for (int i = 0; i < n; ++i) {
        iov[i].iov_base = const_cast<uint8_t*>(data[i]);
        iov[i].iov_len = len[i];
        msghdr& h = msgs_[i].msg_hdr;
        std::memset(&h, 0, sizeof h);
        h.msg_iov = &iov[i];
        h.msg_iovlen = 1;
    }
    int sent = 0;
    while (sent < n) {
        int r = sendmmsg(fd_, msgs_.data() + sent, n - sent, MSG_DONTWAIT);
        if (r < 0) {
            if (err) *err = errno == EWOULDBLOCK ? EAGAIN : errno;
            return sent;
        }
        sent += r;
        if (sent == n) break;
        // sendmmsg stops at the first failing message without saying why:
        // send that one alone to learn the reason. A frame the queue
        // discipline dropped (ENOBUFS) may well pass now; then go on.
        if (::sendmsg(fd_, &msgs_[sent].msg_hdr, MSG_DONTWAIT) < 0) {
            if (err) *err = errno == EWOULDBLOCK ? EAGAIN : errno;
            return sent;
        }
        ++sent;
    }
    return sent;
}


bool run_nft(const std::string& script, std::string* err) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0) {
        if (err) *err = "pipe: " + errstr(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) < 0) {
        if (err) *err = "pipe: " + errstr(errno);
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        const char* argv[] = {"nft", "-f", "-", nullptr};
        execvp("nft", const_cast<char* const*>(argv));
        const char msg[] = "cannot run nft\n";
        ssize_t r = ::write(2, msg, sizeof msg - 1);
        (void) r;
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        if (err) *err = "fork: " + errstr(errno);
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    // nft reads the whole script before it says anything, so writing all of
    // it first cannot deadlock on a full output pipe. A dead nft must not
    // kill us with SIGPIPE.
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    size_t done = 0;
    while (done < script.size()) {
        ssize_t w = ::write(in[1], script.data() + done, script.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += size_t(w);
    }
    ::close(in[1]);
    // Swallow a SIGPIPE this thread may have raised before unblocking.
    timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) > 0) {}
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    std::string said;
    char buf[512];
    for (;;) {
        ssize_t r = ::read(out[0], buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (said.size() < 4096) said.append(buf, size_t(r));
    }
    ::close(out[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0) return true;
    if (err) {
        while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
        *err = said.empty() ? "nft failed" : said;
    }
    return false;
}

bool IngressDrop::install(const std::string& dev, std::string* err) {
    remove();
    unsigned idx = dev.size() < IFNAMSIZ ? if_nametoindex(dev.c_str()) : 0;
    if (idx == 0) {
        if (err) *err = "no such network device '" + dev + "'";
        return false;
    }
    // The name goes into an nft string: refuse what would end the string.
    if (dev.find_first_of("\"\\\n") != std::string::npos) {
        if (err) *err = "cannot name device '" + dev + "' in an nftables rule";
        return false;
    }
    std::string table = "quilo_fromdevice_" + std::to_string(idx);
    std::lock_guard<std::mutex> g(ingress_lock);
    if (ingress_users[table] > 0) {
        ++ingress_users[table];
        table_ = table;
        return true;
    }
    std::string script = "table netdev " + table + " {\n  chain ingress {\n    type filter hook ingress device \"" + dev +
                         "\" priority -500; policy drop;\n  }\n}\n";
    std::string why;
    if (!run_nft(script, &why)) {
        ingress_users.erase(table);
        if (err) *err = "cannot take frames of '" + dev + "' from the host stack (nftables ingress drop): " + why;
        return false;
    }
    ingress_users[table] = 1;
    table_ = table;
    return true;
}

void IngressDrop::remove() {
    if (table_.empty()) return;
    std::lock_guard<std::mutex> g(ingress_lock);
    auto it = ingress_users.find(table_);
    if (it == ingress_users.end() || --it->second <= 0) {
        if (it != ingress_users.end()) ingress_users.erase(it);
        run_nft("delete table netdev " + table_ + "\n", nullptr);
    }
    table_.clear();
}

int PacketSocket::sndbuf() const {
    int v = 0;
    socklen_t l = sizeof v;
    if (fd_ < 0 || getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &v, &l) < 0) return 0;
    return v;
}

uint64_t PacketSocket::kernel_drops() {
    if (fd_ < 0) return kdrops_;
    tpacket_stats st;
    socklen_t l = sizeof st;
    if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &st, &l) == 0) kdrops_ += st.tp_drops;
    return kdrops_;
}

}  // namespace pktsock
