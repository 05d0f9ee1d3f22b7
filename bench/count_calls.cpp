// Makes N calls of one kind, for counting instructions with callgrind: the difference between a run
// of 2N and a run of N calls, divided by N, is what one call costs, set-up excluded.
//
//   count_calls <benchmark library without suffix> <case> <N>
//
// Cases come in pairs, "<shape>-entry" through TVXClientAPI and "<shape>-direct" calling the same
// implementation entry through a function pointer: object, fast, free, handle, two.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TVXClientAPI.h"

namespace {

void* g_module = nullptr;

template <class Fn>
Fn direct(const char* name) {
    return reinterpret_cast<Fn>(dlsym(g_module, name));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: count_calls <library> <case> <N>\n");
        return 2;
    }
    const std::string library = argv[1];
    const std::string which = argv[2];
    const long n = std::atol(argv[3]);
    int size = 0;
    wchar_t* message = nullptr;
    QuorixCore_LoadAPIWithOptions(library.c_str(), "common", 0, &size, &message);
    if (size != 0) {
        std::fprintf(stderr, "cannot load %s: %ls\n", library.c_str(), message);
        return 2;
    }
    g_module = dlopen((library + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    TvxObject* op = Operator_new("bench", &size, &message);
    TvxObject* field = Field_new(3, 10, "Nodal", &size, &message);
    CSField_GetNumberOfComponents(field, &size, &message);  // fills the fast-access cache
    void* object = direct<void* (*)(const char*, int*, wchar_t**)>("Operator_new")("bench", nullptr, nullptr);
    const void* raw = direct<void* (*)(void*, int*, wchar_t**)>("Field_fast_access_ptr")(nullptr, nullptr, nullptr);
    volatile long sink = 0;

    if (which == "object-entry") {
        for (long i = 0; i < n; ++i) Operator_run(op, &size, &message);
    } else if (which == "object-direct") {
        auto* volatile f = direct<void (*)(void*, int*, wchar_t**)>("Operator_run");
        for (long i = 0; i < n; ++i) f(object, &size, &message);
    } else if (which == "fast-entry") {
        for (long i = 0; i < n; ++i) sink = sink + CSField_GetNumberOfComponents(field, &size, &message);
    } else if (which == "fast-direct") {
        auto* volatile f = direct<int (*)(const void*, int*, wchar_t**)>("Field_GetNumberOfComponents");
        for (long i = 0; i < n; ++i) sink = sink + f(raw, &size, &message);
    } else if (which == "free-entry") {
        for (long i = 0; i < n; ++i) sink = sink + Quorix_release(1, &size, &message);
    } else if (which == "free-direct") {
        auto* volatile f = direct<int (*)(int, int*, wchar_t**)>("Quorix_release");
        for (long i = 0; i < n; ++i) sink = sink + f(1, &size, &message);
    } else if (which == "handle-entry") {
        for (long i = 0; i < n; ++i) Quorix_delete_shared_object(Field_new(3, 10, "Nodal", &size, &message), &size, &message);
    } else if (which == "handle-direct") {
        auto* volatile make = direct<void* (*)(int, int, const char*, int*, wchar_t**)>("Field_new");
        auto* volatile release = direct<void (*)(void*, int*, wchar_t**)>("Quorix_delete_shared_object");
        for (long i = 0; i < n; ++i) release(make(3, 10, "Nodal", &size, &message), &size, &message);
    } else if (which == "two-entry") {
        for (long i = 0; i < n; ++i) Operator_connect_Field(op, 0, field, &size, &message);
    } else if (which == "two-direct") {
        auto* volatile f = direct<void (*)(void*, int, void*, int*, wchar_t**)>("Operator_connect_Field");
        for (long i = 0; i < n; ++i) f(object, 0, object, &size, &message);
    } else {
        std::fprintf(stderr, "unknown case %s\n", which.c_str());
        return 2;
    }
    Quorix_delete_shared_object(field, &size, &message);
    Quorix_delete_shared_object(op, &size, &message);
    QuorixCore_UnloadAPI("common", &size, &message);
    dlclose(g_module);
    return static_cast<int>(sink & 0);
}
