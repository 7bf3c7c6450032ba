// Packages and the element class registry.
//
// A package is a shared object with C-linkage
//   int init_module();      // registers its classes; 0 on success
//   void cleanup_module();  // removes them
// It is loaded with -l FILE, or by `require(package "NAME")` in a
// configuration, which looks for libNAME.so (then NAME.so) next to the
// driver (its ../lib), next to libquilohost.so, and in the directories of
// $QUILO_PACKAGE_PATH (colon-separated).
#ifndef QUILO_HOST_PACKAGE_HH
#define QUILO_HOST_PACKAGE_HH

#include <cstdint>
#include <string>
#include <vector>

class Element;
class ErrorHandler;

typedef Element* (*ElementFactory)(uintptr_t thunk);

extern "C" {
// Registers class `name`; factory(thunk) creates an element.  Returns the
// type id (> 0), or -1 if the name is empty.  A later registration of the
// same name replaces the earlier one until it is removed.
int click_add_element_type(const char* name, ElementFactory factory, uintptr_t thunk);
void click_remove_element_type(int type_id);
// Provisions: names a package announces (require(package "NAME") is met by
// a provision "NAME").
void click_provide(const char* name);
void click_unprovide(const char* name);
bool click_has_provision(const char* name);
}

// Registers T under `name` (T default-constructible).
template <typename T> int click_add_element_type(const char* name) {
    return click_add_element_type(
        name, [](uintptr_t) -> Element* { return new T; }, 0);
}

// Registry queries.
bool click_element_type_exists(const std::string& name);
Element* click_create_element(const std::string& name);
std::vector<std::string> click_element_type_names();

// Loads a package from a file: dlopen, then init_module.  Returns 0 or an
// error (reported).  Loading the same file twice does nothing.
int click_load_package_file(const std::string& path, ErrorHandler* errh);
// Meets require(package "name"): nothing if provided already, else finds
// and loads the file.
int click_require_package(const std::string& name, ErrorHandler* errh);
// Calls cleanup_module of every loaded package, most recent first.
void click_unload_packages();
// Directories searched by click_require_package.
std::vector<std::string> click_package_path();

// Registers a host element class at library load.
#define QUILO_HOST_ELEMENT(T)                                           \
    static const int quilo_host_element_type_##T [[maybe_unused]] =    \
        click_add_element_type<T>(#T)

#endif
