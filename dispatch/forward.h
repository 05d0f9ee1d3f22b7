// The pieces every generated forwarding entry is made of: choosing the library, converting
// handles to implementation objects, reading a slot, reporting a missing one and wrapping results.
// Everything on the ordinary path is inline and allocation-free.
#pragma once

#include <cstddef>
#include <type_traits>

#include "dispatch/error.h"
#include "dispatch/handle.h"
#include "loader/registry.h"

namespace tvx {

#define TVX_LIKELY(x) __builtin_expect(!!(x), 1)
#define TVX_UNLIKELY(x) __builtin_expect(!!(x), 0)

// The library an entry uses when no handle chooses one.
enum class Home { Default, Common, Remote };

// The home library, or null when none is loaded.
template <Home H>
inline API* home_library() noexcept {
    if constexpr (H == Home::Common) {
        return registry::common();
    } else if constexpr (H == Home::Remote) {
        return registry::remote();
    } else {
        return registry::default_library();
    }
}

// The home library for dispatching: never null (the empty library when none is loaded).
template <Home H>
inline API* dispatch_home() noexcept {
    if constexpr (H == Home::Common) {
        return registry::dispatch_common();
    } else if constexpr (H == Home::Remote) {
        return registry::dispatch_remote();
    } else {
        return registry::dispatch_default();
    }
}

// Where a call on a handle goes: its effective library and object, or, for a null handle, the home
// library and no object. The library is never null, so the slot is read without another test.
struct Target {
    API* library;
    void* object;
    template <class T>
    T* as() const noexcept {
        return static_cast<T*>(object);
    }
};
template <Home H>
inline Target target(const TvxObjectBase* handle) noexcept {
    if (TVX_LIKELY(handle != nullptr)) return {handle->dispatch_library, handle->dispatch_object};
    return {dispatch_home<H>(), nullptr};
}

// The effective library of a handle, or the home library for a null handle (null when none).
template <Home H>
inline API* library_of(const TvxObject* handle) noexcept {
    return handle != nullptr ? handle->effective_library() : home_library<H>();
}

// The implementation object a handle argument stands for (null for a null handle).
inline CSharedObjectBase* object_of(const TvxObject* handle) noexcept {
    return handle != nullptr ? static_cast<CSharedObjectBase*>(handle->dispatch_object) : nullptr;
}
inline TvxVector* object_of(const SharedTvxVector* vector) noexcept {
    return vector != nullptr ? vector->object : nullptr;
}

// Two handles made by one library (and the first holding an object): the two-object call needs no
// reconciling and goes to that library's entry with their own objects.
inline bool same_library(const TvxObject* first, const TvxObject* second) noexcept {
    return first != nullptr && second != nullptr && first->library == second->library && first->library != nullptr &&
           first->object != nullptr;
}

// The entry at `slot` of `lib`, typed; null when there is no library or the slot is empty.
template <class Fn>
inline Fn entry(const API* lib, int slot) noexcept {
    return lib != nullptr ? lib->entry<Fn>(slot) : nullptr;
}

// The zero result of type R, after reporting "Invalid API pointer when calling function <name>".
template <class R>
[[gnu::cold, gnu::noinline]] R invalid_api(const char* name, int* size, wchar_t** message) noexcept {
    report_invalid_api(name, size, message);
    if constexpr (!std::is_void_v<R>) return R{};
}

// New handles. Null for a null object: a handle is never made for nothing.
TvxObject* new_handle(CSharedObjectBase* object, API* library) noexcept;
TvxObject* new_operator(CSharedObjectBase* object, API* library) noexcept;
TvxObject* new_workflow(CSharedObjectBase* object, API* library) noexcept;
SharedTvxVector* new_vector(TvxVector* object, API* library) noexcept;

// An array of new handles for an array of objects a library returned; the library's own array
// goes back to its Quorix_delete_shared_object_array. Null for a null library array.
TvxObject** new_handle_array(const char* name, CSharedObjectBase** objects, std::size_t* count, API* library,
                             int* size, wchar_t** message) noexcept;

// Ends a handle: its destructor releases what the handle still owns.
inline void destroy(TvxObjectBase* handle) noexcept { delete handle; }

// The effective objects of an array of handles, gathered for the duration of one call.
class ObjectArray {
public:
    ObjectArray(TvxObject* const* handles, int count) noexcept;
    ~ObjectArray();
    ObjectArray(const ObjectArray&) = delete;
    ObjectArray& operator=(const ObjectArray&) = delete;
    // Null when there are no handles (count 0 or less) or the array could not be allocated.
    CSharedObjectBase** data() const noexcept { return data_; }
    bool failed() const noexcept { return failed_; }

private:
    static constexpr int kInline = 16;
    CSharedObjectBase* inline_[kInline];
    CSharedObjectBase** data_ = nullptr;
    bool failed_ = false;
};
[[gnu::cold]] void report_out_of_memory(const char* name, int* size, wchar_t** message) noexcept;

// An array of handles with a negative count, or a null array with a positive count: reported as
// "Invalid array of objects (count <n>) when calling function <name>".
[[gnu::cold]] void report_invalid_array(const char* name, long long count, int* size, wchar_t** message) noexcept;
template <class R>
[[gnu::cold]] R invalid_array(const char* name, long long count, int* size, wchar_t** message) noexcept {
    report_invalid_array(name, count, size, message);
    if constexpr (!std::is_void_v<R>) return R{};
}

// Fast-access pointers: the raw pointer the common library exposes for a handle's object, fetched
// once with the library's fetch entry and cached in the handle. Null when the handle's library
// has no such entry or gives none (a null answer is not remembered).
namespace fast {

template <class P>
[[gnu::noinline, gnu::cold]] P* fetch(TvxObject* handle, P* TvxObject::*cache, int slot) noexcept {
    using Fetch = P* (*)(CSharedObjectBase*, int*, wchar_t**);
    const Fetch f = entry<Fetch>(handle->effective_library(), slot);
    if (f == nullptr) return nullptr;
    int size = 0;
    wchar_t* message = nullptr;
    // A failure message never reaches the caller; it is the implementation library's buffer, so it
    // is dropped rather than freed with an allocator that may not be its own.
    P* p = f(handle->effective_object(), &size, &message);
    handle->*cache = p;
    return p;
}

// The fetch for each cached pointer, for the first call on a handle (the generated fast-access
// entries read the cache themselves).
inline CField* fetch_field(TvxObject* h) noexcept {
    return fetch<CField>(h, &TvxObject::field_ptr, slot::Field_fast_access_ptr);
}
inline CScoping* fetch_scoping(TvxObject* h) noexcept {
    return fetch<CScoping>(h, &TvxObject::scoping_ptr, slot::Scoping_fast_access_ptr);
}
inline IMeshedRegion* fetch_mesh(TvxObject* h) noexcept {
    return fetch<IMeshedRegion>(h, &TvxObject::mesh_ptr, slot::MeshedRegion_fast_access_ptr);
}
inline CPropertyField* fetch_property_field(TvxObject* h) noexcept {
    return fetch<CPropertyField>(h, &TvxObject::property_field_ptr, slot::CSPropertyField_GetFastAccessPtr);
}
inline CFieldDefinition* fetch_field_definition(TvxObject* h) noexcept {
    return fetch<CFieldDefinition>(h, &TvxObject::field_definition_ptr, slot::FieldDefinition_GetFastAccessPtr);
}
inline CStringField* fetch_string_field(TvxObject* h) noexcept {
    return fetch<CStringField>(h, &TvxObject::string_field_ptr, slot::StringField_fast_access_ptr);
}

}  // namespace fast
}  // namespace tvx
