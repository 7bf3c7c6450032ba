#include <host/glue.hh>
#include <host/packet.hh>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> bytes(size_t n, unsigned char seed = 1) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (unsigned char) (seed + i * 7);
    return v;
}

TEST(Packet, MakeWithHeadroomAndTailroom) {
    auto d = bytes(100);
    WritablePacket* p = Packet::make(40, d.data(), 100, 20);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length(), 100u);
    EXPECT_GE(p->headroom(), 40u);
    EXPECT_GE(p->tailroom(), 20u);
    EXPECT_EQ(memcmp(p->data(), d.data(), 100), 0);
    EXPECT_FALSE(p->shared());
    EXPECT_FALSE(p->has_network_header());
    EXPECT_TRUE(p->timestamp_anno().is_zero());
    for (int i = 0; i < Packet::anno_size; ++i)
        EXPECT_EQ(p->anno_u8(i), 0);
    p->kill();

    // Large packets come from outside the pool.
    WritablePacket* big = Packet::make(0, nullptr, 100000, 0);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->length(), 100000u);
    big->kill();
    EXPECT_EQ(Packet::make(0, nullptr, Packet::max_buffer_length, 1), nullptr);
}

TEST(Packet, PushPullPutTakeAndGrowth) {
    auto d = bytes(64);
    WritablePacket* p = Packet::make(8, d.data(), 64, 0);
    ASSERT_TRUE(p);
    p->set_network_header(p->data() + 4, 20);
    // push within headroom keeps the buffer
    const unsigned char* buf = p->buffer();
    p = p->push(8);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->buffer(), buf);
    memset(p->data(), 0xAA, 8);
    // push beyond headroom grows at the front, keeping data and headers
    p = p->push(100);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length(), 172u);
    EXPECT_EQ(p->data()[100], 0xAA);
    EXPECT_EQ(memcmp(p->data() + 108, d.data(), 64), 0);
    EXPECT_EQ(p->network_header_offset(), 112);
    EXPECT_EQ(p->network_header_length(), 20u);
    EXPECT_EQ(p->transport_header_offset(), 132);
    p->pull(108);
    EXPECT_EQ(memcmp(p->data(), d.data(), 64), 0);
    EXPECT_EQ(p->network_header_offset(), 4);
    // put beyond tailroom grows at the back
    uint32_t room = p->tailroom();
    p = p->put(room + 500);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length(), 64u + room + 500);
    EXPECT_EQ(memcmp(p->data(), d.data(), 64), 0);
    p->take(room + 500);
    EXPECT_EQ(p->length(), 64u);
    // over-long pull/take clamp
    p->take(1000);
    EXPECT_EQ(p->length(), 0u);
    p->pull(5);
    EXPECT_EQ(p->length(), 0u);
    p->kill();
}

TEST(Packet, CloneSharesAndUniqueifyCopies) {
    auto d = bytes(80);
    WritablePacket* p = Packet::make(d.data(), 80);
    p->set_anno_u32(4, 0xdeadbeef);
    p->set_mac_header(p->data(), 14);
    Packet* c = p->clone();
    ASSERT_TRUE(c);
    EXPECT_TRUE(p->shared());
    EXPECT_TRUE(c->shared());
    EXPECT_EQ(c->data(), p->data());
    EXPECT_EQ(c->anno_u32(4), 0xdeadbeefu);
    EXPECT_EQ(c->mac_header_offset(), 0);
    EXPECT_EQ(c->network_header_offset(), 14);

    WritablePacket* w = c->uniqueify();
    ASSERT_TRUE(w);
    EXPECT_NE(w->data(), p->data());
    EXPECT_FALSE(p->shared());
    EXPECT_FALSE(w->shared());
    w->data()[0] ^= 0xFF;
    EXPECT_EQ(p->data()[0], d[0]);     // the original is untouched
    EXPECT_EQ(w->network_header_offset(), 14);
    EXPECT_EQ(w->anno_u32(4), 0xdeadbeefu);

    // push on a shared packet copies too
    Packet* c2 = p->clone();
    WritablePacket* q = c2->push(4);
    ASSERT_TRUE(q);
    memset(q->data(), 1, 4);
    EXPECT_EQ(memcmp(p->data(), d.data(), 80), 0);
    q->kill();
    w->kill();
    p->kill();
}

TEST(Packet, AnnotationsUnalignedAnyOffset) {
    WritablePacket* p = Packet::make(10);
    for (int off = 0; off <= Packet::anno_size - 8; ++off) {
        p->set_anno_u64(off, 0x0102030405060708ULL + off);
        EXPECT_EQ(p->anno_u64(off), 0x0102030405060708ULL + off);
    }
    for (int off = 0; off <= 94; ++off) {
        p->set_anno_u16(off, uint16_t(0xA000 + off));
        EXPECT_EQ(p->anno_u16(off), 0xA000 + off);
    }
    for (int off = 0; off <= 92; ++off) {
        p->set_anno_u32(off, 0x11223344u + off);
        EXPECT_EQ(p->anno_u32(off), 0x11223344u + off);
    }
    p->clear_annotations();
    // Writes at 57 (16 bits) and 62 (32 bits) do not disturb neighbours.
    p->set_anno_u16(57, 0xBEEF);
    p->set_anno_u32(62, 0xCAFEF00D);
    EXPECT_EQ(p->anno_u8(56), 0);
    EXPECT_EQ(p->anno_u8(59), 0);
    EXPECT_EQ(p->anno_u8(61), 0);
    EXPECT_EQ(p->anno_u8(66), 0);
    EXPECT_EQ(p->anno_u16(57), 0xBEEF);
    EXPECT_EQ(p->anno_u32(62), 0xCAFEF00Du);

    p->set_dst_ip_anno(IPAddress(htonl(0x0A000001)));
    EXPECT_EQ(p->anno_u8(0), 10);
    EXPECT_EQ(p->anno_u8(3), 1);
    EXPECT_EQ(p->dst_ip_anno().hostorder(), 0x0A000001u);
    p->set_anno_u8(PAINT_ANNO_OFFSET, 7);
    p->set_anno_u16(VLAN_TCI_ANNO_OFFSET, 100);
    Timestamp t = Timestamp::make_nsec(1234567890123LL);
    p->set_timestamp_anno(t);

    Packet* c = p->clone();
    EXPECT_EQ(c->timestamp_anno(), t);
    EXPECT_EQ(c->anno_u8(PAINT_ANNO_OFFSET), 7);
    WritablePacket* q = Packet::make(1);
    q->copy_annotations(p);
    EXPECT_EQ(q->anno_u16(VLAN_TCI_ANNO_OFFSET), 100);
    EXPECT_EQ(q->timestamp_anno(), t);
    q->kill();
    c->kill();
    p->kill();
}

TEST(Packet, PoolRecyclesBuffers) {
    // A killed packet's buffer comes back on the next make on this thread.
    WritablePacket* p = Packet::make(64);
    const unsigned char* b = p->buffer();
    p->kill();
    WritablePacket* q = Packet::make(64);
    EXPECT_EQ(q->buffer(), b);
    q->kill();

    // Packets made on one thread and killed on another are not lost.
    std::vector<Packet*> v;
    for (int i = 0; i < 3000; ++i)
        v.push_back(Packet::make(100));
    std::thread t([&] {
        for (Packet* x : v)
            x->kill();
    });
    t.join();
    for (int i = 0; i < 3000; ++i)
        v[i] = Packet::make(100);
    for (Packet* x : v)
        x->kill();
}

TEST(Timestamp, ArithmeticAndText) {
    Timestamp a = Timestamp::make_msec(1500);
    EXPECT_EQ(a.sec(), 1);
    EXPECT_EQ(a.msec(), 500u);
    EXPECT_EQ(a.unparse(), "1.500000000");
    Timestamp n = Timestamp::make_nsec(-1);
    EXPECT_EQ(n.sec(), -1);
    EXPECT_EQ(n.subsec(), 999999999u);
    EXPECT_EQ(n.unparse(), "-0.000000001");
    EXPECT_EQ((a - Timestamp::make_sec(2)).msecval(), -500);
    EXPECT_EQ(Timestamp(2.25).msecval(), 2250);
    EXPECT_LT(Timestamp::make_usec(1), Timestamp::make_usec(2));
    EXPECT_EQ(sizeof(Timestamp), 8u);
    // jiffies and packet timestamps share the wall clock
    uint32_t j = click_jiffies();
    int64_t ms = Timestamp::now().msecval();
    EXPECT_LE(uint32_t(uint32_t(ms) - j), 50u);
}

}  // namespace
