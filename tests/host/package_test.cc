// Package loading through a small package built with the tests.
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/package.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string libdir() {
    const char* b = getenv("QUILO_BUILD_DIR");
    return std::string(b ? b : "build") + "/lib";
}

// Reads annotation byte 48 of every packet into a counter handler.
class MarkCheck : public Element {
 public:
    const char* class_name() const override { return "MarkCheck"; }
    const char* port_count() const override { return PORTS_1_1; }
    Packet* simple_action(Packet* p) override {
        if (p->anno_u8(48) == 0x5A)
            ++marked;
        return p;
    }
    int marked = 0;
};

TEST(Package, RequireLoadsRunsAndUnloads) {
    click_add_element_type<MarkCheck>("MarkCheck");
    setenv("QUILO_PACKAGE_PATH", libdir().c_str(), 1);
    EXPECT_FALSE(click_element_type_exists("TestPkgMark"));

    Master m(1);
    StringErrorHandler errh;
    Router* r = Router::create("require(package \"quilotestpkg\");\n"
                               "InfiniteSource(LIMIT 7, STOP true) -> TestPkgMark -> k :: MarkCheck -> Discard;",
                               "pkg.click", {}, &errh, &m);
    ASSERT_TRUE(r) << errh.text();
    ASSERT_EQ(r->initialize(&errh), 0) << errh.text();
    EXPECT_TRUE(click_has_provision("quilotestpkg"));
    EXPECT_NE(HandlerCall::call_read(r, "classes").find("TestPkgMark\n"), std::string::npos);
    m.run(r);
    EXPECT_EQ(static_cast<MarkCheck*>(r->find("k"))->marked, 7);
    EXPECT_EQ(HandlerCall::call_read(r, "requirements"), "package quilotestpkg\n");
    delete r;

    // Loading again (by file) is a no-op; unloading runs cleanup_module.
    EXPECT_EQ(click_load_package_file(libdir() + "/libquilotestpkg.so", &errh), 0);
    click_unload_packages();
    EXPECT_FALSE(click_has_provision("quilotestpkg"));
    EXPECT_FALSE(click_element_type_exists("TestPkgMark"));
}

TEST(Package, MissingPackagesAreErrors) {
    StringErrorHandler errh;
    Router* r = Router::create("require(package \"no-such-package\"); Idle -> Discard;", "x.click", {}, &errh);
    EXPECT_FALSE(r);
    EXPECT_NE(errh.text().find("x.click:1: package 'no-such-package' not found"), std::string::npos) << errh.text();
    StringErrorHandler e2;
    EXPECT_LT(click_load_package_file("/nonexistent/libfoo.so", &e2), 0);
    EXPECT_NE(e2.text().find("cannot load package"), std::string::npos);
    // A shared object without init_module is not a package.
    StringErrorHandler e3;
    EXPECT_LT(click_load_package_file(libdir() + "/libquilohost.so", &e3), 0);
    EXPECT_NE(e3.text().find("not a package"), std::string::npos) << e3.text();
}

TEST(Package, RegistryReplacesAndRemoves) {
    int a = click_add_element_type("RegTestClass", [](uintptr_t) -> Element* { return new MarkCheck; }, 0);
    int b = click_add_element_type("RegTestClass", [](uintptr_t) -> Element* { return new MarkCheck; }, 1);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, a);
    EXPECT_TRUE(click_element_type_exists("RegTestClass"));
    click_remove_element_type(b);
    EXPECT_TRUE(click_element_type_exists("RegTestClass"));
    click_remove_element_type(a);
    EXPECT_FALSE(click_element_type_exists("RegTestClass"));
    EXPECT_EQ(click_create_element("RegTestClass"), nullptr);
    EXPECT_EQ(click_add_element_type("", nullptr, 0), -1);
}

}  // namespace
