// Helpers for the generated recording doubles: each entry builds a Call, which records the
// arguments and produces the configured result and error.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "tests/doubles/recorder.h"
#include "tvx/raw_types.h"

struct CSharedObjectBase;
struct TvxVector;

#if defined(_WIN32)
#  define TVX_DOUBLE_ENTRY extern "C" __declspec(dllexport)
#else
#  define TVX_DOUBLE_ENTRY extern "C" __attribute__((visibility("default")))
#endif

#ifndef TVX_DOUBLE_ID
#  error "TVX_DOUBLE_ID names the double in the call log"
#endif
#ifndef TVX_DOUBLE_COMMON
#  define TVX_DOUBLE_COMMON 0
#endif
#ifndef TVX_DOUBLE_REMOTE
#  define TVX_DOUBLE_REMOTE 0
#endif
#if TVX_DOUBLE_COMMON && TVX_DOUBLE_REMOTE
#  error "a double exports the common or the remote forms of a name, not both"
#endif

namespace tvxdouble {

class Call {
public:
    Call(int slot, const char* entry) : slot_(slot), entry_(entry) {}

    template <class T>
    Call& arg(T value) {
        TvxRecArg a{};
        if constexpr (std::is_same_v<T, const char*>) {
            a.kind = TVXREC_STR;
            a.p = value;
            a.s = value;
        } else if constexpr (std::is_pointer_v<T>) {
            a.kind = TVXREC_PTR;
            a.p = reinterpret_cast<const void*>(value);
        } else if constexpr (std::is_floating_point_v<T>) {
            a.kind = TVXREC_DOUBLE;
            a.d = value;
        } else if constexpr (std::is_signed_v<T>) {
            a.kind = TVXREC_INT;
            a.i = value;
        } else {
            a.kind = TVXREC_UINT;
            a.u = value;
        }
        if (n_ < kMaxArgs) args_[n_++] = a;
        return *this;
    }

    // Releasing entries count their object as released in the ledger.
    Call& releases(const void* object) {
        release_ = object;
        return *this;
    }

    template <class R>
    R result(int* size = nullptr, wchar_t** message = nullptr) {
        finish(size, message);
        unsigned long long bits = 0;
        const bool object = std::is_same_v<R, CSharedObjectBase*> || std::is_same_v<R, TvxVector*>;
        if (!tvxrec_result(TVX_DOUBLE_ID, entry_, object ? 1 : 0, &bits)) return R{};
        if constexpr (std::is_pointer_v<R>) {
            return reinterpret_cast<R>(static_cast<std::uintptr_t>(bits));
        } else if constexpr (std::is_floating_point_v<R>) {
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return static_cast<R>(d);
        } else {
            return static_cast<R>(bits);
        }
    }

    void finish(int* size = nullptr, wchar_t** message = nullptr) {
        tvxrec_record(TVX_DOUBLE_ID, slot_, entry_, n_, args_);
        if (release_ != nullptr) tvxrec_release(TVX_DOUBLE_ID, release_);
        if (size != nullptr && message != nullptr && !tvxrec_fail(TVX_DOUBLE_ID, entry_, size, message) &&
            tvxrec_clears_size_on_success(TVX_DOUBLE_ID))
            *size = 0;
    }

private:
    static constexpr int kMaxArgs = 16;
    int slot_;
    const char* entry_;
    int n_ = 0;
    TvxRecArg args_[kMaxArgs];
    const void* release_ = nullptr;
};

}  // namespace tvxdouble
