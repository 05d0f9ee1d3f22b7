// Dynamic modules and process-wide memory, the only operating-system services this library uses.
// One small interface, two implementations: module_posix.cpp (dlopen) and module_win32.cpp (Win32).
#pragma once

#include <cstddef>
#include <string>

namespace tvx::platform {

using Module = void*;
using Symbol = void (*)();

// The file-name suffix appended to every path given to the loader: ".dll" on Windows, ".so" elsewhere.
const char* module_suffix() noexcept;

// Loads the module at `file` (searched by the platform's rules). Null on failure; the reason is then
// available from last_error() until the next call into this interface on the same thread.
Module load_module(const char* file) noexcept;

// The address exported under `name`, or null.
Symbol find_symbol(Module module, const char* name) noexcept;

// Releases one load of the module.
void free_module(Module module) noexcept;

// The reason the last load_module failed. `code` follows the Windows system error codes on every
// platform: 126 means the module file could not be found. `detail` is where to read more: a link to
// the error code documentation on Windows, the dynamic linker's own text elsewhere.
struct LoadError {
    unsigned long code = 0;
    std::string detail;
};
LoadError last_error();

// Error messages are allocated from the process-wide allocator that every module of the process
// shares (malloc on POSIX, the process heap on Windows), so a client frees any message the same
// way whichever library made it. Returns null when the memory is not available.
wchar_t* allocate_message(std::size_t chars) noexcept;
void free_message(wchar_t* message) noexcept;

}  // namespace tvx::platform
