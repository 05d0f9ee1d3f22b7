// What a call through TVXClientAPI costs next to the same implementation entry called directly.
//
// Every pair runs in one process against the benchmark implementation library (entries that do
// almost nothing), so the ratio of the two times is what the forwarding adds. The table at the end
// prints each pair and its ratio.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "TVXClientAPI.h"
#include "loader/entry_table.gen.h"

namespace {

std::string g_library;  // the benchmark library's path without its suffix
void* g_module = nullptr;

template <class Fn>
Fn direct(const char* name) {
    return reinterpret_cast<Fn>(dlsym(g_module, name));
}

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

// --- object entry ----------------------------------------------------------------------------
void ObjectEntry(benchmark::State& state) {
    Loaded loaded;
    int size = 0;
    wchar_t* message = nullptr;
    TvxObject* op = Operator_new("bench", &size, &message);
    for (auto _ : state) Operator_run(op, &size, &message);
    Quorix_delete_shared_object(op, &size, &message);
}
void ObjectDirect(benchmark::State& state) {
    using Fn = void (*)(void*, int*, wchar_t**);
    Fn volatile f = direct<Fn>("Operator_run");
    void* object = direct<void* (*)(const char*, int*, wchar_t**)>("Operator_new")("bench", nullptr, nullptr);
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) f(object, &size, &message);
}

// --- fast-access entry (cached) vs the raw-pointer entry ---------------------------------------
void FastEntry(benchmark::State& state) {
    Loaded loaded;
    int size = 0;
    wchar_t* message = nullptr;
    TvxObject* field = Field_new(3, 10, "Nodal", &size, &message);
    CSField_GetNumberOfComponents(field, &size, &message);  // fills the cache
    for (auto _ : state) benchmark::DoNotOptimize(CSField_GetNumberOfComponents(field, &size, &message));
    Quorix_delete_shared_object(field, &size, &message);
}
void FastDirect(benchmark::State& state) {
    using Fn = int (*)(const void*, int*, wchar_t**);
    Fn volatile f = direct<Fn>("Field_GetNumberOfComponents");
    const void* raw = direct<void* (*)(void*, int*, wchar_t**)>("Field_fast_access_ptr")(nullptr, nullptr, nullptr);
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) benchmark::DoNotOptimize(f(raw, &size, &message));
}

// --- free entry --------------------------------------------------------------------------------
void FreeEntry(benchmark::State& state) {
    Loaded loaded;
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) benchmark::DoNotOptimize(Quorix_release(1, &size, &message));
}
void FreeDirect(benchmark::State& state) {
    using Fn = int (*)(int, int*, wchar_t**);
    Fn volatile f = direct<Fn>("Quorix_release");
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) benchmark::DoNotOptimize(f(1, &size, &message));
}

// --- handle-returning entry and its release ----------------------------------------------------
void HandleEntry(benchmark::State& state) {
    Loaded loaded;
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) {
        TvxObject* field = Field_new(3, 10, "Nodal", &size, &message);
        Quorix_delete_shared_object(field, &size, &message);
    }
}
void HandleDirect(benchmark::State& state) {
    using New = void* (*)(int, int, const char*, int*, wchar_t**);
    using Release = void (*)(void*, int*, wchar_t**);
    New volatile make = direct<New>("Field_new");
    Release volatile release = direct<Release>("Quorix_delete_shared_object");
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) release(make(3, 10, "Nodal", &size, &message), &size, &message);
}

// --- two-object entry, both handles of one library ---------------------------------------------
void TwoObjectEntry(benchmark::State& state) {
    Loaded loaded;
    int size = 0;
    wchar_t* message = nullptr;
    TvxObject* op = Operator_new("bench", &size, &message);
    TvxObject* field = Field_new(3, 10, "Nodal", &size, &message);
    for (auto _ : state) Operator_connect_Field(op, 0, field, &size, &message);
    Quorix_delete_shared_object(field, &size, &message);
    Quorix_delete_shared_object(op, &size, &message);
}
void TwoObjectDirect(benchmark::State& state) {
    using Fn = void (*)(void*, int, void*, int*, wchar_t**);
    Fn volatile f = direct<Fn>("Operator_connect_Field");
    void* object = direct<void* (*)(const char*, int*, wchar_t**)>("Operator_new")("bench", nullptr, nullptr);
    int size = 0;
    wchar_t* message = nullptr;
    for (auto _ : state) f(object, 0, object, &size, &message);
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

BENCHMARK(ObjectEntry);
BENCHMARK(ObjectDirect);
BENCHMARK(FastEntry);
BENCHMARK(FastDirect);
BENCHMARK(FreeEntry);
BENCHMARK(FreeDirect);
BENCHMARK(HandleEntry);
BENCHMARK(HandleDirect);
BENCHMARK(TwoObjectEntry);
BENCHMARK(TwoObjectDirect);
BENCHMARK(LoadEntry);
BENCHMARK(LoadDirect);

// Keeps the time of every run, by name, for the table of ratios.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            // With repetitions, the best run counts: the others are the machine's noise.
            auto [it, added] = times.emplace(r.run_name.function_name, r.GetAdjustedRealTime());
            if (!added && r.GetAdjustedRealTime() < it->second) it->second = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

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
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    const char* pairs[][3] = {
        {"object entry vs direct call", "ObjectEntry", "ObjectDirect"},
        {"fast-access entry (cached) vs raw-pointer entry", "FastEntry", "FastDirect"},
        {"free entry vs direct call", "FreeEntry", "FreeDirect"},
        {"handle-returning entry + release vs direct", "HandleEntry", "HandleDirect"},
        {"two-object entry, one library, vs direct", "TwoObjectEntry", "TwoObjectDirect"},
        {"strict load + unload vs dlopen, dlsym each, dlclose", "LoadEntry", "LoadDirect"},
    };
    std::printf("\n%-52s %12s %12s %8s\n", "pair", "entry (ns)", "direct (ns)", "ratio");
    for (const auto& p : pairs) {
        const auto a = collector.times.find(p[1]);
        const auto b = collector.times.find(p[2]);
        if (a == collector.times.end() || b == collector.times.end() || b->second <= 0) continue;
        std::printf("%-52s %12.2f %12.2f %7.2fx\n", p[0], a->second, b->second, a->second / b->second);
    }
    benchmark::Shutdown();
    dlclose(g_module);
    return 0;
}
