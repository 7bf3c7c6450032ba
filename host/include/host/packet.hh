// Packets: a header object (data pointers, header positions, a 96-byte
// annotation area, a nanosecond timestamp) over a reference-counted buffer.
// clone() shares the buffer; anything that writes (uniqueify, push, put)
// copies it first when shared.  Headers and buffers come from per-thread
// pools, so steady-state forwarding never calls malloc.
#ifndef QUILO_HOST_PACKET_HH
#define QUILO_HOST_PACKET_HH

#include <atomic>
#include <cstdint>
#include <cstring>

#include <host/clicknet.hh>
#include <host/ipaddress.hh>
#include <host/timestamp.hh>

// Fixed annotation places used by host elements (0..47 belong to the host,
// 48..95 to the package).
#ifndef DST_IP_ANNO_OFFSET
#define DST_IP_ANNO_OFFSET 0
#endif
#ifndef DST_IP_ANNO_SIZE
#define DST_IP_ANNO_SIZE 4
#endif
#ifndef PAINT_ANNO_OFFSET
#define PAINT_ANNO_OFFSET 16
#endif
#ifndef PAINT_ANNO_SIZE
#define PAINT_ANNO_SIZE 1
#endif
#ifndef VLAN_TCI_ANNO_OFFSET
#define VLAN_TCI_ANNO_OFFSET 20
#endif
#ifndef VLAN_TCI_ANNO_SIZE
#define VLAN_TCI_ANNO_SIZE 2
#endif

class WritablePacket;
struct PacketBuffer;

class Packet {
 public:
    static constexpr uint32_t default_headroom = 64;
    // Buffers up to this size (headroom + data + tailroom) come from the pool.
    static constexpr uint32_t pool_buffer_size = 2048;
    // Largest buffer make() or growth will allocate.
    static constexpr uint32_t max_buffer_length = 1u << 26;
    static constexpr int anno_size = 96;

    // A new packet with `length` bytes of data copied from `data` (left
    // uninitialised if data is null), at least `headroom` bytes before it and
    // `tailroom` after it.  Returns null only if memory is exhausted or the
    // size exceeds max_buffer_length.  Annotations and header positions are
    // cleared, the timestamp is zero.
    static WritablePacket* make(uint32_t headroom, const void* data, uint32_t length, uint32_t tailroom);
    static WritablePacket* make(const void* data, uint32_t length) { return make(default_headroom, data, length, 0); }
    static WritablePacket* make(uint32_t length) { return make(default_headroom, nullptr, length, 0); }

    // Frees the packet (its buffer when the last sharer goes).
    void kill();

    // True if another packet shares this one's buffer.
    bool shared() const;
    // A new packet sharing this one's data; annotations and header positions
    // are copied.  Null if memory is exhausted.
    Packet* clone();
    // This packet, made writable: copies the buffer first when shared.
    // On failure the packet is killed and null returned.
    WritablePacket* uniqueify();

    const unsigned char* data() const { return _data; }
    const unsigned char* end_data() const { return _tail; }
    uint32_t length() const { return uint32_t(_tail - _data); }
    uint32_t headroom() const { return uint32_t(_data - _head); }
    uint32_t tailroom() const { return uint32_t(_end - _tail); }
    const unsigned char* buffer() const { return _head; }
    const unsigned char* end_buffer() const { return _end; }
    uint32_t buffer_length() const { return uint32_t(_end - _head); }

    // Adds len bytes in front of the data (uniqueifies; grows the buffer
    // when headroom is short).  On failure kills the packet, returns null.
    WritablePacket* push(uint32_t len);
    // Same without uniqueify (the new bytes may be shared: do not write).
    Packet* nonunique_push(uint32_t len);
    // Removes len bytes from the front (clamped to the length).
    void pull(uint32_t len);
    // Adds len bytes at the tail (uniqueifies; grows when tailroom is short).
    // On failure kills the packet, returns null.
    WritablePacket* put(uint32_t len);
    Packet* nonunique_put(uint32_t len);
    // Removes len bytes from the tail (clamped to the length).
    void take(uint32_t len);

    // Header positions: pointers into the buffer, kept across push/pull and
    // across copies.  Offsets are relative to data() and may be negative.
    bool has_mac_header() const { return _mac != nullptr; }
    const unsigned char* mac_header() const { return _mac; }
    int mac_header_offset() const { return int(_mac - _data); }
    uint32_t mac_header_length() const { return uint32_t(_nh - _mac); }
    bool has_network_header() const { return _nh != nullptr; }
    const unsigned char* network_header() const { return _nh; }
    int network_header_offset() const { return int(_nh - _data); }
    uint32_t network_header_length() const { return uint32_t(_h - _nh); }
    bool has_transport_header() const { return _h != nullptr; }
    const unsigned char* transport_header() const { return _h; }
    int transport_header_offset() const { return int(_h - _data); }
    // Bytes from the transport header to the end of the data.
    uint32_t transport_length() const { return _h ? uint32_t(_tail - _h) : 0; }

    void set_mac_header(const unsigned char* p) { _mac = const_cast<unsigned char*>(p); }
    void set_mac_header(const unsigned char* p, uint32_t len) {
        _mac = const_cast<unsigned char*>(p);
        _nh = _mac + len;
    }
    void set_network_header(const unsigned char* p) { _nh = const_cast<unsigned char*>(p); }
    void set_network_header(const unsigned char* p, uint32_t len) {
        _nh = const_cast<unsigned char*>(p);
        _h = _nh + len;
    }
    void set_network_header_length(uint32_t len) { _h = _nh + len; }
    void set_transport_header(const unsigned char* p) { _h = const_cast<unsigned char*>(p); }
    void clear_mac_header() { _mac = nullptr; }
    void clear_network_header() { _nh = nullptr; }
    void clear_transport_header() { _h = nullptr; }

    const click_ether* ether_header() const { return reinterpret_cast<const click_ether*>(_mac); }
    void set_ether_header(const click_ether* h) { set_mac_header(reinterpret_cast<const unsigned char*>(h), 14); }
    const click_ip* ip_header() const { return reinterpret_cast<const click_ip*>(_nh); }
    int ip_header_offset() const { return network_header_offset(); }
    uint32_t ip_header_length() const { return network_header_length(); }
    void set_ip_header(const click_ip* h, uint32_t len) { set_network_header(reinterpret_cast<const unsigned char*>(h), len); }
    const click_tcp* tcp_header() const { return reinterpret_cast<const click_tcp*>(_h); }
    const click_udp* udp_header() const { return reinterpret_cast<const click_udp*>(_h); }
    const click_icmp* icmp_header() const { return reinterpret_cast<const click_icmp*>(_h); }

    // Annotation area: 96 bytes.  Accessors take any offset (unaligned
    // allowed) within the area; multi-byte values are in host order.
    const unsigned char* anno() const { return _anno; }
    unsigned char* anno() { return _anno; }
    uint8_t anno_u8(int i) const { return _anno[i]; }
    void set_anno_u8(int i, uint8_t v) { _anno[i] = v; }
    uint16_t anno_u16(int i) const { return get<uint16_t>(i); }
    void set_anno_u16(int i, uint16_t v) { set<uint16_t>(i, v); }
    uint32_t anno_u32(int i) const { return get<uint32_t>(i); }
    void set_anno_u32(int i, uint32_t v) { set<uint32_t>(i, v); }
    uint64_t anno_u64(int i) const { return get<uint64_t>(i); }
    void set_anno_u64(int i, uint64_t v) { set<uint64_t>(i, v); }
    void clear_annotations();                 // area zeroed, timestamp zeroed, header positions kept
    void copy_annotations(const Packet* p);   // area and timestamp

    // Destination address annotation (offset 0, network order).
    IPAddress dst_ip_anno() const { return IPAddress(get<uint32_t>(DST_IP_ANNO_OFFSET)); }
    void set_dst_ip_anno(IPAddress a) { set<uint32_t>(DST_IP_ANNO_OFFSET, a.addr()); }

    // Packet timestamp, nanoseconds of the wall clock (zero when unset).
    const Timestamp& timestamp_anno() const { return _timestamp; }
    Timestamp& timestamp_anno() { return _timestamp; }
    void set_timestamp_anno(const Timestamp& t) { _timestamp = t; }

    // Links for queues and packet lists.
    Packet* next() const { return _next; }
    Packet* prev() const { return _prev; }
    void set_next(Packet* p) { _next = p; }
    void set_prev(Packet* p) { _prev = p; }

 protected:
    Packet() = default;
    ~Packet() = default;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    template <typename T> T get(int i) const {
        T v;
        memcpy(&v, _anno + i, sizeof(T));
        return v;
    }
    template <typename T> void set(int i, T v) { memcpy(_anno + i, &v, sizeof(T)); }

    WritablePacket* expensive_uniqueify(uint32_t extra_headroom, uint32_t extra_tailroom, bool free_on_failure);
    WritablePacket* expensive_push(uint32_t len);
    WritablePacket* expensive_put(uint32_t len);

    unsigned char* _head = nullptr;
    unsigned char* _data = nullptr;
    unsigned char* _tail = nullptr;
    unsigned char* _end = nullptr;
    unsigned char* _mac = nullptr;
    unsigned char* _nh = nullptr;
    unsigned char* _h = nullptr;
    PacketBuffer* _buf = nullptr;
    Packet* _next = nullptr;
    Packet* _prev = nullptr;
    Timestamp _timestamp;
    alignas(8) unsigned char _anno[anno_size];

    friend struct PacketPool;
    friend class WritablePacket;
};

class WritablePacket : public Packet {
 public:
    unsigned char* data() const { return _data; }
    unsigned char* end_data() const { return _tail; }
    unsigned char* buffer() const { return _head; }
    unsigned char* end_buffer() const { return _end; }
    unsigned char* mac_header() const { return _mac; }
    unsigned char* network_header() const { return _nh; }
    unsigned char* transport_header() const { return _h; }
    click_ether* ether_header() const { return reinterpret_cast<click_ether*>(_mac); }
    click_ip* ip_header() const { return reinterpret_cast<click_ip*>(_nh); }
    click_tcp* tcp_header() const { return reinterpret_cast<click_tcp*>(_h); }
    click_udp* udp_header() const { return reinterpret_cast<click_udp*>(_h); }
    click_icmp* icmp_header() const { return reinterpret_cast<click_icmp*>(_h); }

 private:
    WritablePacket() = default;
    friend class Packet;
    friend struct PacketPool;
};

// Buffer shared by a packet and its clones.
struct PacketBuffer {
    std::atomic<uint32_t> refcount;
    uint32_t capacity;
    bool pooled;
    unsigned char* data() { return reinterpret_cast<unsigned char*>(this) + 64; }
};

inline bool Packet::shared() const {
    return _buf->refcount.load(std::memory_order_acquire) > 1;
}

inline WritablePacket* Packet::uniqueify() {
    if (!shared())
        return static_cast<WritablePacket*>(this);
    return expensive_uniqueify(0, 0, true);
}

inline WritablePacket* Packet::push(uint32_t len) {
    if (headroom() >= len && !shared()) {
        _data -= len;
        return static_cast<WritablePacket*>(this);
    }
    return expensive_push(len);
}

inline Packet* Packet::nonunique_push(uint32_t len) {
    if (headroom() >= len) {
        _data -= len;
        return this;
    }
    return expensive_push(len);
}

inline void Packet::pull(uint32_t len) {
    if (len > length())
        len = length();
    _data += len;
}

inline WritablePacket* Packet::put(uint32_t len) {
    if (tailroom() >= len && !shared()) {
        _tail += len;
        return static_cast<WritablePacket*>(this);
    }
    return expensive_put(len);
}

inline Packet* Packet::nonunique_put(uint32_t len) {
    if (tailroom() >= len) {
        _tail += len;
        return this;
    }
    return expensive_put(len);
}

inline void Packet::take(uint32_t len) {
    if (len > length())
        len = length();
    _tail -= len;
}

#endif
