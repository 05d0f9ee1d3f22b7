// Client handles: the objects this library hands out in place of implementation objects.
//
// A handle remembers the library that made its object, so later calls on it reach the right entry
// table. A handle of the TvxObject family can also hold a local copy of its object in the common
// library (made when objects of two libraries meet in one call); from then on calls go to the copy.
// It also caches raw pointers that the common library exposes for fast access.
#pragma once

#include <cstddef>
#include <new>

#include "loader/registry.h"
#include "tvx/raw_types.h"
#include "tvx/types.h"

class TvxObjectBase {
public:
    TvxObjectBase(void* object, tvx::API* library) noexcept
        : dispatch_library(library != nullptr ? library : tvx::registry::none()), dispatch_object(object) {
        dispatch_library->note_handle();
    }
    TvxObjectBase(const TvxObjectBase&) = delete;
    TvxObjectBase& operator=(const TvxObjectBase&) = delete;

    // The library calls on this handle go to.
    virtual tvx::API* getApi() const noexcept = 0;
    virtual ~TvxObjectBase() = default;

    // Handles come from a per-thread pool of equal blocks, so making and ending one rarely reaches
    // the general allocator. Any thread may end a handle another thread made.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* block) noexcept;
    static void operator delete(void* block, const std::nothrow_t&) noexcept;

    // What a forwarded call reads, at a fixed place in every handle: the effective library (never
    // null: the empty library stands for none) and the effective object. Kept equal to getApi()
    // and the effective object by the constructor and by TvxObject::set_local_copy.
    tvx::API* dispatch_library;
    void* dispatch_object;
};

struct TvxObject : public TvxObjectBase {
public:
    TvxObject(CSharedObjectBase* object, tvx::API* library) noexcept
        : TvxObjectBase(object, library), object(object), library(library) {}

    tvx::API* getApi() const noexcept override { return effective_library(); }
    // Releases the handle's own object in its own library when the handle was moved locally; the
    // releasing entry that destroys the handle has released the local copy just before.
    ~TvxObject() override;

    // Gives the handle a local copy in the common library, or finds it needs none. False when the
    // move failed (the error pair says why); the handle is then not moved.
    virtual bool moveLocally(int* size, wchar_t** message);
    // A new handle of this class on a new reference to the effective object, or null.
    virtual TvxObject* duplicateReference(int* size, wchar_t** message);

    tvx::API* effective_library() const noexcept {
        return local_copy_library != nullptr ? local_copy_library : library;
    }
    CSharedObjectBase* effective_object() const noexcept { return local_copy != nullptr ? local_copy : object; }
    bool moved_locally() const noexcept { return local_copy != nullptr; }

    // Gives the handle its local copy (once): from now on calls go to `copy` in `copy_library`.
    void set_local_copy(CSharedObjectBase* copy, tvx::API* copy_library) noexcept {
        local_copy = copy;
        local_copy_library = copy_library;
        if (copy_library != nullptr) copy_library->note_handle();
        dispatch_library = effective_library() != nullptr ? effective_library() : tvx::registry::none();
        dispatch_object = effective_object();
    }

    CSharedObjectBase* object;       // the implementation object, in `library`
    tvx::API* const library;         // the library whose entry made the object
    CField* field_ptr = nullptr;     // fast-access pointers, fetched on first use
    CScoping* scoping_ptr = nullptr;
    IMeshedRegion* mesh_ptr = nullptr;
    CPropertyField* property_field_ptr = nullptr;
    CFieldDefinition* field_definition_ptr = nullptr;
    CStringField* string_field_ptr = nullptr;
    CSharedObjectBase* local_copy = nullptr;     // the object's copy in the common library (set_local_copy)
    tvx::API* local_copy_library = nullptr;

private:
    // The destructor's work for a moved handle, out of line: most handles are never moved.
    [[gnu::noinline, gnu::cold]] void release_own_object() noexcept;

protected:
    // The duplicate's class; Operator and Workflow make their own kind.
    virtual TvxObject* make_same(CSharedObjectBase* object, tvx::API* library) const;
};

class Operator final : public TvxObject {
public:
    using TvxObject::TvxObject;
    // Operators and workflows are not copied: the common library gets a proxy of the remote one.
    bool moveLocally(int* size, wchar_t** message) override;

protected:
    TvxObject* make_same(CSharedObjectBase* object, tvx::API* library) const override;
};

class Workflow final : public TvxObject {
public:
    using TvxObject::TvxObject;
    // Operators and workflows are not copied: the common library gets a proxy of the remote one.
    bool moveLocally(int* size, wchar_t** message) override;

protected:
    TvxObject* make_same(CSharedObjectBase* object, tvx::API* library) const override;
};

// The handle of a vector object. Never moved; destroying it does not release the vector.
struct SharedTvxVector final : public TvxObjectBase {
public:
    SharedTvxVector(TvxVector* object, tvx::API* library) noexcept
        : TvxObjectBase(object, library), object(object), library(library) {}
    tvx::API* getApi() const noexcept override { return library; }

    TvxVector* object;
    tvx::API* const library;
};
