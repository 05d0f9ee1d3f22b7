// The call-cost cases, defined once for the benchmarks (call_cost.cpp) and the instruction counter
// (count_calls.cpp). Per forwarding shape: one call through TVXClientAPI, and one call of the same
// implementation entry of the benchmark library made directly, through a pointer looked up with
// dlsym under the slot's export name and typed with the slot's function type from the entry table.
//
// A case is a type:
//   kName           its name on count_calls' command line ("<kName>-entry", "<kName>-direct")
//   kBenchmark      the stem of its two benchmarks ("<kBenchmark>Entry", "<kBenchmark>Direct")
//   kTitle          its line in call_cost's table of ratios
//   entry(args)     one call through TVXClientAPI
//   Direct          the implementation entries the direct call uses, looked up in a module
//   direct(d, args) one direct call of the same implementation entry, through `d`
// Both calls return what the entry returns (void for none), for the caller to keep alive.
#pragma once

#include <dlfcn.h>

#include "TVXClientAPI.h"
#include "loader/entry_table.gen.h"

namespace bench {

// The implementation entry of `slot` in `module`, looked up under the slot's export name in the
// entry table (for some slots not the name of the export that calls it), as the slot's function
// type `Fn`; null if the module does not export it.
template <class Fn>
Fn lookup(void* module, int slot) {
    return reinterpret_cast<Fn>(dlsym(module, tvx::kSlots[slot].name));
}

// The entry table names a slot number and its function type alike, after the export that calls the
// slot, so one name gives both: the type cannot disagree with the slot looked up.
#define BENCH_LOOKUP(module, entry) ::bench::lookup<::tvx::fn::entry>((module), ::tvx::slot::entry)

// What the calls work on. The error pair lives with the caller; the handles are made through
// TVXClientAPI (open_handles), the objects by the benchmark library's entries called directly
// (make_objects). Kept by value so that a loop holds them in registers, as it would its locals.
struct Args {
    int* size = nullptr;
    wchar_t** message = nullptr;
    TvxObject* op = nullptr;                // an operator handle
    TvxObject* field = nullptr;             // a field handle, its fast-access pointer cached
    CSharedObjectBase* object = nullptr;    // an implementation object
    const CField* raw = nullptr;            // an implementation field's raw pointer
};

// Handles of the library loaded as "common": call after loading it, and close them before
// unloading it.
inline void open_handles(Args& a) {
    a.op = Operator_new("bench", a.size, a.message);
    a.field = Field_new(3, 10, "Nodal", a.size, a.message);
    CSField_GetNumberOfComponents(a.field, a.size, a.message);  // fills the fast-access cache
}
inline void close_handles(Args& a) {
    Quorix_delete_shared_object(a.field, a.size, a.message);
    Quorix_delete_shared_object(a.op, a.size, a.message);
    a.field = a.op = nullptr;
}

// The implementation objects the direct calls pass, made by `module`'s own entries (the benchmark
// library's entries ignore their arguments and return one static object).
inline void make_objects(void* module, Args& a) {
    a.object = BENCH_LOOKUP(module, Operator_new)("bench", nullptr, nullptr);
    a.raw = BENCH_LOOKUP(module, Field_fast_access_ptr)(nullptr, nullptr, nullptr);
}

// A case's Direct holds the entry pointers its direct call uses. Keep it in a volatile object
// (`const volatile Case::Direct direct(module);`): then every call reads its pointer, as a call
// through TVXClientAPI reads its slot. (A volatile member of a non-volatile local is not enough:
// the compiler may keep it in a register.)

// An entry taking one handle.
struct Object {
    static constexpr const char* kName = "object";
    static constexpr const char* kBenchmark = "Object";
    static constexpr const char* kTitle = "object entry vs direct call";
    struct Direct {
        explicit Direct(void* module) : run(BENCH_LOOKUP(module, Operator_run)) {}
        tvx::fn::Operator_run run;
    };
    static void entry(const Args& a) { Operator_run(a.op, a.size, a.message); }
    static void direct(const volatile Direct& d, const Args& a) { d.run(a.object, a.size, a.message); }
};

// The fast-access entry with its raw pointer cached, against the raw-pointer entry it ends in.
struct Fast {
    static constexpr const char* kName = "fast";
    static constexpr const char* kBenchmark = "Fast";
    static constexpr const char* kTitle = "fast-access entry (cached) vs raw-pointer entry";
    struct Direct {
        explicit Direct(void* module) : get(BENCH_LOOKUP(module, Field_GetNumberOfComponents)) {}
        tvx::fn::Field_GetNumberOfComponents get;
    };
    static int entry(const Args& a) {
        return CSField_GetNumberOfComponents(a.field, a.size, a.message);
    }
    static int direct(const volatile Direct& d, const Args& a) { return d.get(a.raw, a.size, a.message); }
};

// An entry taking no handle.
struct Free {
    static constexpr const char* kName = "free";
    static constexpr const char* kBenchmark = "Free";
    static constexpr const char* kTitle = "free entry vs direct call";
    struct Direct {
        explicit Direct(void* module) : release(BENCH_LOOKUP(module, Quorix_release)) {}
        tvx::fn::Quorix_release release;
    };
    static int entry(const Args& a) { return Quorix_release(1, a.size, a.message); }
    static int direct(const volatile Direct& d, const Args& a) { return d.release(1, a.size, a.message); }
};

// A handle made and released: the handle-returning entry and the release entry, one call each.
struct Handle {
    static constexpr const char* kName = "handle";
    static constexpr const char* kBenchmark = "Handle";
    static constexpr const char* kTitle = "handle-returning entry + release vs direct";
    struct Direct {
        explicit Direct(void* module)
            : make(BENCH_LOOKUP(module, Field_new)),
              release(BENCH_LOOKUP(module, Quorix_delete_shared_object)) {}
        tvx::fn::Field_new make;
        tvx::fn::Quorix_delete_shared_object release;
    };
    static void entry(const Args& a) {
        Quorix_delete_shared_object(Field_new(3, 10, "Nodal", a.size, a.message), a.size, a.message);
    }
    static void direct(const volatile Direct& d, const Args& a) {
        d.release(d.make(3, 10, "Nodal", a.size, a.message), a.size, a.message);
    }
};

// An entry taking two handles, both of one library.
struct TwoObject {
    static constexpr const char* kName = "two";
    static constexpr const char* kBenchmark = "TwoObject";
    static constexpr const char* kTitle = "two-object entry, one library, vs direct";
    struct Direct {
        explicit Direct(void* module) : connect(BENCH_LOOKUP(module, Operator_connect_Field)) {}
        tvx::fn::Operator_connect_Field connect;
    };
    static void entry(const Args& a) { Operator_connect_Field(a.op, 0, a.field, a.size, a.message); }
    static void direct(const volatile Direct& d, const Args& a) {
        d.connect(a.object, 0, a.object, a.size, a.message);
    }
};

#undef BENCH_LOOKUP

// Calls `f` with a value of every case type, in the order of the table of ratios.
template <class F>
void for_each_case(F&& f) {
    f(Object{});
    f(Fast{});
    f(Free{});
    f(Handle{});
    f(TwoObject{});
}

}  // namespace bench
