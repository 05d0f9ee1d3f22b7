// Loading and unloading implementation libraries.
#include "dispatch/error.h"
#include "loader/registry.h"
#include "tvx/core.h"

extern "C" {

void QuorixCore_LoadAPI(const char* path, const char* name, int* error_size, wchar_t** error_message) {
    tvx::capture(L"QuorixCore_LoadAPI", error_size, error_message, [&] { tvx::registry::load(path, name, 1); });
}

void QuorixCore_LoadAPIWithOptions(const char* path, const char* name, int options, int* error_size,
                                   wchar_t** error_message) {
    tvx::capture(L"QuorixCore_LoadAPIWithOptions", error_size, error_message,
                 [&] { tvx::registry::load(path, name, options); });
}

void QuorixCore_UnloadAPI(const char* name, int* error_size, wchar_t** error_message) {
    tvx::capture(L"QuorixCore_UnloadAPI", error_size, error_message, [&] { tvx::registry::unload(name); });
}

}  // extern "C"
