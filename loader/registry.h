// The process-wide registry of loaded libraries and the common, remote and default libraries.
//
// Nothing here locks: loading and unloading must not overlap any other call (the caller serialises
// them). The three libraries an entry without a handle goes to are worked out again whenever the
// registry changes and read with one load on every such call.
#pragma once

#include "loader/api.h"

namespace tvx::registry {

namespace detail {
// The libraries the forwarding entries reach without a handle, kept current by every load and
// unload: never null, the empty library standing for "none".
struct Caches {
    API* common;
    API* remote;
    API* fallback;  // the default library
    API* empty;     // the library with no entries
};
extern Caches caches;
}  // namespace detail

// A library with no entries: what a call reaches when no library is there to reach. Every slot is
// empty, so the call reports the missing entry like any other.
inline API* none() noexcept { return detail::caches.empty; }

// The library registered under exactly `name`, or null. Changes no count and no cache.
API* find(const char* name) noexcept;

// The library registered as "common", or the empty library.
inline API* dispatch_common() noexcept { return detail::caches.common; }
// The library registered as "remote", or the empty library.
inline API* dispatch_remote() noexcept { return detail::caches.remote; }
// The default library (below), or the empty library.
inline API* dispatch_default() noexcept { return detail::caches.fallback; }

// The same three libraries, or null.
inline API* common() noexcept {
    API* lib = detail::caches.common;
    return lib != none() ? lib : nullptr;
}
inline API* remote() noexcept {
    API* lib = detail::caches.remote;
    return lib != none() ? lib : nullptr;
}
// The common library when one is registered, else the library loaded first among those still
// registered, else null.
inline API* default_library() noexcept {
    API* lib = detail::caches.fallback;
    return lib != none() ? lib : nullptr;
}

// Loads `path` + the platform suffix under `name`, or counts one more load of a known name.
// Throws std::runtime_error or std::logic_error with the message the caller sees.
void load(const char* path, const char* name, int options);

// Releases one load of `name`; the empty name destroys every library at once.
void unload(const char* name);

// Libraries currently registered, in load order (for diagnostics and tests).
std::size_t size() noexcept;

}  // namespace tvx::registry
