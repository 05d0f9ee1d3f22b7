// What a call through TVXClientAPI costs next to the same implementation entry called directly.
//
// Every pair runs in one process against the benchmark implementation library (entries that do
// almost nothing), so the ratio of the two times is what the forwarding adds. The pairs are the
// cases of cases.h and the cost of loading; the table at the end prints each pair and its ratio.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "bench/best_runs.h"
#include "bench/cases.h"

namespace {

std::string g_library;  // the benchmark library's path without its suffix
void* g_module = nullptr;

struct Loaded {
    Loaded() {
        int size = 0;
        wchar_t* message = nullptr;
        QuorixCore_LoadAPIWithOptions(g_library.c_str(), "common", 0, &size, &message);
        if (size != 0) {
            std::fprintf(stderr, "cannot load %s: %ls\n", g_library.c_str(), message);
            TVX_FreeErrorMessage(message);
            std::exit(2);
        }
    }
    ~Loaded() {
        int size = 0;
        wchar_t* message = nullptr;
        QuorixCore_UnloadAPI("common", &size, &message);
    }
};

// One call per iteration; a result is kept from being optimised away.
template <class Call>
void measure(benchmark::State& state, Call call) {
    for (auto _ : state) {
        if constexpr (std::is_void_v<decltype(call())>) {
            call();
        } else {
            benchmark::DoNotOptimize(call());
        }
    }
}

// --- the cases of cases.h: each call through TVXClientAPI, and the same entry called directly ---
template <class Case>
void EntryCalls(benchmark::State& state) {
    Loaded loaded;
    int size = 0;
    wchar_t* message = nullptr;
    bench::Args args;
    args.size = &size;
    args.message = &message;
    bench::open_handles(args);
    measure(state, [&] { return Case::entry(args); });
    bench::close_handles(args);
}
template <class Case>
void DirectCalls(benchmark::State& state) {
    int size = 0;
    wchar_t* message = nullptr;
    bench::Args args;
    args.size = &size;
    args.message = &message;
    bench::make_objects(g_module, args);
    const volatile typename Case::Direct direct(g_module);
    measure(state, [&] { return Case::direct(direct, args); });
}

// --- strict load and unload vs dlopen, one dlsym per applicable name, dlclose ------------------
void LoadEntry(benchmark::State& state) {
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) {
        QuorixCore_LoadAPIWithOptions(g_library.c_str(), "common", 0, &size, &message);
        QuorixCore_UnloadAPI("common", &size, &message);
    }
}
void LoadDirect(benchmark::State& state) {
    const std::string file = g_library + ".so";
    for (auto _ : state) {
        void* m = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        for (const tvx::SlotInfo& slot : tvx::kSlots)
            if (slot.availability != tvx::Availability::Remote) benchmark::DoNotOptimize(dlsym(m, slot.name));
        dlclose(m);
    }
}


}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: call_cost [benchmark options] <benchmark library without suffix>\n");
        return 2;
    }
    g_library = argv[1];
    g_module = dlopen((g_library + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (g_module == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }

    // The pairs, in the order of the table: "<stem>Entry" against "<stem>Direct".
    struct Pair {
        const char* title;
        std::string entry;
        std::string direct;
    };
    std::vector<Pair> pairs;
    bench::for_each_case([&](auto c) {
        using Case = decltype(c);
        const std::string stem = Case::kBenchmark;
        pairs.push_back({Case::kTitle, stem + "Entry", stem + "Direct"});
        benchmark::RegisterBenchmark(pairs.back().entry.c_str(), EntryCalls<Case>);
        benchmark::RegisterBenchmark(pairs.back().direct.c_str(), DirectCalls<Case>);
    });
    pairs.push_back({"strict load + unload vs dlopen, dlsym each, dlclose", "LoadEntry", "LoadDirect"});
    benchmark::RegisterBenchmark("LoadEntry", LoadEntry);
    benchmark::RegisterBenchmark("LoadDirect", LoadDirect);

    BestRuns collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    std::printf("\n%-52s %12s %12s %8s\n", "pair", "entry (ns)", "direct (ns)", "ratio");
    for (const Pair& p : pairs) {
        const auto a = collector.times.find(p.entry);
        const auto b = collector.times.find(p.direct);
        if (a == collector.times.end() || b == collector.times.end() || b->second <= 0) continue;
        std::printf("%-52s %12.2f %12.2f %7.2fx\n", p.title, a->second, b->second, a->second / b->second);
    }
    benchmark::Shutdown();
    dlclose(g_module);
    return 0;
}
