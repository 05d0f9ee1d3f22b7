// POSIX implementation of the module interface: dlopen/dlsym/dlclose and malloc.
#include "platform/module.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tvx::platform {
namespace {

// Codes shared with the Windows build so that one client handles load failures the same way.
constexpr unsigned long kModuleNotFound = 126;  // the file does not exist
constexpr unsigned long kBadModule = 193;       // the file exists but cannot be loaded

thread_local LoadError t_last_error;

// The file exists when the path names one directly; a bare name is searched by the dynamic
// linker, which then reports a missing file with the system's "No such file" text.
bool file_is_missing(const char* file, const char* why) {
    if (std::strchr(file, '/') != nullptr) {
        struct stat st;
        return ::stat(file, &st) != 0;
    }
    return why == nullptr || std::strstr(why, std::strerror(ENOENT)) != nullptr;
}

}  // namespace

const char* module_suffix() noexcept { return ".so"; }

Module load_module(const char* file) noexcept {
    ::dlerror();  // clear any stale text
    Module m = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (m == nullptr) {
        const char* why = ::dlerror();
        try {
            t_last_error.code = file_is_missing(file, why) ? kModuleNotFound : kBadModule;
            t_last_error.detail = why != nullptr ? why : "";
        } catch (...) {
            t_last_error.code = kBadModule;
        }
    }
    return m;
}

Symbol find_symbol(Module module, const char* name) noexcept {
    void* address = ::dlsym(module, name);
    Symbol s;
    static_assert(sizeof s == sizeof address, "function and object pointers differ in size");
    std::memcpy(&s, &address, sizeof s);
    return s;
}

void free_module(Module module) noexcept {
    if (module != nullptr) ::dlclose(module);
}

LoadError last_error() { return t_last_error; }

wchar_t* allocate_message(std::size_t chars) noexcept {
    return static_cast<wchar_t*>(std::malloc(chars * sizeof(wchar_t)));
}

void free_message(wchar_t* message) noexcept { std::free(message); }

}  // namespace tvx::platform
