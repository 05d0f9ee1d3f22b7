#include "dispatch/handle.h"

#include <new>
#include <string>

#include "dispatch/forward.h"

using tvx::API;

namespace {

using Release = void (*)(CSharedObjectBase*, int*, wchar_t**);
using Duplicate = CSharedObjectBase* (*)(CSharedObjectBase*, int*, wchar_t**);
using ReleaseArray = void (*)(CSharedObjectBase**, std::size_t, int*, wchar_t**);

// Calls an implementation entry whose outcome nobody asked for. A message it made is dropped, not
// freed: it belongs to that library's allocator, which this library cannot know.
template <class Fn, class... Args>
void call_quietly(Fn f, Args... args) noexcept {
    int size = 0;
    wchar_t* message = nullptr;
    f(args..., &size, &message);
}

// The per-thread pool of handle blocks. The list itself is plain thread-local data, cheap to reach on
// every make and end; a second thread-local object, set up the first time a thread keeps a block,
// gives the blocks back to the general allocator when the thread ends.
constexpr std::size_t kBlock = sizeof(TvxObject);
static_assert(sizeof(Operator) <= kBlock && sizeof(Workflow) <= kBlock && sizeof(SharedTvxVector) <= kBlock,
              "every handle class fits a pool block");
constexpr int kKept = 256;  // blocks a thread keeps for reuse; the rest go back at once

struct FreeBlock {
    FreeBlock* next;
};
struct Pool {
    FreeBlock* head;
    int count;
    bool closed;   // the thread is ending: blocks go straight back to the allocator
    bool drained;  // a Drain object will empty the list when the thread ends
};
// On ELF systems the pool sits in the static TLS block (a few bytes, which a library opened at run
// time may take too), so reaching it needs no call into the dynamic linker.
#if defined(__ELF__)
#  define TVX_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#  define TVX_FAST_TLS
#endif
TVX_FAST_TLS thread_local Pool pool = {nullptr, 0, false, false};

struct Drain {
    ~Drain() {
        pool.closed = true;
        while (FreeBlock* b = pool.head) {
            pool.head = b->next;
            ::operator delete(b);
        }
        pool.count = 0;
    }
};

[[gnu::noinline]] void arrange_drain() noexcept {
    static thread_local Drain drain;
    (void)drain;
    pool.drained = true;
}

}  // namespace

void* TvxObjectBase::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    Pool& p = pool;
    if (size <= kBlock && p.head != nullptr) {
        FreeBlock* b = p.head;
        p.head = b->next;
        --p.count;
        return b;
    }
    return ::operator new(size > kBlock ? size : kBlock, std::nothrow);
}

void* TvxObjectBase::operator new(std::size_t size) {
    void* block = operator new(size, std::nothrow);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void TvxObjectBase::operator delete(void* block) noexcept {
    if (block == nullptr) return;
#if defined(__SANITIZE_ADDRESS__)
    // Under the address sanitizer every handle is a fresh allocation, so a use after release is seen.
    ::operator delete(block);
    return;
#endif
    Pool& p = pool;
    if (p.count < kKept && !p.closed) {
        if (!p.drained) arrange_drain();
        auto* b = static_cast<FreeBlock*>(block);
        b->next = p.head;
        p.head = b;
        ++p.count;
        return;
    }
    ::operator delete(block);
}

void TvxObjectBase::operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }

TvxObject::~TvxObject() {
    if (__builtin_expect(local_copy != nullptr, 0)) release_own_object();
}

void TvxObject::release_own_object() noexcept {
    if (local_copy_library == nullptr) return;
    if (const Release f = tvx::entry<Release>(library, tvx::slot::Quorix_delete_shared_object)) call_quietly(f, object);
}

TvxObject* TvxObject::duplicateReference(int* size, wchar_t** message) {
    API* lib = effective_library();
    const Duplicate f = tvx::entry<Duplicate>(lib, tvx::slot::Quorix_duplicate_object_reference);
    if (f == nullptr) return tvx::invalid_api<TvxObject*>("Quorix_duplicate_object_reference", size, message);
    CSharedObjectBase* duplicate = f(effective_object(), size, message);
    return duplicate != nullptr ? make_same(duplicate, lib) : nullptr;
}

TvxObject* TvxObject::make_same(CSharedObjectBase* object, API* library) const {
    return tvx::new_handle(object, library);
}
TvxObject* Operator::make_same(CSharedObjectBase* object, API* library) const {
    return tvx::new_operator(object, library);
}
TvxObject* Workflow::make_same(CSharedObjectBase* object, API* library) const {
    return tvx::new_workflow(object, library);
}

namespace tvx {

TvxObject* new_handle(CSharedObjectBase* object, API* library) noexcept {
    return object != nullptr ? new (std::nothrow) TvxObject(object, library) : nullptr;
}
TvxObject* new_operator(CSharedObjectBase* object, API* library) noexcept {
    return object != nullptr ? new (std::nothrow) Operator(object, library) : nullptr;
}
TvxObject* new_workflow(CSharedObjectBase* object, API* library) noexcept {
    return object != nullptr ? new (std::nothrow) Workflow(object, library) : nullptr;
}
SharedTvxVector* new_vector(TvxVector* object, API* library) noexcept {
    return object != nullptr ? new (std::nothrow) SharedTvxVector(object, library) : nullptr;
}

TvxObject** new_handle_array(const char* name, CSharedObjectBase** objects, std::size_t* count, API* library,
                             int* size, wchar_t** message) noexcept {
    const std::size_t n = objects != nullptr && count != nullptr ? *count : 0;
    TvxObject** handles = nullptr;
    if (objects != nullptr) {
        handles = new (std::nothrow) TvxObject*[n];
        for (std::size_t i = 0; handles != nullptr && i < n; ++i) {
            handles[i] = new (std::nothrow) TvxObject(objects[i], library);
            if (handles[i] == nullptr) {
                while (i > 0) delete handles[--i];
                delete[] handles;
                handles = nullptr;
            }
        }
        if (handles == nullptr) report_out_of_memory(name, size, message);
    }
    // The library frees its own array; the objects in it now belong to the new handles. The release
    // reports into a pair of its own: the caller's pair stays as the call left it, so a good array
    // never comes back with a failure size (the caller would drop it and leak every handle).
    if (const ReleaseArray f = entry<ReleaseArray>(library, slot::Quorix_delete_shared_object_array))
        call_quietly(f, objects, n);
    return handles;
}

ObjectArray::ObjectArray(TvxObject* const* handles, int count) noexcept {
    if (handles == nullptr || count <= 0) return;
    data_ = count <= kInline ? inline_ : new (std::nothrow) CSharedObjectBase*[static_cast<std::size_t>(count)];
    if (data_ == nullptr) {
        failed_ = true;
        return;
    }
    for (int i = 0; i < count; ++i) data_[i] = object_of(handles[i]);
}

ObjectArray::~ObjectArray() {
    if (data_ != inline_) delete[] data_;
}

void report_invalid_array(const char* name, long long count, int* size, wchar_t** message) noexcept {
    try {
        std::wstring text = L"Invalid array of objects (count " + std::to_wstring(count) + L") when calling function ";
        for (const char* p = name; *p != '\0'; ++p) text.push_back(static_cast<unsigned char>(*p));
        report(text, size, message);
    } catch (...) {
        if (size != nullptr) *size = -1;
        if (message != nullptr) *message = nullptr;
    }
}

void report_out_of_memory(const char* name, int* size, wchar_t** message) noexcept {
    try {
        std::wstring text = L"Not enough memory when calling function ";
        for (const char* p = name; *p != '\0'; ++p) text.push_back(static_cast<unsigned char>(*p));
        report(text, size, message);
    } catch (...) {
        if (size != nullptr) *size = -1;
        if (message != nullptr) *message = nullptr;
    }
}

}  // namespace tvx
