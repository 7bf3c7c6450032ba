// The session manager's hash tables against a reference map, with heavy
// erasure so backward-shift deletion is exercised across wrap-around.
#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sessions/flowmap.hh"
#include "sessions/sessionnotifier.hh"

namespace {

IPFlowID flow(uint32_t i) {
    // Few distinct values per field so keys collide in parts.
    return IPFlowID(IPAddress(i % 7), uint16_t(i % 3), IPAddress(i / 7), uint16_t(i % 5));
}

}  // namespace

TEST(FlowMap, MatchesReferenceUnderRandomOperations) {
    std::mt19937 rng(7);
    FlowMap m;
    std::unordered_map<IPFlowID, uint32_t> ref;  // key -> session id
    for (int step = 0; step < 60000; ++step) {
        uint32_t k = rng() % 2000;
        IPFlowID f = flow(k);
        int op = rng() % 3;
        if (op == 0 && !ref.count(f)) {
            FlowMap::Slot* r = m.insert(f, k + 1);
            ASSERT_EQ(r->session_id, k + 1);
            EXPECT_EQ(r->flags, 0);
            EXPECT_EQ(m.macs(r).wan[0] | m.macs(r).lan[5], 0);  // no leftovers of an erased session
            r->vlan = uint16_t(k);
            m.macs(r).wan[0] = uint8_t(k);
            m.macs(r).lan[5] = uint8_t(k >> 8);
            ref[f] = k + 1;
        } else if (op == 1) {
            ASSERT_EQ(m.erase(f), ref.erase(f) == 1);
        } else {
            auto it = ref.find(f);
            FlowMap::Slot* r = m.find(f);
            ASSERT_EQ(r != nullptr, it != ref.end());
            if (r) {
                // Records move with their slot but keep their contents, the
                // separately stored Ethernet addresses included.
                ASSERT_EQ(r->session_id, it->second);
                ASSERT_EQ(r->vlan, uint16_t(it->second - 1));
                ASSERT_EQ(m.macs(r).wan[0], uint8_t(it->second - 1));
                ASSERT_EQ(m.macs(r).lan[5], uint8_t((it->second - 1) >> 8));
            }
        }
        ASSERT_EQ(m.size(), ref.size());
    }
    size_t seen = 0;
    m.for_each([&](const IPFlowID& k, const FlowMap::Slot& v) {
        ASSERT_EQ(ref.at(k), v.session_id);
        ++seen;
    });
    EXPECT_EQ(seen, ref.size());

    FlowMap other;
    other.swap(m);
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.find(flow(1)), nullptr);
    EXPECT_EQ(other.size(), ref.size());
    for (auto& [k, v] : ref)
        EXPECT_EQ(other.find(k)->session_id, v);
    other.clear();
    EXPECT_EQ(other.size(), 0u);
    EXPECT_EQ(other.find(flow(0)), nullptr);
    other.insert(flow(0), 1);  // usable again after clear
    EXPECT_EQ(other.find(flow(0))->session_id, 1u);
}

TEST(IdSet, MatchesReferenceUnderRandomOperations) {
    std::mt19937 rng(11);
    IdSet s;
    std::unordered_set<uint32_t> ref;
    for (int step = 0; step < 60000; ++step) {
        uint32_t id = rng() % 3000;  // includes 0, which is never stored
        switch (rng() % 3) {
        case 0:
            s.insert(id);
            if (id)
                ref.insert(id);
            break;
        case 1:
            s.erase(id);
            ref.erase(id);
            break;
        default:
            ASSERT_EQ(s.contains(id), ref.count(id) == 1) << id;
        }
        ASSERT_EQ(s.size(), ref.size());
    }
    s.clear();
    EXPECT_EQ(s.size(), 0u);
    EXPECT_FALSE(s.contains(1));
}
