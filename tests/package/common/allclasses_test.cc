// The complete package: every class of the registration table exists. Loads
// the package, creates each of the 53 classes by its registered name, checks
// the fixed ids 0 to 52 in table order and a factory for each, and that no id
// above 52 builds anything; then asks the driver for its class list.
#include <gtest/gtest.h>

#include <host/element.hh>
#include <host/package.hh>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/registration.hh"
#include "testrouter.hh"

TEST(AllClasses, EveryRegisteredClassExists) {
    quilo_test::load_package();
    quilo::RegisteredType types[64];
    size_t n = quilo::registered_types(types, 64);
    EXPECT_EQ(n, 53u);
    for (size_t i = 0; i < n && i < 64; ++i)
        EXPECT_EQ(types[i].fixed_id, int(i)) << "registered out of table order, or a class is missing before it";
    for (int id = 0; id < quilo::element_count; ++id) {
        const char* name = quilo::element_table[id].name;
        Element* e = click_create_element(name);
        if (!e || !quilo::factory(id)) {
            ADD_FAILURE() << "class " << name << " (id " << id << ") does not exist";
            delete e;
            continue;
        }
        EXPECT_STREQ(e->class_name(), std::strcmp(name, "WNull") == 0 ? "WNullElement" : name);
        delete e;
    }
    for (uintptr_t id : {uintptr_t(53), uintptr_t(54), uintptr_t(1) << 20})
        EXPECT_EQ(quilo::create_element(id), nullptr);

    // The driver lists them once the package is required.
    const char* build = getenv("QUILO_BUILD_DIR");
    std::string router = std::string(build ? build : "build") + "/bin/quilo-router";
    if (access(router.c_str(), X_OK) != 0)
        return;
    std::string out;
    if (FILE* p = popen((router + " -q -e 'require(package \"quilo\");' -h classes 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    for (const quilo::ElementRow& r : quilo::element_table)
        EXPECT_NE(out.find(std::string(r.name) + "\n"), std::string::npos) << r.name << " missing from:\n" << out;
}
