// RadixTrie: the longest-prefix-match store behind WRadixIPLookup. Plain C++
// (no host types), so that it can be built and tested on its own.
//
// A prefix maps to a 32-bit key: the route's slot index + 1 in the low 24 bits
// (at most 0x00ffffff) and the lookup key of its (gateway, port) pair in the
// high 8 bits (1 to 255). A key below 0x01000000 means no route.
//
// Five levels of 65536, 16, 16, 16 and 16 buckets take address bits from the
// top (shifts 16, 12, 8, 4, 0). A prefix lives in the level whose stride holds
// its last bit: /1 to /16 in the root, /17 to /20 in level 1, and so on. Each
// node keeps, per bucket, the key of the longest of its prefixes covering that
// bucket and the child of the next level; beside them a binary heap of
// 2 x buckets - 2 keys records each prefix at its own place (depth d, value v
// at index 2^d - 2 + v), so that removing a prefix hands its buckets back to
// the nearest shorter one. The /0 prefix is a key of its own. A lookup starts
// from the /0 key, lets every non-zero bucket key on its path replace the
// candidate and stops where there is no child: a /24 costs three bucket reads,
// one cache line each.
//
// Pairs: up to 255 distinct (gateway, port) pairs, counted by the prefixes
// that use them; a pair no prefix uses any more frees its slot for another.
//
// Concurrency: any number of lock-free readers, one writer at a time (the
// caller serialises writers). Writers change the trie in place between
// begin_update() and end_update(), which move a sequence counter to odd and
// back to even; a reader samples the counter before and after its walk and
// walks again when a writer was at work meanwhile, so it answers from the
// trie as it stood before or after an update, never from one half-written.
// Writers store with release and readers load with acquire (plain moves on
// x86), which orders a reader's second look at the counter after its walk
// and makes a reader that saw any change of an update see the odd counter.
// Updates nest; only the outermost one moves the counter, so a batch of
// changes (a ctrl text with its undo) is seen whole or not at all. Nodes are
// never returned to the allocator while the trie lives: an emptied node goes
// to a free list and may be reused at once, and a reader that still walks it
// finds valid memory and retries. Every field a reader touches is atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class RadixTrie {
  public:
    static constexpr int max_pairs = 255;
    static constexpr uint32_t max_slots = 0x00ffffff;  // route slots 0 .. max_slots - 1
    static constexpr uint32_t no_route = 0;

    RadixTrie();
    ~RadixTrie();
    RadixTrie(const RadixTrie&) = delete;
    RadixTrie& operator=(const RadixTrie&) = delete;

    static uint32_t make_key(int pair, uint32_t slot) { return uint32_t(pair) << 24 | (slot + 1); }
    static int key_pair(uint32_t key) { return int(key >> 24); }
    static uint32_t key_slot(uint32_t key) { return (key & 0x00ffffff) - 1; }

    // Readers, on any thread, lock-free. The gateway (network byte order) and
    // port of the longest prefix holding `addr` (host byte order); false when
    // no prefix holds it.
    bool lookup(uint32_t addr, uint32_t* gw, int32_t* port) const {
        for (;;) {
            uint32_t seq = _seq.load(std::memory_order_acquire);
            uint32_t key = walk(addr);
            uint64_t pair = 0;
            if (key > 0x00ffffff)
                pair = _pairs[(key >> 24) - 1].load(std::memory_order_acquire);
            // The acquire loads above keep this one after them.
            if (!(seq & 1) && _seq.load(std::memory_order_relaxed) == seq) {
                if (key <= 0x00ffffff)
                    return false;
                *gw = uint32_t(pair >> 32);
                *port = int32_t(uint32_t(pair));
                return true;
            }
            __builtin_ia32_pause();
        }
    }

    // Writer side. Every change below opens an update of its own if none is
    // open; open one around several changes to publish them together.
    void begin_update();
    void end_update();
    class Update {
      public:
        explicit Update(RadixTrie& t) : _t(t) { _t.begin_update(); }
        ~Update() { _t.end_update(); }
        Update(const Update&) = delete;
        Update& operator=(const Update&) = delete;

      private:
        RadixTrie& _t;
    };

    // The lookup key (1 to 255) of pair (gw, port), taking a reference to it;
    // a new pair takes a free slot. -1 when all 255 slots hold other pairs.
    int acquire_pair(uint32_t gw, int32_t port);
    // Drops a reference; the slot is free again when none is left.
    void release_pair(int pair);
    // Gives slot `pair` another (gateway, port): for a route that is the
    // slot's only user and changes its pair while every slot is taken.
    void rebind_pair(int pair, uint32_t gw, int32_t port);
    int pair_refs(int pair) const { return pair >= 1 && pair <= max_pairs ? int(_pair_refs[pair - 1]) : 0; }
    int pairs_in_use() const;

    // The key stored for exactly the prefix `addr`/`len` (addr in host byte
    // order, bits beyond len ignored), or 0.
    uint32_t get(uint32_t addr, int len) const;
    // Stores `key` (> 0x00ffffff) for the prefix, replacing its earlier key.
    void set(uint32_t addr, int len, uint32_t key);
    // Removes the prefix; false when it is not stored.
    bool erase(uint32_t addr, int len);
    // Removes every prefix and pair.
    void clear();

    // Bytes held by the root and the node chunks; nodes linked into the trie.
    size_t memory_bytes() const;
    size_t nodes_in_use() const { return _nodes_used; }

  private:
    struct Node;
    struct Bucket {
        std::atomic<uint32_t> key{0};
        std::atomic<Node*> child{nullptr};
    };
    static constexpr int small_bits = 4;
    static constexpr int small_buckets = 1 << small_bits;
    struct alignas(64) Node {
        Bucket b[small_buckets];
        uint32_t heap[2 * small_buckets - 2] = {};  // writer only
        uint16_t nkeys = 0;                    // non-zero heap entries
        uint16_t nchildren = 0;
    };
    static constexpr int root_bits = 16;
    static constexpr uint32_t root_buckets = 1u << root_bits;

    // The key a lookup of `addr` ends with (0: none). Bounded to four levels
    // below the root even when a concurrent writer relinks nodes.
    uint32_t walk(uint32_t addr) const {
        uint32_t key = _default_key.load(std::memory_order_acquire);
        const Bucket* b = &_root[addr >> 16];
        uint32_t k = b->key.load(std::memory_order_acquire);
        const Node* n = b->child.load(std::memory_order_acquire);
        if (k)
            key = k;
        for (int shift = 12; n && shift >= 0; shift -= small_bits) {
            b = &n->b[(addr >> shift) & (small_buckets - 1)];
            k = b->key.load(std::memory_order_acquire);
            n = b->child.load(std::memory_order_acquire);
            if (k)
                key = k;
        }
        return key;
    }

    // One level of a path: its buckets, heap and width; node null at the root.
    struct Level {
        Bucket* b;
        uint32_t* heap;
        int bits;
        int start;  // address bits above this level
        Node* node;
    };
    Level root_level() const;
    static Level node_level(Node* n, int start) { return Level{n->b, n->heap, small_bits, start, n}; }
    // Fills path[0..] down to the level that holds a /len prefix; returns the
    // number of levels, or 0 when a node is missing and `create` is false.
    int descend(uint32_t addr, int len, bool create, Level* path);
    static uint32_t heap_index(int depth, uint32_t v) { return (1u << depth) - 2 + v; }
    static uint32_t nearest_shorter(const Level& l, int depth, uint32_t v);
    Node* new_node();
    void free_subtree(Node* n);

    // Reader-side state on its own cache line.
    alignas(64) std::atomic<uint32_t> _seq{0};
    std::atomic<uint32_t> _default_key{0};
    Bucket* _root = nullptr;
    alignas(64) std::atomic<uint64_t> _pairs[max_pairs];  // gateway << 32 | port

    // Writer-only state.
    uint32_t* _root_heap = nullptr;
    uint32_t _pair_refs[max_pairs] = {};
    int _depth = 0;  // open updates
    std::vector<Node*> _free;
    std::vector<std::pair<void*, size_t>> _chunks;
    size_t _nodes_used = 0;
};
