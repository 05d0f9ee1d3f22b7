// The process-wide registry of loaded libraries and the common, remote and default libraries.
//
// Nothing here locks: loading and unloading must not overlap any other call (the caller serialises
// them). The three cached pointers are read on every forwarded call, so their fast paths are inline.
#pragma once

#include "loader/api.h"

namespace tvx::registry {

namespace detail {
struct Caches {
    API* common = nullptr;
    API* remote = nullptr;
    API* fallback = nullptr;  // the default library once a common library has been found
};
extern Caches caches;
API* common_slow() noexcept;
API* remote_slow() noexcept;
API* default_slow() noexcept;
}  // namespace detail

// The library registered under exactly `name`, or null. Changes no count and no cache.
API* find(const char* name) noexcept;

// The library registered as "common", cached once found.
inline API* common() noexcept {
    API* lib = detail::caches.common;
    return lib != nullptr ? lib : detail::common_slow();
}

// The library registered as "remote", cached once found.
inline API* remote() noexcept {
    API* lib = detail::caches.remote;
    return lib != nullptr ? lib : detail::remote_slow();
}

// The common library when one is registered (then for good), else the library loaded first among
// those still registered, else null.
inline API* default_library() noexcept {
    API* lib = detail::caches.fallback;
    return lib != nullptr ? lib : detail::default_slow();
}

// Loads `path` + the platform suffix under `name`, or counts one more load of a known name.
// Throws std::runtime_error or std::logic_error with the message the caller sees.
void load(const char* path, const char* name, int options);

// Releases one load of `name`; the empty name destroys every library at once.
void unload(const char* name);

// Libraries currently registered, in load order (for diagnostics and tests).
std::size_t size() noexcept;

}  // namespace tvx::registry
