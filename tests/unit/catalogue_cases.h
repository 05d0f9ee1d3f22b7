// The catalogue as the tests see it: every implemented export with a way to call it.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "TVXClientAPI.h"
#include "dispatch/handle.h"

namespace tvxtest {

// Arguments the tests choose; everything else gets a recognisable fake value.
struct CaseInputs {
    static constexpr int kMax = 16;
    TvxObject* handles[kMax] = {};
    SharedTvxVector* vectors[kMax] = {};
    const char* strings[kMax] = {"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7",
                                 "s8", "s9", "s10", "s11", "s12", "s13", "s14", "s15"};
    TvxObject** handle_array = nullptr;
    int array_count = 0;
};

// The value a test passes for parameter `index` of type T (pointers are never dereferenced by the
// library: they pass through to the double).
template <class T>
T fake(int index) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<std::uintptr_t>(0x10000 + 0x100 * index));
    } else if constexpr (std::is_same_v<T, bool>) {
        return true;
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(0.25 + index);
    } else {
        return static_cast<T>(100 + index);
    }
}

// What an export returned.
struct CaseResult {
    unsigned long long bits = 0;  // scalars and raw pointers
    TvxObjectBase* handle = nullptr;
    TvxObject** array = nullptr;

    template <class R>
    static CaseResult of(R value) {
        CaseResult r;
        if constexpr (std::is_same_v<R, TvxObject*>) {
            r.handle = value;
        } else if constexpr (std::is_same_v<R, SharedTvxVector*>) {
            r.handle = value;
        } else if constexpr (std::is_same_v<R, TvxObject**>) {
            r.array = value;
        } else if constexpr (std::is_pointer_v<R>) {
            r.bits = reinterpret_cast<std::uintptr_t>(value);
        } else if constexpr (std::is_floating_point_v<R>) {
            r.bits = value != 0 ? 1 : 0;
        } else {
            r.bits = static_cast<unsigned long long>(value);
        }
        return r;
    }
    bool zero() const { return bits == 0 && handle == nullptr && array == nullptr; }
};

struct ExportCase {
    const char* name;
    const char* shape;      // object, fast, free, client, routed, release
    const char* target;     // implementation entry called
    int slot;               // its slot
    const char* slot_class; // common, both, remote
    const char* home;       // default, common, remote
    bool error_pair;
    const char* kinds;      // per parameter: h handle, v vector, a handle array, c its count,
                            // s string, p pointer, d double, b bool, i signed, u unsigned
    const char* result;     // void, value, TvxObject, Operator, Workflow, SharedTvxVector, TvxObject[]
    CaseResult (*call)(const CaseInputs&, int*, wchar_t**);
};

const std::vector<ExportCase>& export_cases();

}  // namespace tvxtest
