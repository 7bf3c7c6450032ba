// The element class registry, provisions and package loading.
#include <host/errorhandler.hh>
#include <host/package.hh>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>

namespace {

struct ElementType {
    std::string name;
    ElementFactory factory = nullptr;
    uintptr_t thunk = 0;
};

struct Registry {
    std::mutex lock;
    std::vector<ElementType> types;                 // id - 1
    std::map<std::string, std::vector<int>> by_name; // latest registration last
    std::multiset<std::string> provisions;
    struct Package {
        std::string path;
        void* handle;
        void (*cleanup)();
    };
    std::vector<Package> packages;
};

Registry& registry() {
    static Registry* r = new Registry;   // lives for the whole process
    return *r;
}

std::string dir_of(const std::string& path) {
    size_t s = path.rfind('/');
    return s == std::string::npos ? std::string(".") : path.substr(0, s);
}

bool file_exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

extern "C" int click_add_element_type(const char* name, ElementFactory factory, uintptr_t thunk) {
    if (!name || !*name || !factory)
        return -1;
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.types.push_back({name, factory, thunk});
    int id = int(r.types.size());
    r.by_name[name].push_back(id);
    return id;
}

extern "C" void click_remove_element_type(int id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (id < 1 || size_t(id) > r.types.size() || !r.types[id - 1].factory)
        return;
    auto& v = r.by_name[r.types[id - 1].name];
    v.erase(std::remove(v.begin(), v.end(), id), v.end());
    if (v.empty())
        r.by_name.erase(r.types[id - 1].name);
    r.types[id - 1].factory = nullptr;
}

extern "C" void click_provide(const char* name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.provisions.insert(name);
}

extern "C" void click_unprovide(const char* name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.provisions.find(name);
    if (it != r.provisions.end())
        r.provisions.erase(it);
}

extern "C" bool click_has_provision(const char* name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.provisions.count(name) > 0;
}

bool click_element_type_exists(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.by_name.count(name) > 0;
}

Element* click_create_element(const std::string& name) {
    ElementFactory f;
    uintptr_t thunk;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.by_name.find(name);
        if (it == r.by_name.end() || it->second.empty())
            return nullptr;
        const ElementType& t = r.types[it->second.back() - 1];
        f = t.factory;
        thunk = t.thunk;
    }
    return f(thunk);
}

std::vector<std::string> click_element_type_names() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<std::string> v;
    for (auto& kv : r.by_name)
        v.push_back(kv.first);
    return v;
}

std::vector<std::string> click_package_path() {
    std::vector<std::string> dirs;
    if (const char* env = getenv("QUILO_PACKAGE_PATH")) {
        std::string s = env;
        size_t b = 0;
        while (b <= s.size()) {
            size_t e = s.find(':', b);
            if (e == std::string::npos)
                e = s.size();
            if (e > b)
                dirs.push_back(s.substr(b, e - b));
            b = e + 1;
        }
    }
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n > 0) {
        buf[n] = 0;
        dirs.push_back(dir_of(buf) + "/../lib");
    }
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&click_package_path), &info) && info.dli_fname)
        dirs.push_back(dir_of(info.dli_fname));
    return dirs;
}

int click_load_package_file(const std::string& path, ErrorHandler* errh) {
    if (!errh)
        errh = ErrorHandler::default_handler();
    char real[PATH_MAX];
    std::string key = realpath(path.c_str(), real) ? std::string(real) : path;
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> g(r.lock);
        for (auto& p : r.packages)
            if (p.path == key)
                return 0;
    }
    void* h = dlopen(key.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return errh->error("cannot load package %<%s%>: %s", path.c_str(), dlerror());
    // Only the object's own definitions count: dlsym also searches its
    // dependencies, and the C library has an init_module of its own.
    auto own = [&](const char* name) -> void* {
        void* sym = dlsym(h, name);
        Dl_info info;
        if (!sym || !dladdr(sym, &info) || !info.dli_fname)
            return nullptr;
        char r2[PATH_MAX];
        if (!realpath(info.dli_fname, r2) || key != r2)
            return nullptr;
        return sym;
    };
    auto init = reinterpret_cast<int (*)()>(own("init_module"));
    auto cleanup = reinterpret_cast<void (*)()>(own("cleanup_module"));
    if (!init) {
        dlclose(h);
        return errh->error("%<%s%> is not a package (no init_module)", path.c_str());
    }
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.packages.push_back({key, h, cleanup});
    }
    int rc = init();
    if (rc != 0)
        return errh->error("package %<%s%>: init_module failed (%d)", path.c_str(), rc);
    return 0;
}

int click_require_package(const std::string& name, ErrorHandler* errh) {
    if (!errh)
        errh = ErrorHandler::default_handler();
    if (click_has_provision(name.c_str()))
        return 0;
    if (name.empty() || name.find('/') != std::string::npos)
        return errh->error("bad package name %<%s%>", name.c_str());
    std::vector<std::string> tried;
    for (auto& d : click_package_path())
        for (auto& f : {d + "/lib" + name + ".so", d + "/" + name + ".so"}) {
            if (!file_exists(f))
                continue;
            int r = click_load_package_file(f, errh);
            if (r < 0)
                return r;
            if (!click_has_provision(name.c_str()))
                click_provide(name.c_str());
            return 0;
        }
    return errh->error("package %<%s%> not found", name.c_str());
}

void click_unload_packages() {
    Registry& r = registry();
    std::vector<Registry::Package> pk;
    {
        std::lock_guard<std::mutex> g(r.lock);
        pk.swap(r.packages);
    }
    for (auto it = pk.rbegin(); it != pk.rend(); ++it)
        if (it->cleanup)
            it->cleanup();
    // Handles stay open: code of a package may still be referenced by
    // objects that outlive it (static destructors, thread-locals).
}
