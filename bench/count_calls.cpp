// Makes N calls of one kind, for counting instructions with callgrind: the difference between a run
// of 2N and a run of N calls, divided by N, is what one call costs, set-up excluded.
//
//   count_calls <benchmark library without suffix> <case> <N>
//
// Cases come in pairs, "<shape>-entry" through TVXClientAPI and "<shape>-direct" calling the same
// implementation entry through a function pointer: the cases of cases.h (object, fast, free,
// handle, two).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "bench/cases.h"

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
    void* module = dlopen((library + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    bench::Args args;
    args.size = &size;
    args.message = &message;
    bench::open_handles(args);
    bench::make_objects(module, args);
    volatile long sink = 0;

    // N calls of `call`; what it returns is added up, so that the call's result is used.
    const auto repeat = [&](auto call) {
        for (long i = 0; i < n; ++i) {
            if constexpr (std::is_void_v<decltype(call())>) {
                call();
            } else {
                sink = sink + call();
            }
        }
    };
    const std::string::size_type dash = which.rfind('-');
    const std::string shape = which.substr(0, dash);
    const std::string kind = dash == std::string::npos ? std::string() : which.substr(dash + 1);
    bool known = false;
    bench::for_each_case([&](auto c) {
        using Case = decltype(c);
        if (shape != Case::kName) return;
        if (kind == "entry") {
            repeat([&] { return Case::entry(args); });
            known = true;
        } else if (kind == "direct") {
            const volatile typename Case::Direct direct(module);
            repeat([&] { return Case::direct(direct, args); });
            known = true;
        }
    });
    if (!known) {
        std::fprintf(stderr, "unknown case %s\n", which.c_str());
        return 2;
    }
    bench::close_handles(args);
    QuorixCore_UnloadAPI("common", &size, &message);
    dlclose(module);
    return static_cast<int>(sink & 0);
}
