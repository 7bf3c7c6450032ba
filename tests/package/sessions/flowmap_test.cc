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
    std::unordered_map<IPFlowID, WSessionInfo*> ref;
    std::vector<WSessionInfo> recs(2000);
    for (int step = 0; step < 60000; ++step) {
        uint32_t k = rng() % 2000;
        IPFlowID f = flow(k);
        int op = rng() % 3;
        if (op == 0 && !ref.count(f)) {
            m.insert(f, &recs[k]);
            ref[f] = &recs[k];
        } else if (op == 1) {
            WSessionInfo* got = m.erase(f);
            auto it = ref.find(f);
            ASSERT_EQ(got, it == ref.end() ? nullptr : it->second);
            if (it != ref.end())
                ref.erase(it);
        } else {
            auto it = ref.find(f);
            ASSERT_EQ(m.find(f), it == ref.end() ? nullptr : it->second);
        }
        ASSERT_EQ(m.size(), ref.size());
    }
    size_t seen = 0;
    m.for_each([&](const IPFlowID& k, WSessionInfo* v) {
        ASSERT_EQ(ref.at(k), v);
        ++seen;
    });
    EXPECT_EQ(seen, ref.size());

    FlowMap other;
    other.swap(m);
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(other.size(), ref.size());
    for (auto& [k, v] : ref)
        EXPECT_EQ(other.find(k), v);
    size_t freed = 0;
    other.clear([&](WSessionInfo*) { ++freed; });
    EXPECT_EQ(freed, ref.size());
    EXPECT_EQ(other.find(ref.empty() ? flow(0) : ref.begin()->first), nullptr);
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
