#include "common/radixtrie.hh"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t huge_page = size_t(2) << 20;

// Zeroed memory of at least `bytes`, rounded up in place to a multiple of
// `align`; regions of half a huge page or more take whole huge pages and are
// offered to the kernel's huge pages, which spares lookups most TLB misses.
void* zeroed_region(size_t& bytes, size_t align) {
    if (bytes >= huge_page / 2)
        align = huge_page;
    bytes = (bytes + align - 1) / align * align;
    void* p = std::aligned_alloc(align, bytes);
    if (!p)
        throw std::bad_alloc();
    if (align == huge_page)
        madvise(p, bytes, MADV_HUGEPAGE);
    std::memset(p, 0, bytes);
    return p;
}

}  // namespace

RadixTrie::RadixTrie() {
    size_t bytes = sizeof(Bucket) * root_buckets + sizeof(uint32_t) * (2 * root_buckets - 2);
    void* region = zeroed_region(bytes, 64);
    _root = static_cast<Bucket*>(region);
    for (uint32_t i = 0; i < root_buckets; ++i)
        new (&_root[i]) Bucket;
    _root_heap = reinterpret_cast<uint32_t*>(static_cast<char*>(region) + sizeof(Bucket) * root_buckets);
    _chunks.emplace_back(region, bytes);
}

RadixTrie::~RadixTrie() {
    for (auto& c : _chunks)
        std::free(c.first);
}

void RadixTrie::begin_update() {
    if (_depth++ == 0)
        _seq.store(_seq.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void RadixTrie::end_update() {
    if (--_depth == 0)
        _seq.store(_seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

int RadixTrie::acquire_pair(uint32_t gw, int32_t port) {
    uint64_t v = uint64_t(gw) << 32 | uint32_t(port);
    int free_slot = -1;
    for (int i = 0; i < max_pairs; ++i) {
        if (_pair_refs[i] == 0) {
            if (free_slot < 0)
                free_slot = i;
        } else if (_pairs[i].load(std::memory_order_relaxed) == v) {
            ++_pair_refs[i];
            return i + 1;
        }
    }
    if (free_slot < 0)
        return -1;
    Update u(*this);
    _pairs[free_slot].store(v, std::memory_order_release);
    _pair_refs[free_slot] = 1;
    return free_slot + 1;
}

void RadixTrie::release_pair(int pair) {
    if (pair >= 1 && pair <= max_pairs && _pair_refs[pair - 1] > 0)
        --_pair_refs[pair - 1];
}

void RadixTrie::rebind_pair(int pair, uint32_t gw, int32_t port) {
    if (pair < 1 || pair > max_pairs)
        return;
    Update u(*this);
    _pairs[pair - 1].store(uint64_t(gw) << 32 | uint32_t(port), std::memory_order_release);
}

int RadixTrie::pairs_in_use() const {
    int n = 0;
    for (uint32_t r : _pair_refs)
        n += r > 0;
    return n;
}

RadixTrie::Level RadixTrie::root_level() const { return Level{_root, _root_heap, root_bits, 0, nullptr}; }

RadixTrie::Node* RadixTrie::new_node() {
    if (_free.empty()) {
        // Chunks double from 64 nodes up to a huge page.
        size_t bytes = std::min(size_t(64) * sizeof(Node) << std::min<size_t>(_chunks.size() - 1, 16), huge_page);
        void* region = zeroed_region(bytes, alignof(Node));
        _chunks.emplace_back(region, bytes);
        size_t n = bytes / sizeof(Node);
        Node* nodes = static_cast<Node*>(region);
        _free.reserve(_free.size() + n);
        for (size_t i = n; i-- > 0;)
            _free.push_back(new (&nodes[i]) Node());
    }
    Node* n = _free.back();
    _free.pop_back();
    ++_nodes_used;
    return n;
}

int RadixTrie::descend(uint32_t addr, int len, bool create, Level* path) {
    int nlevels = 0;
    Level l = root_level();
    path[nlevels++] = l;
    while (len > l.start + l.bits) {
        Bucket& b = l.b[(addr >> (32 - l.start - l.bits)) & ((1u << l.bits) - 1)];
        Node* c = b.child.load(std::memory_order_relaxed);
        if (!c) {
            if (!create)
                return 0;
            c = new_node();
            // The node is all zero (new or emptied before it was freed).
            b.child.store(c, std::memory_order_release);
            if (l.node)
                ++l.node->nchildren;
        }
        l = node_level(c, l.start + l.bits);
        path[nlevels++] = l;
    }
    return nlevels;
}

uint32_t RadixTrie::nearest_shorter(const Level& l, int depth, uint32_t v) {
    for (int d = depth - 1; d >= 1; --d)
        if (uint32_t k = l.heap[heap_index(d, v >> (depth - d))])
            return k;
    return 0;
}

uint32_t RadixTrie::get(uint32_t addr, int len) const {
    if (len <= 0)
        return _default_key.load(std::memory_order_relaxed);
    if (len > 32)
        return 0;
    Level path[5];
    int n = const_cast<RadixTrie*>(this)->descend(addr, len, false, path);
    if (!n)
        return 0;
    const Level& l = path[n - 1];
    int depth = len - l.start;
    return l.heap[heap_index(depth, (addr >> (32 - len)) & ((1u << depth) - 1))];
}

void RadixTrie::set(uint32_t addr, int len, uint32_t key) {
    Update u(*this);
    if (len <= 0) {
        _default_key.store(key, std::memory_order_release);
        return;
    }
    if (len > 32)
        return;
    Level path[5];
    int n = descend(addr, len, true, path);
    const Level& l = path[n - 1];
    int depth = len - l.start;
    uint32_t v = (addr >> (32 - len)) & ((1u << depth) - 1);
    uint32_t& slot = l.heap[heap_index(depth, v)];
    // The buckets this prefix takes are those held by its earlier key, or by
    // the nearest shorter prefix in the node when it is new; longer prefixes
    // keep theirs.
    uint32_t held = slot ? slot : nearest_shorter(l, depth, v);
    if (!slot && l.node)
        ++l.node->nkeys;
    slot = key;
    uint32_t first = v << (l.bits - depth), count = 1u << (l.bits - depth);
    for (uint32_t i = first; i < first + count; ++i)
        if (l.b[i].key.load(std::memory_order_relaxed) == held)
            l.b[i].key.store(key, std::memory_order_release);
}

bool RadixTrie::erase(uint32_t addr, int len) {
    Update u(*this);
    if (len <= 0) {
        bool had = _default_key.load(std::memory_order_relaxed) != 0;
        _default_key.store(0, std::memory_order_release);
        return had;
    }
    if (len > 32)
        return false;
    Level path[5];
    int n = descend(addr, len, false, path);
    if (!n)
        return false;
    const Level& l = path[n - 1];
    int depth = len - l.start;
    uint32_t v = (addr >> (32 - len)) & ((1u << depth) - 1);
    uint32_t& slot = l.heap[heap_index(depth, v)];
    uint32_t key = slot;
    if (!key)
        return false;
    slot = 0;
    uint32_t heir = nearest_shorter(l, depth, v);
    uint32_t first = v << (l.bits - depth), count = 1u << (l.bits - depth);
    for (uint32_t i = first; i < first + count; ++i)
        if (l.b[i].key.load(std::memory_order_relaxed) == key)
            l.b[i].key.store(heir, std::memory_order_release);
    if (l.node)
        --l.node->nkeys;
    // Unlink nodes left with neither prefixes nor children, bottom up. Their
    // buckets are all zero by now, ready for reuse.
    for (int i = n - 1; i >= 1; --i) {
        Node* node = path[i].node;
        if (node->nkeys || node->nchildren)
            break;
        const Level& up = path[i - 1];
        up.b[(addr >> (32 - up.start - up.bits)) & ((1u << up.bits) - 1)].child.store(nullptr, std::memory_order_release);
        if (up.node)
            --up.node->nchildren;
        _free.push_back(node);
        --_nodes_used;
    }
    return true;
}

void RadixTrie::free_subtree(Node* n) {
    for (Bucket& b : n->b) {
        if (Node* c = b.child.load(std::memory_order_relaxed))
            free_subtree(c);
        b.child.store(nullptr, std::memory_order_release);
        b.key.store(0, std::memory_order_release);
    }
    std::memset(n->heap, 0, sizeof n->heap);
    n->nkeys = n->nchildren = 0;
    _free.push_back(n);
    --_nodes_used;
}

void RadixTrie::clear() {
    Update u(*this);
    _default_key.store(0, std::memory_order_release);
    for (uint32_t i = 0; i < root_buckets; ++i) {
        Bucket& b = _root[i];
        if (Node* c = b.child.load(std::memory_order_relaxed)) {
            free_subtree(c);
            b.child.store(nullptr, std::memory_order_release);
        }
        b.key.store(0, std::memory_order_release);
    }
    std::memset(_root_heap, 0, sizeof(uint32_t) * (2 * root_buckets - 2));
    for (int i = 0; i < max_pairs; ++i) {
        _pairs[i].store(0, std::memory_order_release);
        _pair_refs[i] = 0;
    }
}

size_t RadixTrie::memory_bytes() const {
    size_t n = 0;
    for (auto& c : _chunks)
        n += c.second;
    return n;
}
