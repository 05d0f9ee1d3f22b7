// Win32 implementation of the module interface: LoadLibraryA/GetProcAddress/FreeLibrary and the
// process heap.
#include "platform/module.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace tvx::platform {
namespace {
thread_local DWORD t_last_code = 0;
constexpr const char* kErrorCodesPage =
    "https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes";
}  // namespace

const char* module_suffix() noexcept { return ".dll"; }

Module load_module(const char* file) noexcept {
    HMODULE m = ::LoadLibraryA(file);
    if (m == nullptr) t_last_code = ::GetLastError();
    return reinterpret_cast<Module>(m);
}

Symbol find_symbol(Module module, const char* name) noexcept {
    return reinterpret_cast<Symbol>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void free_module(Module module) noexcept {
    if (module != nullptr) ::FreeLibrary(static_cast<HMODULE>(module));
}

LoadError last_error() { return LoadError{t_last_code, kErrorCodesPage}; }

wchar_t* allocate_message(std::size_t chars) noexcept {
    return static_cast<wchar_t*>(::HeapAlloc(::GetProcessHeap(), 0, chars * sizeof(wchar_t)));
}

void free_message(wchar_t* message) noexcept {
    if (message != nullptr) ::HeapFree(::GetProcessHeap(), 0, message);
}

}  // namespace tvx::platform
