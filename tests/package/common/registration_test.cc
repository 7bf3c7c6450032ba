// The registration table: fixed ids, unique names and ids, factories that
// build the class they are registered for, and init/cleanup symmetry.
#include <gtest/gtest.h>

#include <host/package.hh>

#include <cstring>
#include <set>
#include <string>

#include "common/registration.hh"
#include "testrouter.hh"

TEST(Registration, TableHasFixedUniqueIds) {
    std::set<int> ids;
    std::set<std::string> names;
    for (int i = 0; i < quilo::element_count; ++i) {
        EXPECT_EQ(quilo::element_table[i].id, i);
        ids.insert(quilo::element_table[i].id);
        names.insert(quilo::element_table[i].name);
    }
    EXPECT_EQ(ids.size(), 53u);
    EXPECT_EQ(names.size(), 53u);
    // Spot checks of the fixed ids that configurations and peers rely on.
    static_assert(quilo::element_id("WCCC") == 0);
    static_assert(quilo::element_id("WConf") == 16);
    static_assert(quilo::element_id("WNull") == 24);
    static_assert(quilo::element_id("SessionManager") == 48);
    static_assert(quilo::element_id("Stacker") == 52);
    static_assert(quilo::element_id("WNullElement") == -1);
    static_assert(quilo::element_id("NDPIDetector") == -1);
}

TEST(Registration, FactoriesBuildTheirOwnClass) {
    quilo_test::load_package();
    int attached = 0;
    for (int id = 0; id < quilo::element_count; ++id) {
        Element* e = quilo::create_element(uintptr_t(id));
        if (!e) {
            EXPECT_EQ(quilo::factory(id), nullptr);
            continue;
        }
        ++attached;
        const char* name = quilo::element_table[id].name;
        // The registered name is the class name, except WNull (class WNullElement).
        if (std::strcmp(name, "WNull") != 0) {
            EXPECT_STREQ(e->class_name(), name) << "id " << id;
        }
        EXPECT_NE(e->cast(e->class_name()), nullptr) << name;
        EXPECT_TRUE(click_element_type_exists(name)) << name;
        delete e;
    }
    // The spine's own classes are always there.
    for (const char* n : {"WConf", "WSetDirection", "WSetRXLen", "SessionManager"})
        EXPECT_NE(quilo::factory(quilo::element_id(n)), nullptr) << n;
    EXPECT_GE(attached, 4);
    for (uintptr_t id : {uintptr_t(53), uintptr_t(54), uintptr_t(1000), ~uintptr_t(0)})
        EXPECT_EQ(quilo::create_element(id), nullptr);
}

TEST(Registration, InitAndCleanupAreSymmetric) {
    quilo_test::load_package();
    quilo::RegisteredType types[64];
    size_t n = quilo::registered_types(types, 64);
    ASSERT_GE(n, 4u);
    int prev = -1;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_GT(types[i].fixed_id, prev);  // id order
        prev = types[i].fixed_id;
        EXPECT_NE(quilo::factory(types[i].fixed_id), nullptr);
        EXPECT_GT(types[i].host_id, 0);
    }
    EXPECT_TRUE(click_has_provision("quilo"));

    cleanup_module();
    EXPECT_FALSE(click_has_provision("quilo"));
    EXPECT_EQ(quilo::registered_types(types, 64), 0u);
    EXPECT_FALSE(click_element_type_exists("SessionManager"));
    EXPECT_FALSE(click_element_type_exists("WConf"));
    // Rows without an element never appear as stand-ins.
    for (int id = 0; id < quilo::element_count; ++id)
        if (!quilo::factory(id)) {
            EXPECT_FALSE(click_element_type_exists(quilo::element_table[id].name)) << quilo::element_table[id].name;
        }

    ASSERT_EQ(init_module(), 0);
    EXPECT_EQ(quilo::registered_types(types, 64), n);
    EXPECT_TRUE(click_element_type_exists("SessionManager"));
}
