// A tiny element package for the package-loading tests: one class,
// "TestPkgMark", which writes 0x5A into annotation byte 48.
#include <host/element.hh>
#include <host/package.hh>

namespace {

class TestPkgMark : public Element {
 public:
    const char* class_name() const override { return "TestPkgMark"; }
    const char* port_count() const override { return PORTS_1_1; }
    Packet* simple_action(Packet* p) override {
        p->set_anno_u8(48, 0x5A);
        return p;
    }
};

int type_id = -1;

}  // namespace

extern "C" int init_module() {
    click_provide("quilotestpkg");
    type_id = click_add_element_type("TestPkgMark", [](uintptr_t) -> Element* { return new TestPkgMark; }, 0);
    return type_id > 0 ? 0 : -1;
}

extern "C" void cleanup_module() {
    click_remove_element_type(type_id);
    click_unprovide("quilotestpkg");
}
