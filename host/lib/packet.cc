// Packet allocation: per-thread free lists of packet headers, with and
// without an attached pool-sized buffer.  A thread whose list grows too long
// hands a batch to a global list; a thread that runs dry takes a batch back
// before it falls back to malloc.  In steady state packets cycle through the
// lists and malloc is never called.
#include <host/packet.hh>

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr uint32_t buffer_header = 64;
constexpr int batch = 256;

PacketBuffer* new_buffer(uint32_t capacity, bool pooled) {
    void* mem = malloc(buffer_header + capacity);
    if (!mem)
        return nullptr;
    PacketBuffer* b = new (mem) PacketBuffer;
    b->refcount.store(1, std::memory_order_relaxed);
    b->capacity = capacity;
    b->pooled = pooled;
    return b;
}

void delete_buffer(PacketBuffer* b) {
    b->~PacketBuffer();
    free(b);
}

}  // namespace

struct PacketPool {
    // A chain of packets linked through _next.
    struct List {
        Packet* head = nullptr;
        int n = 0;
    };
    struct Global {
        std::mutex lock;
        std::vector<Packet*> full;   // chains of `batch` packets with pooled buffers
        std::vector<Packet*> bare;   // chains of `batch` bare headers
    };
    static Global& global() {
        static Global* g = new Global;   // lives for the whole process
        return *g;
    }

    List full;   // headers with an attached pooled buffer (refcount 0)
    List bare;   // headers without buffer

    ~PacketPool() {
        // Thread exit: give everything back to the global lists.
        give_back(full, true, true);
        give_back(bare, false, true);
    }

    static PacketPool& local() {
        static thread_local PacketPool pool;
        return pool;
    }

    static Packet* new_header() {
        void* mem = malloc(sizeof(WritablePacket));
        if (!mem)
            return nullptr;
        return new (mem) WritablePacket;
    }

    void give_back(List& l, bool is_full, bool all) {
        while (l.n >= (all ? 1 : 2 * batch)) {
            int k = all ? std::min(l.n, batch) : batch;
            Packet* chain = l.head;
            Packet* last = chain;
            for (int i = 1; i < k; ++i)
                last = last->_next;
            l.head = last->_next;
            last->_next = nullptr;
            l.n -= k;
            if (k < batch && all) {
                // A short chain: free it rather than mix sizes.
                while (chain) {
                    Packet* nx = chain->_next;
                    if (is_full)
                        delete_buffer(chain->_buf);
                    static_cast<WritablePacket*>(chain)->~WritablePacket();
                    free(chain);
                    chain = nx;
                }
                continue;
            }
            Global& g = global();
            std::lock_guard<std::mutex> guard(g.lock);
            (is_full ? g.full : g.bare).push_back(chain);
        }
    }

    bool refill(List& l, bool is_full) {
        Global& g = global();
        std::lock_guard<std::mutex> guard(g.lock);
        auto& v = is_full ? g.full : g.bare;
        if (v.empty())
            return false;
        l.head = v.back();
        l.n = batch;
        v.pop_back();
        return true;
    }

    Packet* pop(List& l, bool is_full) {
        if (!l.head && !refill(l, is_full))
            return nullptr;
        Packet* p = l.head;
        l.head = p->_next;
        --l.n;
        return p;
    }

    void push(List& l, Packet* p, bool is_full) {
        p->_next = l.head;
        l.head = p;
        if (++l.n >= 2 * batch)
            give_back(l, is_full, false);
    }

    // A header with a buffer of at least `capacity` bytes.
    Packet* alloc(uint32_t capacity) {
        if (capacity <= Packet::pool_buffer_size) {
            if (Packet* p = pop(full, true)) {
                p->_buf->refcount.store(1, std::memory_order_relaxed);
                return p;
            }
            capacity = Packet::pool_buffer_size;
        }
        Packet* p = pop(bare, false);
        if (!p && !(p = new_header()))
            return nullptr;
        PacketBuffer* b = new_buffer(capacity, capacity == Packet::pool_buffer_size);
        if (!b) {
            push(bare, p, false);
            return nullptr;
        }
        p->_buf = b;
        return p;
    }

    Packet* alloc_bare() {
        Packet* p = pop(bare, false);
        return p ? p : new_header();
    }

    void release(Packet* p) {
        PacketBuffer* b = p->_buf;
        if (b->refcount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            if (b->pooled) {
                push(full, p, true);
                return;
            }
            delete_buffer(b);
        }
        p->_buf = nullptr;
        push(bare, p, false);
    }
};

WritablePacket* Packet::make(uint32_t headroom, const void* data, uint32_t length, uint32_t tailroom) {
    uint64_t cap = uint64_t(headroom) + length + tailroom;
    if (cap > max_buffer_length)
        return nullptr;
    Packet* p = PacketPool::local().alloc(uint32_t(cap));
    if (!p)
        return nullptr;
    p->_head = p->_buf->data();
    p->_end = p->_head + p->_buf->capacity;
    p->_data = p->_head + headroom;
    p->_tail = p->_data + length;
    if (data && length)
        memcpy(p->_data, data, length);
    p->_mac = p->_nh = p->_h = nullptr;
    p->_next = p->_prev = nullptr;
    p->_timestamp = Timestamp();
    memset(p->_anno, 0, anno_size);
    return static_cast<WritablePacket*>(p);
}

void Packet::kill() {
    PacketPool::local().release(this);
}

Packet* Packet::clone() {
    Packet* p = PacketPool::local().alloc_bare();
    if (!p)
        return nullptr;
    _buf->refcount.fetch_add(1, std::memory_order_relaxed);
    p->_buf = _buf;
    p->_head = _head;
    p->_data = _data;
    p->_tail = _tail;
    p->_end = _end;
    p->_mac = _mac;
    p->_nh = _nh;
    p->_h = _h;
    p->_next = p->_prev = nullptr;
    p->_timestamp = _timestamp;
    memcpy(p->_anno, _anno, anno_size);
    return p;
}

void Packet::clear_annotations() {
    memset(_anno, 0, anno_size);
    _timestamp = Timestamp();
}

void Packet::copy_annotations(const Packet* p) {
    memcpy(_anno, p->_anno, anno_size);
    _timestamp = p->_timestamp;
}

// Moves the packet into a new, unshared buffer with extra room at either end.
WritablePacket* Packet::expensive_uniqueify(uint32_t extra_headroom, uint32_t extra_tailroom, bool free_on_failure) {
    uint64_t cap = uint64_t(buffer_length()) + extra_headroom + extra_tailroom;
    PacketBuffer* nb = nullptr;
    PacketPool& pool = PacketPool::local();
    if (cap <= max_buffer_length) {
        if (cap <= pool_buffer_size) {
            // Take the buffer of a pooled header, then return the header.
            if (Packet* donor = pool.alloc(uint32_t(cap))) {
                nb = donor->_buf;
                donor->_buf = nullptr;
                pool.push(pool.bare, donor, false);
            }
        } else
            nb = new_buffer(uint32_t(cap), false);
    }
    if (!nb) {
        if (free_on_failure)
            kill();
        return nullptr;
    }
    unsigned char* nhead = nb->data();
    // Old layout shifted right by extra_headroom; a pooled buffer may be
    // larger than asked, which only adds tailroom.
    unsigned char* base = nhead + extra_headroom;
    memcpy(base, _head, buffer_length());
    auto shift = [&](unsigned char* q) { return q ? base + (q - _head) : nullptr; };
    unsigned char* ndata = shift(_data);
    unsigned char* ntail = shift(_tail);
    _mac = shift(_mac);
    _nh = shift(_nh);
    _h = shift(_h);
    // Drop our reference to the old buffer.
    PacketBuffer* ob = _buf;
    if (ob->refcount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (ob->pooled) {
            // Recycle it through a bare header.
            if (Packet* h = pool.alloc_bare()) {
                h->_buf = ob;
                pool.push(pool.full, h, true);
            } else
                delete_buffer(ob);
        } else
            delete_buffer(ob);
    }
    _buf = nb;
    _head = nhead;
    _end = nhead + nb->capacity;
    _data = ndata;
    _tail = ntail;
    return static_cast<WritablePacket*>(this);
}

WritablePacket* Packet::expensive_push(uint32_t len) {
    uint32_t extra = 0;
    if (headroom() < len)
        extra = (len - headroom()) + default_headroom;
    WritablePacket* q = expensive_uniqueify(extra, 0, true);
    if (q)
        q->_data -= len;
    return q;
}

WritablePacket* Packet::expensive_put(uint32_t len) {
    uint32_t extra = 0;
    if (tailroom() < len)
        extra = (len - tailroom()) + 128;
    WritablePacket* q = expensive_uniqueify(0, extra, true);
    if (q)
        q->_tail += len;
    return q;
}
