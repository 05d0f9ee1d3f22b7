#include "loader/registry.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace tvx::registry {

namespace {
API* empty_library() noexcept {
    // Built on first use and never destroyed; all its slots stay empty.
    static API* lib = new API("", 1);
    return lib;
}
}  // namespace

namespace detail {
Caches caches = {empty_library(), empty_library(), empty_library(), empty_library()};
}

namespace {

// Libraries by name, and the same libraries in load order, which decides the default library when
// no common library is registered.
struct Registry {
    std::unordered_map<std::string, API*> by_name;
    std::vector<API*> in_order;
};

// Created on first use and never destroyed: libraries still registered at exit stay loaded.
Registry& the_registry() {
    static Registry* registry = new Registry;
    return *registry;
}

void refresh_caches() noexcept;

// Unloaded libraries, newest first. Never destroyed, like the registry.
APIBase* retired = nullptr;

// Destroys a library after the caches have forgotten it, so no call reaches it afterwards through
// them. One that handed out handles keeps its record, retired (some 10 KB): a handle the caller
// still holds then reaches an empty entry table, and its calls report the missing entry instead of
// reading freed memory.
void destroy(API* lib) noexcept {
    if (!lib->handed_out_handles()) {
        delete lib;
        return;
    }
    lib->retire();
    lib->next_retired = retired;
    retired = lib;
}

void forget(API* lib) {
    Registry& r = the_registry();
    r.by_name.erase(lib->name);
    for (auto it = r.in_order.begin(); it != r.in_order.end(); ++it) {
        if (*it == lib) {
            r.in_order.erase(it);
            break;
        }
    }
}

}  // namespace

API* find(const char* name) noexcept {
    Registry& r = the_registry();
    auto it = r.by_name.find(name);
    return it == r.by_name.end() ? nullptr : it->second;
}

namespace {

// The common library is whatever is registered as "common"; the default library is the common one,
// else the library loaded first among those registered.
void refresh_caches() noexcept {
    auto& c = detail::caches;
    API* const empty = none();
    API* common = find("common");
    API* remote = find("remote");
    c.common = common != nullptr ? common : empty;
    c.remote = remote != nullptr ? remote : empty;
    const Registry& r = the_registry();
    c.fallback = common != nullptr ? common : r.in_order.empty() ? empty : r.in_order.front();
}

}  // namespace

void load(const char* path, const char* name, int options) {
    if (path == nullptr) throw std::invalid_argument("Unable to load API: the path is null");
    if (name == nullptr) throw std::invalid_argument("Unable to load API: the name is null");
    Registry& r = the_registry();
    if (auto it = r.by_name.find(name); it != r.by_name.end()) {
        ++it->second->reference_count;  // the first load's path and options stay in force
        return;
    }
    auto lib = std::make_unique<API>(name, options);
    const std::string file = std::string(path) + platform::module_suffix();
    lib->module = platform::load_module(file.c_str());
    if (lib->module == nullptr) {
        const platform::LoadError e = platform::last_error();
        std::string text = "Unable to load " + file + ". Error code is " + std::to_string(e.code);
        if (e.code == 126)
            text += ": Module could not be found.";
        else
            text += ": For detailed information on this error code, look at " + e.detail;
        throw std::runtime_error(text);
    }
    // A strict failure throws here; the unique_ptr then releases the library and its module.
    lib->loadFunctions();
    r.in_order.reserve(r.in_order.size() + 1);
    r.by_name.emplace(name, lib.get());
    r.in_order.push_back(lib.release());
    refresh_caches();
}

void unload(const char* name) {
    if (name == nullptr) throw std::invalid_argument("Unable to unload API: the name is null");
    Registry& r = the_registry();
    auto it = r.by_name.find(name);
    if (it == r.by_name.end()) throw std::runtime_error(std::string("Unable to unload API '") + name + "': Not found");
    if (*name == '\0') {
        std::vector<API*> all;
        all.swap(r.in_order);
        r.by_name.clear();
        refresh_caches();
        for (API* lib : all) destroy(lib);
        return;
    }
    API* lib = it->second;
    if (--lib->reference_count == 0) {
        forget(lib);
        refresh_caches();
        destroy(lib);
    }
}

std::size_t size() noexcept { return the_registry().in_order.size(); }

}  // namespace tvx::registry
