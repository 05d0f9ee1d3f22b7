// Calls that take two handles: both objects must live in the library whose entry is called.
//
// Before such a call the pair is reconciled: when the two objects belong to different libraries,
// one handle is moved into the common library (a deep copy, or a proxy for operators and
// workflows) and the entry is exchanged for the common library's entry at the same slot.
#pragma once

#include "dispatch/forward.h"

namespace tvx {

// The objects to call with and the library whose entry to call.
struct Reconciled {
    CSharedObjectBase* first = nullptr;
    CSharedObjectBase* second = nullptr;
    API* library = nullptr;
};

// The first handle's own library (not its effective one), or the home library for a null handle.
template <Home H>
inline API* own_library_of(const TvxObject* handle) noexcept {
    return handle != nullptr ? handle->library : home_library<H>();
}

// Reconciles `first` and `second` for the entry at `slot` of `lib` (whose slot is not empty).
// True when the call can go ahead with `out`. Otherwise the error pair says why: "Invalid TVX
// object" for an unusable first handle, or the message of a failed move or of a missing common
// counterpart followed by " when calling function " + `entry`.
bool reconcile(const char* entry, TvxObject* first, TvxObject* second, API* lib, int slot, Reconciled& out,
               int* size, wchar_t** message) noexcept;

// The entry at `slot` of the library registered as "common" in place of `lib`'s. True when `lib`
// is the common library itself, or the common library has that entry.
bool move_to_common(API* lib, int slot, API*& chosen) noexcept;

// Deep copy of a handle's object into the common library: serialize in the object's library,
// deserialize in the common library. The new handle, or null; failures go to the error pair.
TvxObject* deep_copy(TvxObject* handle, int* size, wchar_t** message) noexcept;

}  // namespace tvx
